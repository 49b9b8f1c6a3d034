// The tool's only operating-system-specific calls live behind this header.
#pragma once

namespace host {

// True when standard error is an interactive terminal (progress is drawn only there).
bool stderr_is_terminal();

// Columns of the terminal on standard error, or 0 when it is not a terminal or does not say.
int stderr_columns();

// Makes the C library's multibyte conversions UTF-8 whatever the user's locale says. On Linux
// the HID library reads the device's strings from sysfs, as UTF-8, and widens them with
// mbstowcs(), which follows LC_CTYPE: under the "C" locale a program starts in, the first
// non-ASCII byte makes it give up and the product string comes back empty. False when no UTF-8
// locale is installed; then only ASCII strings come through.
bool use_utf8_multibyte_text();

}  // namespace host
