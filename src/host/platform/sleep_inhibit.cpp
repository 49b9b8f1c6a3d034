// The system's sleep, held off while a board is updated: a laptop at the bench that suspends in
// the middle of an erase leaves a board without firmware. Where nobody can be asked (no system
// bus, no logind, a build without libsystemd) the update carries on as before, without a word.
#include "host/platform/env.h"

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#elif defined(HIDIAP_HAVE_LIBSYSTEMD)
#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>
#endif

namespace host {

#if defined(_WIN32)

// A power request rather than the thread's execution state: the boards' threads come and go,
// and a thread's state ends with it.
intptr_t Env::hold_sleep(const std::string &why) {
    (void)why;
    REASON_CONTEXT reason{};
    reason.Version = POWER_REQUEST_CONTEXT_VERSION;
    reason.Flags = POWER_REQUEST_CONTEXT_SIMPLE_STRING;
    reason.Reason.SimpleReasonString = const_cast<wchar_t *>(L"hidiap is updating a board's flash");
    HANDLE request = PowerCreateRequest(&reason);
    if (request == INVALID_HANDLE_VALUE) {
        return -1;
    }
    if (!PowerSetRequest(request, PowerRequestSystemRequired)) {
        CloseHandle(request);
        return -1;
    }
    return reinterpret_cast<intptr_t>(request);
}

void Env::release_sleep(intptr_t token) {
    if (token == -1) {
        return;
    }
    HANDLE request = reinterpret_cast<HANDLE>(token);
    PowerClearRequest(request, PowerRequestSystemRequired);
    CloseHandle(request);
}

#elif defined(HIDIAP_HAVE_LIBSYSTEMD)

namespace {
// logind answers in milliseconds; a bus that does not answer at all must not hold up a board.
constexpr uint64_t kCallTimeoutUsec = 2000000;
}  // namespace

// logind's Inhibit: the descriptor it hands back holds the lock until it is closed.
intptr_t Env::hold_sleep(const std::string &why) {
    sd_bus *bus = nullptr;
    if (sd_bus_open_system(&bus) < 0) {
        return -1;
    }
    sd_bus_set_method_call_timeout(bus, kCallTimeoutUsec);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message *reply = nullptr;
    int fd = -1;
    if (sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                           "org.freedesktop.login1.Manager", "Inhibit", &error, &reply, "ssss",
                           "sleep", "hidiap", why.c_str(), "block") >= 0) {
        int held = -1;
        if (sd_bus_message_read(reply, "h", &held) >= 0 && held >= 0) {
            fd = fcntl(held, F_DUPFD_CLOEXEC, 3);  // the reply's own is closed with it
        }
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(bus);
    return fd;
}

void Env::release_sleep(intptr_t token) {
    if (token >= 0) {
        close(static_cast<int>(token));
    }
}

#else

intptr_t Env::hold_sleep(const std::string &why) {
    (void)why;
    return -1;
}

void Env::release_sleep(intptr_t token) {
    (void)token;
}

#endif

}  // namespace host
