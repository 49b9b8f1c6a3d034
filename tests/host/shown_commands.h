// Command lines as the README and the guide show them, run as a reader would type them, but
// against the simulated device: in a folder of their own that holds the files the pages name.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "process_runner.h"

namespace test_support {

// A folder with the files the pages name: image.bin and firmware.bin (the same 40,000 random
// bytes), firmware.hex (that image as Intel HEX), tts.bin and voice.bin (1,000 random bytes),
// and the password every key is made with, which each command gets as its standard input.
void make_page_files(const std::filesystem::path &dir);

// The line as it is run: `hidiap` is the built tool, --simulate (and --no-wait where the command
// takes it) added where missing. A key is made --unencrypted: sealing it with a password costs
// scrypt's 1 GiB and seconds of CPU (minutes under the sanitizers), and the password's way is
// signing_tool_test's.
std::string simulated(const std::string &line, const std::string &tool);

// Runs the line in `dir` with /bin/sh. A station without --count is stopped the way an operator
// stops it, by Ctrl-C once its first board has its result.
ProcessResult run_shown(const std::string &line, const std::string &tool,
                        const std::filesystem::path &dir);

}  // namespace test_support
