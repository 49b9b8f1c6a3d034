// The whole tool: command line, inputs, device, update and shutdown. Returns the exit status.
#pragma once

namespace host {
int run_tool(int argc, char **argv);
}
