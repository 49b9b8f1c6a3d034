// The whole tool: command line, inputs, device, update and shutdown. Returns the exit status.
#pragma once

#include "host/update/update_settings.h"

namespace host {

// `base`: the update's clock (tick period, stall limit); users always get the defaults, tests and
// the soak run the same tool faster. The command line sets everything else.
int run_tool(int argc, char **argv, const UpdateSettings &base = UpdateSettings{});

}  // namespace host
