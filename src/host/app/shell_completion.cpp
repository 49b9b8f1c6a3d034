#include "host/app/shell_completion.h"

#include <utility>
#include <vector>

#include "host/app/command_table.h"

namespace host {

namespace {

// One place on the command line: the tool's first word, the word that leads to several commands
// ("package"), or a whole command; what may be typed there.
struct Level {
    std::string path;
    std::vector<const OptionSpec *> options;
    std::vector<std::pair<std::string, std::string>> words;  // and what each is
    bool files = false;                                      // its arguments are files
};

std::string joined(const std::vector<std::string> &words, const char *between) {
    std::string out;
    for (const std::string &w : words) {
        out += (out.empty() ? "" : between) + w;
    }
    return out;
}

std::vector<const OptionSpec *> options_in(const std::vector<GroupUse> &groups) {
    std::vector<const OptionSpec *> all;
    for (const ShownGroup &g : options_of(groups)) {
        all.insert(all.end(), g.options.begin(), g.options.end());
    }
    return all;
}

std::string what_leads(const std::string &path) {
    if (const CommandSpec *c = find_command(path)) {
        return c->summary;
    }
    return path + " " + joined(next_command_words(path), "|");
}

Level level_of(const std::string &path) {
    Level l;
    l.path = path;
    if (const CommandSpec *c = find_command(path)) {
        l.options = options_in(c->groups);
        for (const ArgumentSpec &a : c->arguments) {
            l.files = l.files || a.value == Value::File;
            for (const std::string &w : a.words) {
                if (a.value == Value::Word) {
                    l.words.push_back({w, a.help});
                }
            }
        }
        return l;
    }
    if (path.empty()) {
        l.options = options_in(flag_form_groups());
        l.files = true;
    }
    for (const std::string &w : next_command_words(path)) {
        const std::string sub = path.empty() ? w : path + " " + w;
        l.words.push_back({w, what_leads(sub)});
    }
    return l;
}

// Every level, the tool's first word first.
std::vector<Level> levels() {
    std::vector<Level> all;
    std::vector<std::string> paths = {""};
    for (size_t i = 0; i < paths.size(); i++) {
        all.push_back(level_of(paths[i]));
        if (find_command(paths[i]) == nullptr) {
            for (const std::string &w : next_command_words(paths[i])) {
                paths.push_back(paths[i].empty() ? w : paths[i] + " " + w);
            }
        }
    }
    return all;
}

// Options with a value, by what their value completes to.
struct ValueKinds {
    std::vector<std::pair<std::string, std::vector<std::string>>> words;
    std::vector<std::string> files;
    std::vector<std::string> others;
};

ValueKinds value_kinds() {
    ValueKinds k;
    for (const OptionSpec *s : all_options()) {
        if (s->value == Value::None) {
            continue;
        }
        if (!s->words.empty()) {
            k.words.push_back({s->name, s->words});
        } else if (s->value == Value::File) {
            k.files.push_back(s->name);
        } else {
            k.others.push_back(s->name);
        }
    }
    return k;
}

std::vector<std::string> names_of(const Level &l) {
    std::vector<std::string> names;
    for (const OptionSpec *s : l.options) {
        names.push_back(s->name);
    }
    names.push_back("--help");
    if (l.path.empty()) {
        names.push_back("--version");
    }
    return names;
}

std::vector<std::string> first_words(const Level &l) {
    std::vector<std::string> words;
    for (const auto &w : l.words) {
        words.push_back(w.first);
    }
    return words;
}

// Text inside single quotes of a POSIX shell.
std::string sh_quoted(const std::string &text) {
    std::string out = "'";
    for (char ch : text) {
        out += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
    }
    return out + "'";
}

std::string bash_script() {
    const ValueKinds kinds = value_kinds();
    std::string out =
        "# bash completion for hidiap, made by 'hidiap completion bash' from the tool's own\n"
        "# command table.\n\n"
        "_hidiap_words() {\n"
        "    local word\n"
        "    while IFS= read -r word; do\n"
        "        COMPREPLY+=(\"$word\")\n"
        "    done < <(compgen -W \"$1\" -- \"$cur\")\n"
        "}\n\n"
        "_hidiap_files() {\n"
        "    if declare -F _filedir >/dev/null; then\n"
        "        _filedir\n"
        "    else\n"
        "        compopt -o filenames 2>/dev/null\n"
        "        local file\n"
        "        while IFS= read -r file; do\n"
        "            COMPREPLY+=(\"$file\")\n"
        "        done < <(compgen -f -- \"$cur\")\n"
        "    fi\n"
        "}\n\n"
        "# Completes the value of the option $1; false when it takes none.\n"
        "_hidiap_value() {\n"
        "    case $1 in\n";
    for (const auto &[name, words] : kinds.words) {
        out += "        " + name + ") _hidiap_words " + sh_quoted(joined(words, " ")) + " ;;\n";
    }
    out += "        " + joined(kinds.files, "|") + ") _hidiap_files ;;\n";
    out += "        " + joined(kinds.others, "|") + ") ;;\n";
    out +=
        "        *) return 1 ;;\n"
        "    esac\n"
        "}\n\n"
        "_hidiap() {\n"
        "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
        "    COMPREPLY=()\n"
        "    # The command typed so far: its words, from the first on.\n"
        "    local path= next i=1\n"
        "    while [ \"$i\" -lt \"$COMP_CWORD\" ]; do\n"
        "        next=${path:+$path }${COMP_WORDS[i]}\n"
        "        case $next in\n";
    std::vector<std::string> paths;
    for (const Level &l : levels()) {
        if (!l.path.empty()) {
            paths.push_back(sh_quoted(l.path));
        }
    }
    out += "            " + joined(paths, "|") + ") path=$next ;;\n";
    out +=
        "            *) break ;;\n"
        "        esac\n"
        "        i=$((i + 1))\n"
        "    done\n"
        "    if _hidiap_value \"$prev\"; then\n"
        "        return 0\n"
        "    fi\n"
        "    local options= words= files=\n"
        "    case $path in\n";
    for (const Level &l : levels()) {
        out += "        " + sh_quoted(l.path) + ")";
        out += " options=" + sh_quoted(joined(names_of(l), " "));
        if (!l.words.empty()) {
            out += " words=" + sh_quoted(joined(first_words(l), " "));
        }
        if (l.files) {
            out += " files=1";
        }
        out += " ;;\n";
    }
    out +=
        "    esac\n"
        "    if [[ $cur == -* ]]; then\n"
        "        _hidiap_words \"$options\"\n"
        "        return 0\n"
        "    fi\n"
        "    [ -n \"$words\" ] && _hidiap_words \"$words\"\n"
        "    [ -n \"$files\" ] && _hidiap_files\n"
        "    return 0\n"
        "}\n\n"
        "complete -F _hidiap hidiap\n";
    return out;
}

// Text inside the brackets of an _arguments description, itself inside single quotes.
std::string zsh_described(const std::string &text) {
    std::string out;
    for (char ch : text) {
        if (ch == '[' || ch == ']' || ch == ':' || ch == '\\') {
            out += '\\';
        }
        out += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
    }
    return out;
}

std::string zsh_function_name(const std::string &path) {
    std::string name = path.empty() ? "_hidiap" : "_hidiap_";
    for (char ch : path) {
        name += ch == ' ' ? '_' : ch;
    }
    return name;
}

std::string zsh_option_spec(const OptionSpec &s) {
    const bool repeatable = std::holds_alternative<TextsField>(s.field);
    std::string described = (repeatable ? "*" : "") + s.name + "[" + zsh_described(s.help) + "]";
    if (s.value != Value::None) {
        std::string action = " ";
        if (!s.words.empty()) {
            action = "(" + joined(s.words, " ") + ")";
        } else if (s.value == Value::File) {
            action = "_files";
        }
        described += ":" + zsh_described(s.value_name) + ":" + action;
    }
    return "'" + described + "'";
}

std::string zsh_level(const Level &l) {
    std::string out = zsh_function_name(l.path) + "() {\n";
    const bool command = l.path.empty() || find_command(l.path) != nullptr;
    if (!command) {
        // A word that leads to several commands: which one, then that command's own.
        out += "    if (( CURRENT == 2 )); then\n        local -a commands=(";
        for (const auto &[word, what] : l.words) {
            out += " " + sh_quoted(word + ":" + what);
        }
        out += " )\n        _describe -t commands 'hidiap " + l.path +
               " command' commands\n        return\n    fi\n";
        out += "    local sub=$words[2]\n    shift words\n    (( CURRENT-- ))\n";
        out += "    case $sub in\n";
        for (const auto &word : l.words) {
            out += "        " + word.first + ") " + zsh_function_name(l.path + " " + word.first) +
                   " ;;\n";
        }
        return out + "    esac\n}\n\n";
    }
    if (l.path.empty()) {
        out += "    if (( CURRENT == 2 )) && [[ $words[2] != -* ]]; then\n";
        out += "        local -a commands=(";
        for (const auto &[word, what] : l.words) {
            out += " " + sh_quoted(word + ":" + what);
        }
        out += " )\n        _describe -t commands 'hidiap command' commands\n";
        out += "        _files\n        return\n    fi\n";
        out += "    case $words[2] in\n";
        for (const auto &word : l.words) {
            out += "        " + word.first + ") shift words; (( CURRENT-- )); " +
                   zsh_function_name(word.first) + "; return ;;\n";
        }
        out += "    esac\n";
    }
    out += "    _arguments -s";
    for (const OptionSpec *s : l.options) {
        out += " \\\n        " + zsh_option_spec(*s);
    }
    out += " \\\n        '(- *)'{-h,--help}'[show the help]'";
    if (l.path.empty()) {
        out += " \\\n        '(- *)--version[show the version]'";
    }
    if (!l.words.empty() && !l.path.empty()) {
        out +=
            " \\\n        '1:" + l.words.front().second + ":(" + joined(first_words(l), " ") + ")'";
    } else if (l.files) {
        out += " \\\n        '*:file:_files'";
    }
    return out + "\n}\n\n";
}

std::string zsh_script() {
    std::string out =
        "#compdef hidiap\n"
        "# zsh completion for hidiap, made by 'hidiap completion zsh' from the tool's own\n"
        "# command table.\n\n";
    std::vector<Level> all = levels();
    // Each function is defined before the first that calls it is run; the tool's own last.
    for (size_t i = all.size(); i-- > 0;) {
        out += zsh_level(all[i]);
    }
    return out + "_hidiap \"$@\"\n";
}

// Text inside single quotes of fish.
std::string fish_quoted(const std::string &text) {
    std::string out = "'";
    for (char ch : text) {
        if (ch == '\'' || ch == '\\') {
            out += '\\';
        }
        out += ch;
    }
    return out + "'";
}

std::string fish_script() {
    std::vector<std::string> paths;
    for (const Level &l : levels()) {
        if (!l.path.empty()) {
            paths.push_back(fish_quoted(l.path));
        }
    }
    std::string out =
        "# fish completion for hidiap, made by 'hidiap completion fish' from the tool's own\n"
        "# command table.\n\n"
        "# The command typed so far: its words, from the first on.\n"
        "function __hidiap_path\n"
        "    set -l words (commandline -opc)\n"
        "    set -l path ''\n"
        "    for word in $words[2..-1]\n"
        "        set -l next (string trim -- \"$path $word\")\n"
        "        if contains -- $next " +
        joined(paths, " ") +
        "\n"
        "            set path $next\n"
        "        else\n"
        "            break\n"
        "        end\n"
        "    end\n"
        "    echo $path\n"
        "end\n\n"
        "function __hidiap_at\n"
        "    set -l path (__hidiap_path)\n"
        "    test \"$path\" = \"$argv\"\n"
        "end\n\n"
        "complete -c hidiap -f\n";
    for (const Level &l : levels()) {
        const std::string at =
            "complete -c hidiap -n " + fish_quoted("__hidiap_at " + sh_quoted(l.path));
        for (const auto &[word, what] : l.words) {
            out += at + " -a " + fish_quoted(word) + " -d " + fish_quoted(what) + "\n";
        }
        if (l.files) {
            out += at + " -F\n";
        }
        for (const OptionSpec *s : l.options) {
            out += at + " -l " + s->name.substr(2);
            if (!s->words.empty()) {
                out += " -x -a " + fish_quoted(joined(s->words, " "));
            } else if (s->value == Value::File) {
                out += " -r -F";
            } else if (s->value != Value::None) {
                out += " -x";
            }
            out += " -d " + fish_quoted(s->help) + "\n";
        }
        out += at + " -s h -l help -d 'show the help'\n";
        if (l.path.empty()) {
            out += at + " -l version -d 'show the version'\n";
        }
    }
    return out;
}

}  // namespace

std::string completion_script(const std::string &shell) {
    if (shell == "bash") {
        return bash_script();
    }
    if (shell == "zsh") {
        return zsh_script();
    }
    if (shell == "fish") {
        return fish_script();
    }
    return "";
}

}  // namespace host
