// Platform-specific code, kept in this one place.
#include "platform.h"

#include <clocale>
#include <cstring>
#include <initializer_list>

#if defined(_WIN32)
#include <io.h>
#include <stdio.h>
#include <windows.h>
#else
#include <langinfo.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace host {

bool stderr_is_terminal() {
#if defined(_WIN32)
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(STDERR_FILENO) != 0;
#endif
}

int stderr_columns() {
#if defined(_WIN32)
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) {
        return info.srWindow.Right - info.srWindow.Left + 1;
    }
    return 0;
#else
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0) {
        return size.ws_col;
    }
    return 0;
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

}  // namespace host
