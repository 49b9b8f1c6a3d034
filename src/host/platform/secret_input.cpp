#include "host/platform/secret_input.h"

#include <cstdio>
#include <cstdlib>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <io.h>
#include <windows.h>
#else
#include <termios.h>
#include <unistd.h>
#endif

namespace host {

namespace {

bool read_line(std::string &out) {
    out.clear();
    int c;
    bool any = false;
    while ((c = std::fgetc(stdin)) != EOF) {
        any = true;
        if (c == '\n')
            break;
        out.push_back(static_cast<char>(c));
    }
    if (!out.empty() && out.back() == '\r')
        out.pop_back();
    return any;
}

}  // namespace

#if defined(_WIN32)

bool read_secret_line(const char *prompt, std::string &out) {
    if (!_isatty(_fileno(stdin))) {
        return read_line(out);
    }
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    const bool console = GetConsoleMode(in, &mode) != 0;
    std::fputs(prompt, stderr);
    std::fflush(stderr);
    if (console)
        SetConsoleMode(in, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
    const bool got = read_line(out);
    if (console)
        SetConsoleMode(in, mode);
    std::fputs("\n", stderr);
    return got;
}

bool secret_input_is_terminal() {
    return _isatty(_fileno(stdin)) != 0;
}

std::string trusted_keys_folder() {
    const char *data = std::getenv("ProgramData");
    return std::string(data != nullptr && *data != '\0' ? data : "C:\\ProgramData") +
           "\\hidiap\\trusted-keys";
}

std::string revoked_keys_folder() {
    const char *data = std::getenv("ProgramData");
    return std::string(data != nullptr && *data != '\0' ? data : "C:\\ProgramData") +
           "\\hidiap\\revoked-keys";
}

#else

bool read_secret_line(const char *prompt, std::string &out) {
    termios saved;
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved) != 0) {
        return read_line(out);
    }
    std::fputs(prompt, stderr);
    std::fflush(stderr);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    const bool got = read_line(out);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::fputs("\n", stderr);
    return got;
}

bool secret_input_is_terminal() {
    return isatty(STDIN_FILENO) != 0;
}

std::string trusted_keys_folder() {
    return "/etc/hidiap/trusted-keys";
}

std::string revoked_keys_folder() {
    return "/etc/hidiap/revoked-keys";
}

#endif

}  // namespace host
