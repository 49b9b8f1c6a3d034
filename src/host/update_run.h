// The update itself: the engine wired to the device, the worker threads, the wait for the
// outcome or an interruption, and the shutdown in order (progress line removed, workers
// stopped). The device is closed by the caller, after this returns.
#pragma once

#include "hidiap_tool.h"
#include "input_files.h"
#include "progress_display.h"
#include "run_events.h"
#include "transport.h"

namespace host {

// progress: drawn while the update runs when not null; events: the presenter of this run.
RunReport run_update(Transport &device, const Layout &layout, RunEvents &events,
                     ProgressDisplay *progress, const RunTuning &tuning);

}  // namespace host
