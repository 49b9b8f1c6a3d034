#include "host/library/library_console.h"

#include <mutex>

#include "console/console.h"

namespace host {

namespace {
thread_local bool quiet = false;
}  // namespace

TaggedConsole &library_console() {
    static TaggedConsole console([](std::string_view text) {
        if (!quiet) {
            console_stdout_sink(text);
        }
    });
    static std::once_flag installed;
    std::call_once(installed, [] { console.install(); });
    return console;
}

QuietConsoleScope::QuietConsoleScope() : previous_(quiet) {
    library_console();
    quiet = true;
}

QuietConsoleScope::~QuietConsoleScope() {
    quiet = previous_;
}

}  // namespace host
