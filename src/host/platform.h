// The tool's only operating-system-specific calls live behind this header.
#pragma once

namespace host {

// True when standard error is an interactive terminal (progress is drawn only there).
bool stderr_is_terminal();

}  // namespace host
