// The end of a run in a console window of the tool's own (started from Explorer), which closes
// the moment the tool exits: the reason stays on the screen until the user presses Enter.
#pragma once

#include "host/app/options.h"

namespace host {

// Called once as the tool ends, whatever the path. In a console window of its own: explains
// missing arguments and a run that never reached a device, then asks for Enter and waits, unless
// the run already waited or --no-wait was given. Elsewhere it does nothing.
void end_in_own_console(const ParseResult &parsed, const char *program, int exit_status);

}  // namespace host
