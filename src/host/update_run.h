// The update itself: the engine wired to the device, the worker threads, the wait for the
// outcome or an interruption, and the shutdown in order (progress line removed, workers
// stopped). The device is closed by the caller, after this returns.
#pragma once

#include <optional>

#include "hidiap_tool.h"
#include "input_files.h"
#include "progress_display.h"
#include "run_events.h"
#include "transport.h"
#include "usb_timing.h"

namespace host {

struct UpdateSettings {
    bool skip_unchanged = false;  // survey each range and program only the sectors that differ
    bool skip_blank = false;      // send no page of nothing but 0xFF into erased flash
    bool timing_report = false;   // the update's time and the tick period on standard error
    std::optional<timing::UsbTimingFigures> link;  // the simulated link's timing, for the report
};

// progress: drawn while the update runs when not null; events: the presenter of this run.
RunReport run_update(Transport &device, const Layout &layout, RunEvents &events,
                     ProgressDisplay *progress, const RunTuning &tuning,
                     const UpdateSettings &settings = UpdateSettings{});

}  // namespace host
