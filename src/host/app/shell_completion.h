// hidiap completion bash|zsh|fish: each shell's completion script, made from the command table
// (commands, options, the words an option's value may be, file names where a file is asked for),
// so that it completes exactly what the parser takes.
#pragma once

#include <string>

namespace host {

// The script for "bash", "zsh" or "fish"; "" for another shell.
std::string completion_script(const std::string &shell);

}  // namespace host
