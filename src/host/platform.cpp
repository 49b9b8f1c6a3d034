// Platform-specific code, kept in this one place.
#include "platform.h"

#include <clocale>
#include <cstring>
#include <initializer_list>

#if defined(_WIN32)
#include <io.h>
#include <stdio.h>
#include <windows.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#else
#include <langinfo.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#endif

namespace host {

bool stderr_is_terminal() {
#if defined(_WIN32)
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(STDERR_FILENO) != 0;
#endif
}

bool use_utf8_multibyte_text() {
#if defined(_WIN32)
    // The HID library passes the device's UTF-16 strings on as they are.
    return true;
#else
    // C.UTF-8 first: the user's locale may be UTF-8 too, but may as well be unset (services,
    // CI) or some other encoding, which would turn the device's bytes into the wrong letters.
    for (const char *name : {"C.UTF-8", ""}) {
        if (std::setlocale(LC_CTYPE, name) != nullptr &&
            std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0) {
            return true;
        }
    }
    std::setlocale(LC_CTYPE, "C");
    return false;
#endif
}

#if defined(_WIN32)

bool stdout_is_pipe() {
    return GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) == FILE_TYPE_PIPE;
}

namespace {
std::atomic<int> interrupt_status{0};
void on_interrupt_signal(int sig) {
    if (interrupt_status.exchange(sig == SIGTERM ? 143 : 130) != 0) {
        _exit(130);
    }
    std::signal(sig, on_interrupt_signal);
}
}  // namespace

void install_interrupt_handlers() {
    std::signal(SIGINT, on_interrupt_signal);
    std::signal(SIGTERM, on_interrupt_signal);
}

int interrupt_requested() {
    return interrupt_status.load();
}

void wait_for_enter() {
    if (_isatty(_fileno(stdin))) {
        std::fputs("Press Enter to exit\n", stderr);
        std::fflush(stderr);
    }
    std::getchar();
}

#else

bool stdout_is_pipe() {
    struct stat st;
    return fstat(STDOUT_FILENO, &st) == 0 && S_ISFIFO(st.st_mode);
}

namespace {

std::atomic<int> interrupt_status{0};
static_assert(std::atomic<int>::is_always_lock_free, "used from a signal handler");

void on_interrupt_signal(int sig) {
    const int status = 128 + sig;
    int none = 0;
    if (!interrupt_status.compare_exchange_strong(none, status)) {
        _exit(status);  // the second request: the user wants out now
    }
}

constexpr int kPollMs = 100;

}  // namespace

void install_interrupt_handlers() {
    struct sigaction sa {};
    sa.sa_handler = on_interrupt_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: a blocked read returns so the request is seen
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

int interrupt_requested() {
    return interrupt_status.load();
}

void wait_for_enter() {
    if (isatty(STDIN_FILENO)) {
        if (tcgetpgrp(STDIN_FILENO) != getpgrp()) {
            return;  // a background job: reading would stop it with SIGTTIN
        }
        std::fputs("Press Enter to exit\n", stderr);
        std::fflush(stderr);
    }
    // Bounded polls, so that an interruption is noticed whichever thread took the signal.
    while (interrupt_requested() == 0) {
        pollfd fd{STDIN_FILENO, POLLIN, 0};
        const int ready = poll(&fd, 1, kPollMs);
        if (ready < 0 && errno != EINTR) {
            return;
        }
        if (ready > 0) {
            char c;
            const ssize_t n = read(STDIN_FILENO, &c, 1);
            if (n >= 0 || errno != EINTR) {
                return;
            }
        }
    }
}

#endif

}  // namespace host
