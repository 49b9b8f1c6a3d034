// The whole tool: command line, inputs, device, update and shutdown. Returns the exit status.
#pragma once

#include <chrono>

namespace host {

// Timing of a run. Users always get the defaults; the soak runs the same tool on a faster clock.
struct RunTuning {
    std::chrono::microseconds tick_period{std::chrono::milliseconds(10)};
    // No step may stay silent longer than the check's budget (1,004 ticks); a run with no engine
    // activity for this long has lost its tick thread.
    std::chrono::milliseconds stall_limit{30000};
};

int run_tool(int argc, char **argv, const RunTuning &tuning = RunTuning{});

}  // namespace host
