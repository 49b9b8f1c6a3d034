// Who shows a run: JSON Lines on standard output (--json), or the text lines with a progress
// line on a terminal. In JSON mode the console's text lines are not shown at all.
#pragma once

#include <optional>

#include "json_events.h"
#include "options.h"
#include "progress_display.h"
#include "run_events.h"

namespace host {

class Presentation {
  public:
    explicit Presentation(const Options &o);
    ~Presentation();
    Presentation(const Presentation &) = delete;
    Presentation &operator=(const Presentation &) = delete;

    RunEvents &events();
    ProgressDisplay *progress() { return progress_ ? &*progress_ : nullptr; }
    bool json() const { return json_.has_value(); }

    // The end of a run that never reached the device, for scripts reading the events.
    void refused(int exit_status, const char *status, const char *reason);

  private:
    std::optional<JsonEvents> json_;
    std::optional<ProgressDisplay> progress_;
    RunEvents quiet_;
};

}  // namespace host
