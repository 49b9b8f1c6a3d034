// Shutdown steps told on standard error when HIDIAP_TRACE_SHUTDOWN is set, so tests can see
// that the worker threads stop before the device is closed.
#pragma once

namespace host {

void trace_shutdown(const char *step);

}  // namespace host
