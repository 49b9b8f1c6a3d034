#include "host/app/station_config.h"

#include <algorithm>
#include <cmath>
#include <set>

#include "base/text.h"
#include "host/app/command_table.h"

#if defined(HIDIAP_HAVE_TOML)
#include <toml++/toml.h>
#endif

namespace host {

namespace {

// The options a station takes, by their names without the dashes; the file's own options aside.
const OptionSpec *station_option(const std::string &key) {
    if (key == "config" || key == "print-config") {
        return nullptr;
    }
    const CommandSpec *station = find_command("station");
    for (const ShownGroup &g : options_of(station->groups)) {
        for (const OptionSpec *s : g.options) {
            if (s->name == "--" + key) {
                return s;
            }
        }
    }
    return nullptr;
}

bool is_input_key(const std::string &key) {
    return key == "image" || key == "tts" || key == "token" || key == "package";
}

base::Error refusal(const std::string &message) {
    return base::Error(base::ErrorCode::InvalidInput, message);
}

#if defined(HIDIAP_HAVE_TOML)

bool is_absolute(const std::string &path) {
    return (!path.empty() && (path[0] == '/' || path[0] == '\\')) ||
           (path.size() > 1 && path[1] == ':');
}

// A file's path as the file names it, from the file's folder; a database URI stays as it is.
std::string from_folder(const std::string &folder, const std::string &value) {
    if (is_absolute(value) || value.find("://") != std::string::npos || folder.empty()) {
        return value;
    }
    return folder + "/" + value;
}

std::string joined(const std::vector<std::string> &words) {
    std::string out;
    for (const std::string &w : words) {
        out += (out.empty() ? "" : ", ") + w;
    }
    return out;
}

std::string number_text(double v) {
    return base::format("%.15g", v);
}

// "" or why the value does not fit the option; the setting's words in `values`.
std::string take_value(const OptionSpec &option, const toml::node &node, const std::string &folder,
                       std::vector<std::string> &values) {
    const auto text = [&](const toml::node &n, std::string &out) -> std::string {
        const std::optional<std::string> s = n.value_exact<std::string>();
        if (!s) {
            return "wants a string";
        }
        if (s->empty()) {
            return "is empty; an empty value is refused";
        }
        if (option.value == Value::Word &&
            std::find(option.words.begin(), option.words.end(), *s) == option.words.end()) {
            return "'" + *s + "' is not one of " + joined(option.words);
        }
        out = option.value == Value::File ? from_folder(folder, *s) : *s;
        return "";
    };
    const auto number = [&](bool whole) -> std::string {
        double v = 0;
        if (const std::optional<int64_t> i = node.value_exact<int64_t>()) {
            v = static_cast<double>(*i);
        } else if (const std::optional<double> d = node.value_exact<double>(); d && !whole) {
            v = *d;
        } else {
            return whole ? "wants a whole number" : "wants a number";
        }
        if (option.value == Value::Number &&
            (!std::isfinite(v) || v < option.low || v > option.high)) {
            return number_text(v) + " is not a number from " + number_text(option.low) + " to " +
                   number_text(option.high);
        }
        values.push_back(number_text(v));
        return "";
    };
    if (std::holds_alternative<FlagField>(option.field)) {
        const std::optional<bool> b = node.value_exact<bool>();
        if (!b) {
            return "wants true or false";
        }
        if (*b) {
            values.push_back("true");
        }
        return "";
    }
    if (std::holds_alternative<TextField>(option.field)) {
        std::string out;
        const std::string why = text(node, out);
        values.push_back(out);
        return why;
    }
    if (std::holds_alternative<TextsField>(option.field)) {
        const toml::array *array = node.as_array();
        if (array == nullptr) {
            return "wants an array of strings (it is repeatable)";
        }
        for (const toml::node &item : *array) {
            std::string out;
            if (const std::string why = text(item, out); !why.empty()) {
                return "an item " + why;
            }
            values.push_back(out);
        }
        return "";
    }
    return number(!std::holds_alternative<SecondsField>(option.field));
}

#endif

}  // namespace

base::Result<StationConfig> read_station_config(const std::string &path) {
#if defined(HIDIAP_HAVE_TOML)
    toml::table table;
    try {
        table = toml::parse_file(path);
    } catch (const toml::parse_error &e) {
        return refusal(base::format("%s:%u: %s", path.c_str(),
                                    static_cast<unsigned>(e.source().begin.line),
                                    std::string(e.description()).c_str()));
    }
    StationConfig config;
    config.path = path;
    const size_t slash = path.find_last_of("/\\");
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash);
    for (auto &&[key, node] : table) {
        ConfigSetting setting;
        setting.key = std::string(key.str());
        setting.line = static_cast<unsigned>(key.source().begin.line);
        const auto refuse = [&](const std::string &why) {
            return refusal(base::format("%s:%u: key '%s' %s; nothing was done", path.c_str(),
                                        setting.line, setting.key.c_str(), why.c_str()));
        };
        std::string why;
        if (is_input_key(setting.key)) {
            OptionSpec input;
            input.value = setting.key == "token" ? Value::Text : Value::File;
            input.field = TextField(nullptr);
            why = take_value(input, node, folder, setting.values);
        } else if (const OptionSpec *option = station_option(setting.key)) {
            why = take_value(*option, node, folder, setting.values);
        } else {
            why =
                "is not a station setting (the long options of hidiap station --help, "
                "without their --, and image, tts, token or package)";
        }
        if (!why.empty()) {
            return refuse(why);
        }
        config.settings.push_back(std::move(setting));
    }
    std::sort(config.settings.begin(), config.settings.end(),
              [](const ConfigSetting &a, const ConfigSetting &b) { return a.line < b.line; });
    if (std::any_of(config.settings.begin(), config.settings.end(),
                    [](const ConfigSetting &s) { return s.key == "package"; }) &&
        std::any_of(config.settings.begin(), config.settings.end(), [](const ConfigSetting &s) {
            return s.key == "image" || s.key == "tts" || s.key == "token";
        })) {
        return refusal(path +
                       ": give package, or image, tts and token; not "
                       "both; nothing was done");
    }
    return config;
#else
    return refusal(path + ": this build of hidiap reads no configuration files");
#endif
}

std::vector<std::string> command_line_keys(const std::vector<std::string> &args) {
    std::vector<std::string> keys;
    bool options = true;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        if (options && a == "--") {
            options = false;
            continue;
        }
        if (options && a.size() > 2 && a.compare(0, 2, "--") == 0) {
            const size_t equals = a.find('=');
            const std::string key = a.substr(2, equals == std::string::npos ? a.npos : equals - 2);
            keys.push_back(key);
            const OptionSpec *option = station_option(key);
            if (key == "config" || (option != nullptr && option->value != Value::None)) {
                i += equals == std::string::npos ? 1 : 0;
            }
            continue;
        }
        if (options && a.size() > 1 && a[0] == '-') {
            continue;
        }
        keys.push_back("");  // an input file named on the command line
    }
    return keys;
}

std::vector<std::string> config_words(const StationConfig &config,
                                      const std::vector<std::string> &args) {
    const std::vector<std::string> keys = command_line_keys(args);
    const std::set<std::string> given(keys.begin(), keys.end());
    std::vector<std::string> words;
    for (const ConfigSetting &s : config.settings) {
        if (is_input_key(s.key)) {
            continue;  // after the options
        }
        if (given.count(s.key) != 0) {
            continue;  // the command line wins
        }
        const OptionSpec *option = station_option(s.key);
        if (option->value == Value::None) {
            if (!s.values.empty()) {
                words.push_back(option->name);
            }
            continue;
        }
        for (const std::string &v : s.values) {
            words.push_back(option->name);
            words.push_back(v);
        }
    }
    if (given.count("") == 0) {
        // In the order the command takes them.
        std::vector<std::string> files;
        for (const char *key : {"image", "tts", "token", "package"}) {
            for (const ConfigSetting &s : config.settings) {
                if (s.key == key) {
                    files.push_back(s.values.front());
                }
            }
        }
        if (!files.empty()) {
            words.push_back("--");
            words.insert(words.end(), files.begin(), files.end());
        }
    }
    return words;
}

}  // namespace host
