// The console of the library's runs: one for the process, installed before the first run and
// kept, so that runs on several threads each get their own device's lines (the engine prints
// through one process-wide console). Text of no device is dropped on a thread that is inside a
// library call (QuietConsoleScope), and written to standard output as ever on any other.
#pragma once

#include "host/update/tagged_console.h"

namespace host {

// Installed on the first call.
TaggedConsole &library_console();

// While it lives, console text of no device printed on this thread is dropped.
class QuietConsoleScope {
  public:
    QuietConsoleScope();
    ~QuietConsoleScope();
    QuietConsoleScope(const QuietConsoleScope &) = delete;
    QuietConsoleScope &operator=(const QuietConsoleScope &) = delete;

  private:
    bool previous_;
};

}  // namespace host
