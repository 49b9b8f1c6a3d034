// Platform-specific code, kept in this one place.
#include "host/platform/platform.h"

#include <atomic>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <windows.h>
#else
#include <langinfo.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace host {

namespace {
std::atomic<int> interrupt_status{0};
static_assert(std::atomic<int>::is_always_lock_free, "used from a signal handler");
std::atomic<bool> waited{false};
std::atomic<int> requests{0};
std::atomic<bool> staged{false};
static_assert(std::atomic<bool>::is_always_lock_free, "used from a signal handler");

// The first request sets the status; a later one ends the process unless requests are counted.
// Returns false when the process is to end now.
bool note_request(int status) {
    requests.fetch_add(1);
    int none = 0;
    return interrupt_status.compare_exchange_strong(none, status) || staged.load();
}
}  // namespace

int interrupt_requested() {
    return interrupt_status.load();
}

void count_repeated_interrupts() {
    staged = true;
}

int interrupt_requests() {
    return requests.load();
}

bool waited_for_enter() {
    return waited.load();
}

#if defined(_WIN32)

namespace {

// Runs on a thread of the system's, not in a signal handler; still only notes the request.
BOOL WINAPI on_console_control(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) {
        return FALSE;  // closing the window, logging off: the system's default
    }
    if (!note_request(130)) {
        ExitProcess(130);  // the second request: the user wants out now
    }
    return TRUE;
}

}  // namespace

void prepare_standard_streams() {
    SetConsoleOutputCP(CP_UTF8);
    std::fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
}

bool stdout_is_terminal() {
    DWORD mode = 0;
    HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
    return handle != INVALID_HANDLE_VALUE && handle != nullptr && GetConsoleMode(handle, &mode);
}

bool stderr_is_terminal() {
    HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr || !GetConsoleMode(handle, &mode)) {
        return false;
    }
    return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
           SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

int stderr_columns() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info) == 0) {
        return 0;
    }
    return info.srWindow.Right - info.srWindow.Left + 1;
}

int stderr_rows() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info) == 0) {
        return 0;
    }
    return info.srWindow.Bottom - info.srWindow.Top + 1;
}

bool use_utf8_multibyte_text() {
    // The HID library passes the device's UTF-16 strings on as they are.
    return true;
}

bool stdout_is_pipe() {
    return GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) == FILE_TYPE_PIPE;
}

void install_interrupt_handlers() {
    static const bool installed = SetConsoleCtrlHandler(on_console_control, TRUE) != 0;
    (void)installed;
}

bool owns_console_alone() {
    // Test seam: HIDIAP_CONSOLE_OWNED=1 (or 0) decides on its own, so that checks under an
    // emulation, whose console is not a window of the tool's, can take this path with piped
    // standard streams.
    if (const char *seam = std::getenv("HIDIAP_CONSOLE_OWNED"); seam != nullptr && *seam != '\0') {
        return std::strcmp(seam, "1") == 0;
    }
    // Another process on the console (cmd, PowerShell) keeps the window open after the tool.
    DWORD ids[2];
    if (GetConsoleProcessList(ids, 2) != 1) {
        return false;
    }
    // A program that started the tool with its standard streams redirected reads them itself;
    // nobody is at the window it got (if one shows at all).
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0 &&
           GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

void wait_for_enter() {
    waited = true;
    if (_isatty(_fileno(stdin)) || owns_console_alone()) {
        std::fputs("Press Enter to exit\n", stderr);
        std::fflush(stderr);
    }
    std::getchar();
}

#else

namespace {

void on_interrupt_signal(int sig) {
    const int status = 128 + sig;
    if (!note_request(status)) {
        _exit(status);  // the second request: the user wants out now
    }
}

constexpr int kPollMs = 100;

}  // namespace

void prepare_standard_streams() {}

bool stderr_is_terminal() {
    return isatty(STDERR_FILENO) != 0;
}

bool stdout_is_terminal() {
    return isatty(STDOUT_FILENO) != 0;
}

int stderr_columns() {
    winsize size{};
    return ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

int stderr_rows() {
    winsize size{};
    return ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_row : 0;
}

bool use_utf8_multibyte_text() {
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
}

bool stdout_is_pipe() {
    struct stat st;
    return fstat(STDOUT_FILENO, &st) == 0 && S_ISFIFO(st.st_mode);
}

void install_interrupt_handlers() {
    struct sigaction sa {};
    sa.sa_handler = on_interrupt_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: a blocked read returns so the request is seen
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

bool owns_console_alone() {
    return false;  // a terminal's window belongs to its shell
}

void wait_for_enter() {
    waited = true;
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
