// Platform-specific code, kept in this one place.
#include "platform.h"

#include <atomic>
#include <clocale>
#include <csignal>
#include <cstdio>
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
#include <unistd.h>
#endif

namespace host {

#if defined(_WIN32)

namespace {

std::atomic<void (*)(int)> interrupt_function{nullptr};

BOOL WINAPI on_console_control(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) {
        return FALSE;  // closing the window, logging off: the system's default
    }
    void (*function)(int) = interrupt_function.load();
    if (function == nullptr) {
        return FALSE;
    }
    function(SIGINT);
    return TRUE;
}

}  // namespace

void prepare_standard_streams() {
    SetConsoleOutputCP(CP_UTF8);
    std::fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
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

bool use_utf8_multibyte_text() {
    // The HID library passes the device's UTF-16 strings on as they are.
    return true;
}

void install_interrupt_handler(void (*on_interrupt)(int)) {
    interrupt_function.store(on_interrupt);
    static const bool installed = SetConsoleCtrlHandler(on_console_control, TRUE) != 0;
    (void)installed;
}

#else

void prepare_standard_streams() {}

bool stderr_is_terminal() {
    return isatty(STDERR_FILENO) != 0;
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

void install_interrupt_handler(void (*on_interrupt)(int)) {
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a wait for Enter returns, so the tool can wind down.
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
}

#endif

}  // namespace host
