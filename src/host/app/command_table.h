// The command line's one table: every option once, in the groups each command's help shows, and
// the commands with the groups each takes. The parser, the help and the shell completions are
// all made from it, so that none of them can fall behind another; a new option or command is
// one entry here.
#pragma once

#include <string>
#include <variant>
#include <vector>

#include "host/app/options.h"

namespace host {

// What the parse collects: the options the app reads, and the texts and numbers the validation
// pass turns into some of them.
struct CommandLine {
    Options options;
    std::string vid_text;
    std::string pid_text;
    double wait_seconds = 0;
    std::string security_counter_text;
    int appear_ms = 0;
    int open_ms = 0;
};

// What an option's or argument's value is, which is also what the shells complete. No value may
// be empty: an unset variable in a script must never read as an option left out.
enum class Value {
    None,    // a flag
    File,    // a file's name (--record takes a database URI too)
    Number,  // from `low` to `high`
    Word,    // one of `words`
    Text,    // anything else (IDs, names, rules, URIs); `words`, when any, are offered
};

using FlagField = bool &(*)(CommandLine &);
using TextField = std::string &(*)(CommandLine &);
using TextsField = std::vector<std::string> &(*)(CommandLine &);  // repeatable
using IntField = int &(*)(CommandLine &);
using CountField = unsigned &(*)(CommandLine &);
using SecondsField = double &(*)(CommandLine &);
using Field = std::variant<FlagField, TextField, TextsField, IntField, CountField, SecondsField>;

struct OptionSpec {
    std::string name;        // "--record"
    std::string value_name;  // "FILE|URI"; empty for a flag
    Value value = Value::None;
    std::string help;  // a line or two of the command's help
    Field field;
    std::vector<std::string> words;
    double low = 0;
    double high = 0;
};

struct OptionGroup {
    std::string title;  // "Device choice"
    std::vector<OptionSpec> options;
};

// A command's argument, in order.
struct ArgumentSpec {
    std::string name;  // "IMAGE"
    Value value = Value::File;
    std::string help;
    TextField field = nullptr;  // nullptr: shown only (PACKAGE is IMAGE given alone)
    bool required = true;
    std::vector<std::string> words;
};

struct GroupUse {
    const OptionGroup *group = nullptr;
    std::vector<std::string> left_out;  // options of the group this command does not take
};

struct CommandSpec {
    std::string path;      // "station", "package make"
    std::string synopsis;  // its arguments as the usage shows them: "IMAGE TTS TOKEN | PACKAGE"
    std::string summary;   // its line in hidiap --help
    std::string about;     // the paragraph of its own help
    std::vector<ArgumentSpec> arguments;
    std::vector<GroupUse> groups;         // in the order its help shows them, simulation last
    void (*chosen)(Options &) = nullptr;  // what choosing the command sets
};

// Every command, in the order hidiap --help lists them.
const std::vector<CommandSpec> &commands();

// The command of this path ("package make"), or nullptr.
const CommandSpec *find_command(const std::string &path);

// The words that may follow `parent` on the command line: the first words of the commands for
// "", the second ones for "package" and the like; empty after a whole command.
std::vector<std::string> next_command_words(const std::string &parent);

// The form without a command, hidiap [OPTIONS] IMAGE TTS TOKEN, which takes every option.
const std::vector<GroupUse> &flag_form_groups();
const std::vector<ArgumentSpec> &flag_form_arguments();

// The options of these groups as a command takes them, group by group.
struct ShownGroup {
    std::string title;
    std::vector<const OptionSpec *> options;
};
std::vector<ShownGroup> options_of(const std::vector<GroupUse> &groups);

// The option of this name, or nullptr.
const OptionSpec *find_option(const std::string &name);

// Every option, each once, in the flag form's order.
std::vector<const OptionSpec *> all_options();

}  // namespace host
