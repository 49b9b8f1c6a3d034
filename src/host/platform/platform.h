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
// Whether standard output is a terminal (a console on Windows).
bool stdout_is_terminal();

// Columns of the terminal on standard error, or 0 when it is not a terminal or does not say.
int stderr_columns();
// Its lines, likewise.
int stderr_rows();

// Makes the C library's multibyte conversions UTF-8 whatever the user's locale says. On Linux
// the HID library reads the device's strings from sysfs, as UTF-8, and widens them with
// mbstowcs(), which follows LC_CTYPE: under the "C" locale a program starts in, the first
// non-ASCII byte makes it give up and the product string comes back empty. False when no UTF-8
// locale is installed; then only ASCII strings come through.
bool use_utf8_multibyte_text();

// True when standard output goes into a pipe (which usually ends on the same screen).
bool stdout_is_pipe();

// Ctrl-C and termination requests. The first one is only noted, for the main thread to stop
// the update in order; a second one ends the process at once. On Windows, Ctrl-C and
// Ctrl-Break in the console count as Ctrl-C.
void install_interrupt_handlers();
// 0 while none came; otherwise the exit status it asks for (130 for Ctrl-C, 143 for SIGTERM).
int interrupt_requested();
// The station's two stages: from now on a second request is only counted, not the end of the
// process, so that the boards in progress can each be reported as interrupted.
void count_repeated_interrupts();
// How many requests came so far.
int interrupt_requests();

// The end-of-run wait for one character on standard input. A terminal (or a console window of
// the tool's own) is asked for Enter on standard error; a background job never reads (that would
// stop it); anything else is read as it comes, and closed input ends the wait at once. An
// interruption ends it too.
void wait_for_enter();
// True once wait_for_enter() has been called, so that a run never waits twice.
bool waited_for_enter();

// True when the tool runs in a console window of its own, which closes the moment the tool
// exits: on Windows, started from Explorer (a double-click, a file dragged onto it, a shortcut),
// it is the only process attached to its console and its standard input and error are that
// console. Never on other systems.
bool owns_console_alone();

}  // namespace host
