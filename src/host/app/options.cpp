#include "host/app/options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <set>

#include "base/text.h"
#include "host/app/command_help.h"
#include "host/app/command_table.h"
#include "host/app/nearest_word.h"
#include "host/app/station_config.h"
#include "host/app/version.h"
#include "host/events/exit_status.h"
#include "host/inputs/input_sources.h"
#include "host/platform/env.h"
#include "host/records/database_uri.h"
#include "host/records/record_writer.h"

namespace host {

namespace {

// A USB ID in hex, with or without 0x: at most four digits once leading zeros are dropped.
bool parse_usb_id(const std::string &text, uint16_t &out) {
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits = digits.substr(2);
    }
    if (digits.empty()) {
        return false;
    }
    unsigned long value = 0;
    for (char c : digits) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return false;
        }
        const int digit = std::isdigit(static_cast<unsigned char>(c))
                              ? c - '0'
                              : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
        value = value * 16 + static_cast<unsigned long>(digit);
        if (value > 0xFFFF) {
            return false;
        }
    }
    out = static_cast<uint16_t>(value);
    return true;
}

std::chrono::milliseconds to_milliseconds(double seconds) {
    return std::chrono::milliseconds(static_cast<long long>(seconds * 1000.0 + 0.5));
}

ParseResult refuse(ParseResult result, const std::string &message) {
    std::fprintf(stderr, "hidiap: %s\n", mask_passwords(message).c_str());
    result.kind = ParseResult::Kind::Exit;
    result.exit_status = kExitBadInput;
    return result;
}

// A refusal of the command line's shape, with the usage of what was typed.
ParseResult refuse_with_usage(ParseResult result, const std::string &message,
                              const std::string &path) {
    result = refuse(std::move(result), message);
    if (path.empty()) {
        std::fprintf(stderr, "usage: hidiap [OPTIONS] IMAGE TTS TOKEN (see --help)\n");
    } else {
        std::fprintf(stderr, "usage: %s (see hidiap %s --help)\n", command_usage(path).c_str(),
                     path.c_str());
    }
    return result;
}

std::string number_text(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.15g", value);
    return text;
}

// A number from low to high; CLI11's own range check lets "nan" through.
CLI::Validator within(double low, double high) {
    return CLI::Validator(
        [low, high](std::string &text) -> std::string {
            char *end = nullptr;
            const double v = std::strtod(text.c_str(), &end);
            if (end == text.c_str() || *end != '\0' || !std::isfinite(v) || v < low || v > high) {
                return "'" + text + "' is not a number from " + number_text(low) + " to " +
                       number_text(high);
            }
            return "";
        },
        "");
}

// Before any other check of a value: an empty one is refused, whatever the option, so that an
// unset variable in a script never reads as the option left out.
CLI::Validator not_empty(const std::string &value_name) {
    return CLI::Validator(
        [value_name](std::string &text) -> std::string {
            return text.empty() ? "the " + value_name +
                                      " is empty; an empty value is refused, never taken for "
                                      "one left out; nothing was done"
                                : "";
        },
        "");
}

// An option or argument as bound to one (sub)command of the parser.
struct Bound {
    const CLI::App *app;
    std::string name;
    CLI::Option *option;
};

class Parser {
  public:
    explicit Parser(CommandLine &line) : line_(line) {}

    // hidiap [OPTIONS] IMAGE TTS TOKEN [...]: every option, and the arguments.
    void add_flag_form(CLI::App &app) {
        add_groups(app, flag_form_groups());
        for (const ArgumentSpec &a : flag_form_arguments()) {
            if (a.field != nullptr) {
                add_argument(app, a, false)->required(false);
            }
        }
        // The tool has always ignored anything past its third argument; it still does, with a
        // warning, rather than refusing a command line that used to work.
        app.add_option("EXTRA", line_.options.extra_args)->group("");
    }

    // The commands, each a subcommand (two words: a subcommand of a subcommand).
    void add_commands(CLI::App &app) {
        for (const std::string &word : next_command_words("")) {
            add_level(app, word);
        }
    }

    // The options of `app` the command line gave.
    std::set<std::string> given(const CLI::App *app) const {
        std::set<std::string> names;
        for (const Bound &b : bound_) {
            if (b.app == app && b.option->count() > 0) {
                names.insert(b.name);
            }
        }
        return names;
    }

  private:
    void add_level(CLI::App &parent, const std::string &path) {
        const size_t space = path.rfind(' ');
        const std::string word = space == std::string::npos ? path : path.substr(space + 1);
        CLI::App *sub = parent.add_subcommand(word, "");
        sub->allow_windows_style_options(false);
        if (const CommandSpec *c = find_command(path)) {
            add_groups(*sub, c->groups);
            for (const ArgumentSpec &a : c->arguments) {
                if (a.field != nullptr) {
                    add_argument(*sub, a, true);
                }
            }
            return;
        }
        sub->require_subcommand(1);
        for (const std::string &next : next_command_words(path)) {
            add_level(*sub, path + " " + next);
        }
    }

    void add_groups(CLI::App &app, const std::vector<GroupUse> &groups) {
        for (const ShownGroup &g : options_of(groups)) {
            for (const OptionSpec *s : g.options) {
                CLI::Option *o =
                    std::visit([&](auto field) { return add(app, *s, field(line_)); }, s->field);
                if (s->value != Value::None) {
                    o->type_name(s->value_name);
                    o->check(not_empty(s->value_name));
                }
                if (s->value == Value::Number) {
                    o->check(within(s->low, s->high));
                }
                if (s->value == Value::Word) {
                    o->check(CLI::IsMember(s->words));
                }
                bound_.push_back({&app, s->name, o});
            }
        }
    }

    // The older form's arguments are taken as they always were, an empty one too.
    CLI::Option *add_argument(CLI::App &app, const ArgumentSpec &a, bool refuse_empty) {
        CLI::Option *o = app.add_option(a.name, a.field(line_), a.help)->required(a.required);
        if (refuse_empty) {
            o->check(not_empty(a.name));
        }
        if (a.value == Value::Word) {
            o->check(CLI::IsMember(a.words));
        }
        bound_.push_back({&app, a.name, o});
        return o;
    }

    static CLI::Option *add(CLI::App &app, const OptionSpec &s, bool &flag) {
        return app.add_flag(s.name, flag, s.help);
    }
    static CLI::Option *add(CLI::App &app, const OptionSpec &s, std::string &text) {
        return app.add_option(s.name, text, s.help);
    }
    static CLI::Option *add(CLI::App &app, const OptionSpec &s, std::vector<std::string> &texts) {
        return app.add_option(s.name, texts, s.help)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
            ->expected(1)
            ->allow_extra_args(false);
    }
    template <typename Number>
    static CLI::Option *add(CLI::App &app, const OptionSpec &s, Number &number) {
        return app.add_option(s.name, number, s.help);
    }

    CommandLine &line_;
    std::vector<Bound> bound_;
};

// The innermost command the parse reached, and its path ("package make"; "" for none).
const CLI::App *reached(const CLI::App &app, std::string &path) {
    const CLI::App *at = &app;
    path.clear();
    while (!at->get_subcommands().empty()) {
        at = at->get_subcommands().front();
        path += (path.empty() ? "" : " ") + at->get_name();
    }
    return at;
}

bool is_command_word(const std::string &word) {
    const std::vector<std::string> words = next_command_words("");
    return std::find(words.begin(), words.end(), word) != words.end();
}

// What the parser could not place, in words: a mistyped option or command gets the nearest.
std::string unexpected(const std::string &word, const std::string &path) {
    const std::string where = path.empty() ? "" : path + ": ";
    const CommandSpec *command = find_command(path);
    if (word.size() > 1 && word[0] == '-') {
        std::vector<std::string> names = {"--help"};
        if (path.empty() || command != nullptr) {
            for (const ShownGroup &g :
                 options_of(path.empty() ? flag_form_groups() : command->groups)) {
                for (const OptionSpec *s : g.options) {
                    names.push_back(s->name);
                }
            }
        }
        const std::string near = nearest_word(word, names);
        return where + "unknown option '" + word + "'" +
               (near.empty() ? "" : "; did you mean '" + near + "'?");
    }
    const std::vector<std::string> next = next_command_words(path);
    if (!next.empty() && command == nullptr) {
        const std::string near = nearest_word(word, next);
        return where + "unknown command '" + word + "'" +
               (near.empty() ? "" : "; did you mean 'hidiap " + path + " " + near + "'?");
    }
    return where + "unexpected argument '" + word + "'";
}

bool names_no_file(const std::string &path) {
    const base::Result<FileFacts> facts = env().stat(path);
    return facts.ok() && facts->kind == FileKind::Missing;
}

bool ends_in_zip(const std::string &path) {
    if (path.size() < 4) {
        return false;
    }
    std::string end = path.substr(path.size() - 4);
    for (char &c : end) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return end == ".zip";
}

// A first argument of the form without a command that names no file and looks like a mistyped
// command ("statoin"): the command it probably is, else "".
std::string command_meant(const std::string &first) {
    if (first.find_first_of("/\\.") != std::string::npos || !names_no_file(first)) {
        return "";
    }
    return nearest_word(first, next_command_words(""));
}

// IMAGE TTS TOKEN, or a firmware package alone: "" when the arguments are one of them, else why
// not (said with the usage). A package becomes o.package_path.
std::string sort_arguments(Options &o, const std::set<std::string> &given, bool flag_form) {
    if (!o.make_job.empty()) {
        return "";
    }
    if (flag_form && (!o.make_key.empty() || !o.record_setup.empty())) {
        if (!o.image_path.empty()) {
            return std::string(o.make_key.empty() ? "--record-setup" : "--make-key") +
                   ": takes no IMAGE, TTS or TOKEN";
        }
        return "";
    }
    if (o.list || (!flag_form && given.count("IMAGE") == 0)) {
        return "";
    }
    if (flag_form && given.count("IMAGE") != 0) {
        if (const std::string verb = command_meant(o.image_path); !verb.empty()) {
            return "'" + o.image_path + "' is neither a file nor a command; did you mean 'hidiap " +
                   verb + "'?";
        }
    }
    if (o.make_package.empty() && given.count("IMAGE") != 0 && given.count("TTS") == 0) {
        // One argument that is a zip archive (or named as one): a firmware package holds the
        // rest, and reading it says what is wrong with it.
        if (file_looks_like_zip(o.image_path) ||
            (ends_in_zip(o.image_path) && !names_no_file(o.image_path))) {
            o.package_path = o.image_path;
            o.image_path.clear();
            return "";
        }
        if (names_no_file(o.image_path)) {
            return "'" + o.image_path +
                   (flag_form ? "' is neither a file nor a command (hidiap --help lists them)"
                              : "' is not a file: give IMAGE TTS TOKEN, or a firmware package");
        }
    }
    for (const char *name : {"IMAGE", "TTS", "TOKEN"}) {
        if (given.count(name) == 0) {
            return std::string(name) + " is required";
        }
    }
    return "";
}

// The checks across options, and the values made from their texts: "" or why the command line
// is refused.
std::string validate(CommandLine &line, const std::set<std::string> &given) {
    Options &o = line.options;
    if (!line.vid_text.empty() && !parse_usb_id(line.vid_text, o.device.vendor_id)) {
        return "--vid: '" + line.vid_text + "' is not a hex ID from 0 to ffff";
    }
    if (!line.pid_text.empty() && !parse_usb_id(line.pid_text, o.device.product_id)) {
        return "--pid: '" + line.pid_text + "' is not a hex ID from 0 to ffff";
    }
    o.vid_given = !line.vid_text.empty();
    o.pid_given = !line.pid_text.empty();
    if ((!o.fw_version.empty() || !o.product.empty()) && o.make_package.empty()) {
        return "--fw-version and --product go with --make-package";
    }
    if (!o.record_spool.empty() && !is_postgres_uri(o.record_file)) {
        return "--record-spool goes with --record postgresql://...";
    }
    if (o.unencrypted && o.make_key.empty()) {
        return "--unencrypted goes with --make-key";
    }
    if (!o.make_job.empty()) {
        if (o.job_package.empty() || o.count == 0 || o.sign_keys.size() != 1) {
            return "job make: give --package PACKAGE, --count N and one --sign SECRETKEY";
        }
        return "";
    }
    if (!o.job.empty() && !o.station) {
        return "--job goes with station";
    }
    if (!o.sign_keys.empty() && o.make_package.empty() && o.sign_package.empty()) {
        return "--sign goes with --make-package or package sign";
    }
    if (!o.sign_package.empty() && o.sign_keys.empty()) {
        return "package sign: give the key to sign with, --sign SECRETKEY";
    }
    if (!line.security_counter_text.empty()) {
        const std::string &t = line.security_counter_text;
        if (o.make_package.empty()) {
            return "--security-counter goes with --make-package";
        }
        if (t.size() > 19 || t.find_first_not_of("0123456789") != std::string::npos) {
            return "--security-counter: '" + t + "' is not a whole number from 0 to 10^19";
        }
        o.has_security_counter = true;
        o.security_counter = std::stoull(t);
    }
    if (!o.make_package.empty() && o.vid_given != o.pid_given) {
        return "--make-package: give both --vid and --pid, or neither";
    }
    o.skip_blank = o.skip_blank || o.skip_unchanged;
    o.wait = to_milliseconds(line.wait_seconds);
    o.sim_appear_after = std::chrono::milliseconds(line.appear_ms);
    o.sim_open_after = std::chrono::milliseconds(line.open_ms);
    const bool sim_options =
        !o.sim_faults.empty() || !o.sim_flash_path.empty() || given.count("--sim-devices") != 0 ||
        given.count("--sim-appear-after") != 0 || given.count("--sim-open-after") != 0 ||
        !o.sim_timing.empty() || !o.sim_flash_from.empty() || !o.sim_arrivals.empty() ||
        o.sim_reboot_away_ms >= 0 || !o.sim_ports.empty() || !o.sim_serials.empty();
    if (sim_options && !o.simulate) {
        return "--sim-fault, --sim-flash and the other --sim- options need --simulate";
    }
    if (!o.sim_arrivals.empty() && given.count("--sim-devices") != 0) {
        return "--sim-arrivals gives the number of boards; drop --sim-devices";
    }
    if (o.count != 0 && !o.station && o.learn_slots.empty()) {
        return "--count needs --station";
    }
    if ((!o.config_path.empty() || o.print_config || !o.status_listen.empty()) && !o.station) {
        return "--config, --print-config and --status-listen go with station";
    }
    if ((!o.slots_file.empty() || !o.on_result.empty() || !o.log_dir.empty() ||
         given.count("--on-result-timeout") != 0) &&
        !o.station) {
        return "--slots, --on-result, --on-result-timeout and --log-dir go with the station";
    }
    std::set<std::string> keys;
    for (const std::string &f : o.fields) {
        const size_t equals = f.find('=');
        const std::string key = f.substr(0, equals);
        if (equals == std::string::npos || key.empty() ||
            key.find_first_not_of(
                "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_") !=
                std::string::npos) {
            return "--field: '" + f + "' is not KEY=VALUE (KEY of letters, digits and _)";
        }
        if (!keys.insert(key).second) {
            return "--field: '" + key + "' is given twice";
        }
    }
    if (o.station && (o.wait.count() != 0 || o.list || o.device.all)) {
        return "--station takes every matching board as it appears: no --wait, --list or --all";
    }
    if (o.device.all &&
        !(o.device.serials.empty() && o.device.paths.empty() && o.device.ports.empty())) {
        return "--all takes every matching device; it cannot be combined with --serial, --path "
               "or --port";
    }
    return "";
}

ParseResult asked_for_information(ParseResult result) {
    result.kind = ParseResult::Kind::Exit;
    result.asked_for_information = true;
    result.exit_status = kExitSuccess;
    return result;
}

}  // namespace

namespace {

// A TOML value: strings quoted, the rest as it is.
std::string quoted(const std::string &text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out + "\"";
}

struct ShownValue {
    std::string operator()(FlagField f) const { return f(line) ? "true" : "false"; }
    std::string operator()(TextField f) const { return quoted(mask_passwords(f(line))); }
    std::string operator()(TextsField f) const {
        std::string out;
        for (const std::string &t : f(line)) {
            out += (out.empty() ? "" : ", ") + quoted(mask_passwords(t));
        }
        return "[" + out + "]";
    }
    std::string operator()(IntField f) const { return std::to_string(f(line)); }
    std::string operator()(CountField f) const { return std::to_string(f(line)); }
    std::string operator()(SecondsField f) const { return number_text(f(line)); }
    CommandLine &line;
};

// --print-config: every station setting as a line of the file would set it, and where its value
// came from. Secrets in URIs are masked as everywhere else.
void print_settings(CommandLine &line, const StationConfig &config,
                    const std::vector<std::string> &cli_keys) {
    const auto source = [&](const std::string &key) -> std::string {
        if (std::find(cli_keys.begin(), cli_keys.end(), key) != cli_keys.end()) {
            return "command line";
        }
        for (const ConfigSetting &s : config.settings) {
            if (s.key == key) {
                return base::format("file %s:%u", config.path.c_str(), s.line);
            }
        }
        return "default";
    };
    std::string out = "# the settings of hidiap station in force, and where each came from\n";
    const Options &o = line.options;
    const bool files_given = std::find(cli_keys.begin(), cli_keys.end(), "") != cli_keys.end();
    const char *from = files_given ? "command line" : nullptr;
    const std::pair<const char *, std::string> inputs[] = {{"image", o.image_path},
                                                           {"tts", o.tts_path},
                                                           {"token", o.token},
                                                           {"package", o.package_path}};
    for (const auto &[key, value] : inputs) {
        if (!value.empty()) {
            out += std::string(key) + " = " + quoted(value) + "  # " +
                   (from != nullptr ? std::string(from) : source(key)) + "\n";
        }
    }
    for (const ShownGroup &g : options_of(find_command("station")->groups)) {
        for (const OptionSpec *s : g.options) {
            const std::string key = s->name.substr(2);
            if (key == "config" || key == "print-config") {
                continue;
            }
            out +=
                key + " = " + std::visit(ShownValue{line}, s->field) + "  # " + source(key) + "\n";
        }
    }
    std::fputs(out.c_str(), stdout);
}

}  // namespace

ParseResult parse_command_line(int argc, char **argv) {
    // station --config FILE: the file's settings become words of the command line, before the
    // parse, so that one parser checks both and the command line's own win.
    StationConfig config;
    std::vector<std::string> words(argv, argv + argc);
    std::vector<std::string> cli_keys;
    const size_t first = argc > 1 && is_command_word(argv[1]) ? 2 : 1;
    for (size_t i = first; i < words.size(); ++i) {
        if (words[i] == "--") {
            break;
        }
        const bool joined = words[i].rfind("--config=", 0) == 0;
        if (words[i] != "--config" && !joined) {
            continue;
        }
        const std::string path = joined                 ? words[i].substr(9)
                                 : i + 1 < words.size() ? words[i + 1]
                                                        : "";
        if (path.empty()) {
            break;  // the parser says what is missing
        }
        base::Result<StationConfig> read = read_station_config(path);
        if (!read.ok()) {
            ParseResult refused;
            refused.any_arguments = true;
            return refuse(refused, read.message());
        }
        config = std::move(*read);
        const std::vector<std::string> args(words.begin() + static_cast<long>(first), words.end());
        cli_keys = command_line_keys(args);
        const std::vector<std::string> added = config_words(config, args);
        words.insert(words.end(), added.begin(), added.end());
        break;
    }
    std::vector<char *> merged;
    for (std::string &w : words) {
        merged.push_back(w.data());
    }
    merged.push_back(nullptr);
    argc = static_cast<int>(words.size());
    argv = merged.data();
    if (config.path.empty()) {
        cli_keys = command_line_keys(std::vector<std::string>(
            words.begin() + static_cast<long>(std::min(first, words.size())), words.end()));
    }

    ParseResult result;
    result.any_arguments = argc > 1;
    CommandLine line;
    CLI::App app{"", "hidiap"};
    app.set_version_flag("--version", "hidiap " HIDIAP_VERSION);
    // On Windows a path may begin with '/', which must not be read as a "/option".
    app.allow_windows_style_options(false);
    Parser parser(line);
    // A command is the first word or none: later arguments are files, whatever their names.
    const bool flag_form = argc < 2 || !is_command_word(argv[1]);
    if (flag_form) {
        parser.add_flag_form(app);
    } else {
        parser.add_commands(app);
    }
    std::string path;
    // What was parsed goes with every result: whether the usage line is printed depends on it.
    const auto parsed = [&result, &line, &path]() -> ParseResult & {
        result.options = line.options;
        result.command = path;
        return result;
    };
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &) {
        reached(app, path);
        std::fputs((path.empty() ? tool_help() : command_help(path)).c_str(), stdout);
        return asked_for_information(parsed());
    } catch (const CLI::CallForVersion &e) {
        app.exit(e);
        return asked_for_information(parsed());
    } catch (const CLI::ParseError &e) {
        reached(app, path);
        const std::vector<std::string> left = app.remaining(true);
        return refuse_with_usage(parsed(), left.empty() ? e.what() : unexpected(left.front(), path),
                                 path);
    }
    const CLI::App *command = reached(app, path);
    Options &o = line.options;
    if (const CommandSpec *c = find_command(path); c != nullptr && c->chosen != nullptr) {
        c->chosen(o);
    }
    const std::set<std::string> given = parser.given(command);
    if (const std::string why = sort_arguments(o, given, flag_form); !why.empty()) {
        return refuse_with_usage(parsed(), why, path);
    }
    if (const std::string why = validate(line, given); !why.empty()) {
        return refuse(parsed(), why);
    }
    if (o.print_config) {
        print_settings(line, config, cli_keys);
        result.kind = ParseResult::Kind::Exit;
        result.exit_status = kExitSuccess;
        result.asked_for_information = true;
        return parsed();
    }
    if (!o.extra_args.empty()) {
        std::string ignored;
        for (const std::string &a : o.extra_args) {
            ignored += " '" + a + "'";
        }
        std::fprintf(stderr, "hidiap: warning: arguments past the third are ignored:%s\n",
                     ignored.c_str());
    }
    return parsed();
}

bool prints_usage_line(const ParseResult &parsed) {
    const Options &o = parsed.options;
    const bool updates = parsed.command.empty() || parsed.command == "update" ||
                         parsed.command == "verify" || parsed.command == "station";
    return updates && parsed.any_arguments && !parsed.asked_for_information && !o.dry_run &&
           !o.json && !o.list && o.make_package.empty() && o.make_key.empty() &&
           o.record_setup.empty() && o.show_package.empty() && o.completion.empty() &&
           o.sign_package.empty() && o.learn_slots.empty() && o.make_job.empty();
}

InputRequest input_request(const Options &o) {
    return {o.image_path, o.tts_path, o.token, o.image_format, o.tts_format};
}

}  // namespace host
