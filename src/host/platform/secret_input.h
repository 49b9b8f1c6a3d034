// Reading a password, and where the system keeps the keys it trusts: the operating system's side
// of signing.
#pragma once

#include <string>

namespace host {

// Reads one line: from the terminal, after the prompt on standard error and without echoing
// it, when standard input is one; otherwise from standard input as it comes. The line end is
// dropped. False when the input ended before a line.
bool read_secret_line(const char *prompt, std::string &out);

// Whether read_secret_line asks on a terminal (where a new password is asked for twice).
bool secret_input_is_terminal();

// The folder of the system's trusted public keys: /etc/hidiap/trusted-keys on Linux,
// %ProgramData%\hidiap\trusted-keys on Windows.
std::string trusted_keys_folder();
// The folder of the system's revoked public keys, beside it: revoked-keys.
std::string revoked_keys_folder();

}  // namespace host
