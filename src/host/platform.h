// The tool's only operating-system-specific calls live behind this header.
#pragma once

namespace host {

// Sets the standard streams up for the tool's text. On Windows the console shows UTF-8, and
// standard output is untranslated: the engine's lines carry their own "\r\n", which text mode
// would turn into "\r\r\n", and the other lines end in "\n" as on Linux, so every byte a script
// reads is the same on both. Nothing to do elsewhere.
void prepare_standard_streams();

// True when standard error is an interactive terminal (progress is drawn only there). On
// Windows, a console that understands the escape sequences the progress line uses.
bool stderr_is_terminal();

// Makes the C library's multibyte conversions UTF-8 whatever the user's locale says. On Linux
// the HID library reads the device's strings from sysfs, as UTF-8, and widens them with
// mbstowcs(), which follows LC_CTYPE: under the "C" locale a program starts in, the first
// non-ASCII byte makes it give up and the product string comes back empty. False when no UTF-8
// locale is installed; then only ASCII strings come through.
bool use_utf8_multibyte_text();

// Has on_interrupt called with SIGINT when the user presses Ctrl-C (on Windows Ctrl-Break
// too), instead of the process being killed. It runs in a signal handler on POSIX systems and
// on a thread of the system's on Windows, so it may only do what is safe there: set an atomic
// flag, write to a pipe. A later call replaces the function.
void install_interrupt_handler(void (*on_interrupt)(int));

}  // namespace host
