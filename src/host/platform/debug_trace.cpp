#include "host/platform/debug_trace.h"

#include <cstdio>
#include <cstdlib>

namespace host {

void trace_shutdown(const char *step) {
    static const bool enabled = std::getenv("HIDIAP_TRACE_SHUTDOWN") != nullptr;
    if (enabled) {
        std::fprintf(stderr, "hidiap: trace: %s\n", step);
    }
}

}  // namespace host
