#include "host/app/command_help.h"

#include <vector>

#include "host/app/command_table.h"
#include "host/app/version.h"

namespace host {

namespace {

constexpr size_t kWidth = 100;
constexpr size_t kNameColumn = 26;  // where an option's or argument's help begins

// Words of `text` in lines of at most kWidth columns; the first line starts after `first`
// (already written, padded to `indent`), the others at `indent`.
std::string wrapped(const std::string &first, const std::string &text, size_t indent) {
    std::string out = first;
    size_t column = first.size();
    if (column > indent) {
        out += "\n";
        column = 0;
    }
    out.append(indent - column, ' ');
    column = indent;
    size_t at = 0;
    bool line_empty = true;
    while (at < text.size()) {
        const size_t end = std::min(text.find(' ', at), text.size());
        const std::string word = text.substr(at, end - at);
        if (!line_empty && column + 1 + word.size() > kWidth) {
            out += "\n" + std::string(indent, ' ');
            column = indent;
            line_empty = true;
        }
        if (!line_empty) {
            out += ' ';
            column++;
        }
        out += word;
        column += word.size();
        line_empty = false;
        at = end + 1;
    }
    return out + "\n";
}

std::string entry(const std::string &name, const std::string &help) {
    return wrapped("  " + name, help, kNameColumn);
}

std::string paragraph(const std::string &text) {
    return wrapped("", text, 0);
}

struct ExitStatus {
    const char *status;
    const char *meaning;
};

const ExitStatus kExitStatuses[] = {
    {"0",
     "success: every range verified by CRC-32 and the reboot answered, on every device "
     "(verify: the flash holds the files; list: a device was listed; station: every board "
     "updated or current; package show: it would run here)"},
    {"1",
     "the update failed on a device: time-out, refusal, checksum mismatch, disconnected "
     "(verify: a range differs)"},
    {"2",
     "bad command line, unusable inputs, a refused package or record destination: "
     "nothing was sent"},
    {"3", "no matching device was found, or the HID library could not start"},
    {"4", "a device matched but could not be opened: permissions"},
    {"70", "internal error: a fault of the program itself, said on standard error"},
    {"130", "interrupted (Ctrl-C)"},
    {"143", "terminated (SIGTERM)"},
};

std::string synopsis_of(const CommandSpec &c) {
    return c.path + (c.synopsis.empty() ? "" : " " + c.synopsis);
}

}  // namespace

std::string command_usage(const std::string &path) {
    if (path.empty()) {
        return "hidiap [OPTIONS] IMAGE TTS TOKEN";
    }
    if (const CommandSpec *c = find_command(path)) {
        return "hidiap " + c->path + " [OPTIONS]" + (c->synopsis.empty() ? "" : " " + c->synopsis);
    }
    std::string words;
    for (const std::string &w : next_command_words(path)) {
        words += (words.empty() ? "" : "|") + w;
    }
    return "hidiap " + path + " " + words + " ...";
}

std::string tool_help() {
    std::string out = paragraph(
        "hidiap " HIDIAP_VERSION
        " updates the flash of a USB HID device that reprograms itself on command (vendor "
        "0x9999, product 0x8888): it erases and programs IMAGE and TTS, has the device verify "
        "both by CRC-32 and reboots it.");
    out += "\nUsage: hidiap COMMAND [OPTIONS] [ARGUMENTS]   (hidiap COMMAND --help: its options)\n";
    out += "\nCommands:\n";
    for (const CommandSpec &c : commands()) {
        out += wrapped("  " + synopsis_of(c), c.summary, 37);
    }
    out += "\n";
    out += paragraph(
        "hidiap [OPTIONS] IMAGE TTS TOKEN | PACKAGE updates as before, with every option and "
        "the older commands: --verify, --station, --list, --make-package, --make-key, "
        "--record-setup.");
    out += "Without a device: hidiap update --simulate --sim-fault drop:page:3 IMAGE TTS 1MB\n";
    out += "\nExit status:\n";
    for (const ExitStatus &s : kExitStatuses) {
        std::string status = std::string("  ") + s.status;
        status.append(7 - status.size(), ' ');
        out += wrapped(status, s.meaning, 7);
    }
    out += "\n";
    out += paragraph(
        "-h, --help: this help; after a command, that command's. --version: the version. The "
        "reference of every command, option and exit status: man hidiap; the user guide: the "
        "README and docs/ (installed in /usr/share/doc/hidiap).");
    return out;
}

std::string command_help(const std::string &path) {
    const CommandSpec *c = find_command(path);
    if (c == nullptr) {
        std::string out = "Usage: " + command_usage(path) + "\n\nCommands:\n";
        for (const std::string &w : next_command_words(path)) {
            const CommandSpec *sub = find_command(path + " " + w);
            out += wrapped("  " + synopsis_of(*sub), sub->summary, 37);
        }
        return out + "\nhidiap " + path + " COMMAND --help: that command's options.\n";
    }
    std::string out = "Usage: " + command_usage(path) + "\n\n" + paragraph(c->about);
    if (!c->arguments.empty()) {
        out += "\nArguments:\n";
        for (const ArgumentSpec &a : c->arguments) {
            out += entry(a.name, a.help);
        }
    }
    for (const ShownGroup &g : options_of(c->groups)) {
        out += "\n" + g.title + ":\n";
        for (const OptionSpec *s : g.options) {
            out += entry(s->name + (s->value_name.empty() ? "" : " " + s->value_name), s->help);
        }
    }
    return out + "\n-h, --help: this help. The reference: man hidiap, COMMANDS.\n";
}

}  // namespace host
