// The station's configuration file (station --config FILE): every station option as a flat TOML
// key named as the long option without its "--" (count = 500, a repeatable one as an array of
// strings), and the inputs as image, tts, token or package. The file's settings become command-
// line words placed before the command line's own, so that the command line wins and one parser
// checks both; a relative path is taken from the file's folder.
#pragma once

#include <string>
#include <vector>

#include "base/result.h"

namespace host {

struct ConfigSetting {
    std::string key;                  // "count", "field", "image"
    std::vector<std::string> values;  // one, or several for a repeatable option; none for false
    unsigned line = 0;                // where the file sets it
};

struct StationConfig {
    std::string path;
    std::vector<ConfigSetting> settings;
};

// Reads and checks FILE: InvalidInput naming the file, line and key of the first key that is
// unknown, of the wrong type or out of range.
base::Result<StationConfig> read_station_config(const std::string &path);

// The command-line words of ARGS (the words after the command) the file's settings add: its
// options the command line does not give, and its inputs unless the command line names files.
std::vector<std::string> config_words(const StationConfig &config,
                                      const std::vector<std::string> &args);

// The keys ARGS gives itself ("count" for --count 5), for --print-config.
std::vector<std::string> command_line_keys(const std::vector<std::string> &args);

}  // namespace host
