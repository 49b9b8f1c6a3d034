// The service manager's notification socket, through libsystemd where the build has it. Without
// it (Windows, a build without libsystemd) there is no manager to tell, and nothing is sent.
#include "host/platform/env.h"

#if defined(HIDIAP_HAVE_LIBSYSTEMD)
#include <systemd/sd-daemon.h>
#endif

namespace host {

bool Env::notify_service(const std::string &state) {
#if defined(HIDIAP_HAVE_LIBSYSTEMD)
    // unset_environment=0: the watchdog and the socket stay the process's for every later call.
    return sd_notify(0, state.c_str()) > 0;
#else
    (void)state;
    return false;
#endif
}

std::chrono::microseconds Env::service_watchdog_interval() {
#if defined(HIDIAP_HAVE_LIBSYSTEMD)
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0) {
        return std::chrono::microseconds(usec);
    }
#endif
    return std::chrono::microseconds(0);
}

}  // namespace host
