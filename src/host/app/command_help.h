// The help, made from the command table: the tool's one screen (hidiap --help: the commands, the
// three-argument form, the exit statuses, where the reference is) and each command's own, its
// options in their groups. At most 100 columns.
#pragma once

#include <string>

namespace host {

// hidiap --help: at most 40 lines.
std::string tool_help();

// hidiap COMMAND --help, for a whole command ("package make") or for the word that leads to
// several ("package").
std::string command_help(const std::string &path);

// How the command is used: "hidiap station [OPTIONS] IMAGE TTS TOKEN | PACKAGE"; for "" the
// form without a command.
std::string command_usage(const std::string &path);

}  // namespace host
