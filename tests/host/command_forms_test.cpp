// The command line's two forms: every command line the README showed before there were commands
// still runs and ends as it did, and prints on standard output exactly what the command that
// replaces it prints. Then what the commands add: each one's help, suggestions for what was
// mistyped, and the refusals of empty values.
#include <signal.h>

#include <algorithm>
#include <regex>
#include <sstream>

#include "shown_commands.h"
#include "tool_fixture.h"

namespace {

struct Form {
    const char *older;
    const char *command;  // the same with a command; "" when it has none of its own
    int exit_status;
    // Boards that come back after their reboot are seen again or not, as the threads go: the
    // lines of two runs differ then.
    bool same_lines = true;
};

// In the README's order; the files are make_page_files' and the earlier lines'.
const Form kReadmeForms[] = {
    {"hidiap --make-package fw-1.4.2.zip --fw-version 1.4.2 --vid 9999 --pid 8888 --product "
     "\"Simulated IAP device\" firmware.hex tts.bin 1MB",
     "hidiap package make fw-1.4.2.zip --fw-version 1.4.2 --vid 9999 --pid 8888 --product "
     "\"Simulated IAP device\" firmware.hex tts.bin 1MB",
     0},
    {"hidiap fw-1.4.2.zip", "hidiap update fw-1.4.2.zip", 0},
    {"hidiap --make-key acme", "", 0},
    {"hidiap --make-package fw-1.4.2.zip --fw-version 1.4.2 --product \"Acme board\" --sign "
     "acme.key firmware.hex tts.bin 1MB",
     "hidiap package make fw-1.4.2.zip --fw-version 1.4.2 --product \"Acme board\" --sign "
     "acme.key firmware.hex tts.bin 1MB",
     0},
    // Signed for "Acme board": the simulated device, another product, is not updated.
    {"hidiap --trust acme.pub fw-1.4.2.zip", "hidiap update --trust acme.pub fw-1.4.2.zip", 1},
    {"hidiap firmware.bin tts.bin 1MB", "hidiap update firmware.bin tts.bin 1MB", 0},
    {"hidiap --dry-run firmware.bin tts.bin 1MB",
     "hidiap update --dry-run firmware.bin tts.bin 1MB", 0},
    {"hidiap --no-wait firmware.bin tts.bin 2MB",
     "hidiap update --no-wait firmware.bin tts.bin 2MB", 0},
    {"hidiap --json --no-wait firmware.bin tts.bin 1MB > events.jsonl", "", 0},
    {"hidiap --simulate firmware.bin tts.bin 1MB",
     "hidiap update --simulate firmware.bin tts.bin 1MB", 0},
    {"hidiap --simulate --sim-devices 3 --all --sim-fault SIM0002/drop:page:3 image.bin tts.bin "
     "1MB",
     "hidiap update --simulate --sim-devices 3 --all --sim-fault SIM0002/drop:page:3 image.bin "
     "tts.bin 1MB",
     1},
    {"hidiap --simulate --station --count 5 --sim-arrivals 0,400,800x3 --sim-reboot-away 300 "
     "--record station.jsonl image.bin tts.bin 1MB",
     "hidiap station --simulate --count 5 --sim-arrivals 0,400,800x3 --sim-reboot-away 300 "
     "--record station.jsonl image.bin tts.bin 1MB",
     0, false},
    {"hidiap --record-setup postgresql://lineowner@db.example/line",
     "hidiap records setup postgresql://lineowner@db.example/line", 2},
    {"hidiap --station --record postgresql://station@db.example/line --station-name bench-3 "
     "image.bin tts.bin 1MB",
     "hidiap station --record postgresql://station@db.example/line --station-name bench-3 "
     "image.bin tts.bin 1MB",
     0},
    {"hidiap --verify image.bin tts.bin 1MB", "hidiap verify image.bin tts.bin 1MB", 1},
    {"hidiap --simulate --sim-fault drop:page:3 image.bin tts.bin 1MB",
     "hidiap update --simulate --sim-fault drop:page:3 image.bin tts.bin 1MB", 1},
    {"hidiap --list --vid 0 --pid 0", "hidiap list --vid 0 --pid 0", 0},
};

// The lines in order: boards of a station come to their ends in any order.
std::string sorted_lines(const std::string &text) {
    std::istringstream in(text);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) {
        lines.push_back(l);
    }
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (const std::string &l : lines) {
        out += l + "\n";
    }
    return out;
}

std::string without_last_column(const std::string &text) {
    std::istringstream in(text);
    std::string out;
    for (std::string l; std::getline(in, l);) {
        out += l.substr(0, l.rfind('\t')) + "\n";
    }
    return out;
}

class CommandForms : public Tool {
  protected:
    void SetUp() override {
        Tool::SetUp();
        test_support::make_page_files(dir);
    }
    ProcessResult shown(const std::string &line) const {
        return test_support::run_shown(line, kTool, dir);
    }
    ProcessResult tool(std::vector<std::string> args, const ProcessOptions &options = {}) const {
        return run_process(kTool, args, options);
    }
};

}  // namespace

TEST_F(CommandForms, TheReadmesOlderLinesRunAsBeforeAndPrintWhatTheirCommandsPrint) {
    for (const Form &f : kReadmeForms) {
        SCOPED_TRACE(f.older);
        const ProcessResult older = shown(f.older);
        EXPECT_EQ(older.exit_status, f.exit_status) << older.err;
        if (*f.command == '\0') {
            continue;
        }
        const ProcessResult command = shown(f.command);
        EXPECT_EQ(command.exit_status, f.exit_status) << command.err;
        if (f.same_lines) {
            // The list command adds the port path as a last column; --list keeps its six.
            std::string out = command.out;
            if (std::string(f.command).rfind("hidiap list", 0) == 0) {
                out = without_last_column(out);
            }
            EXPECT_EQ(sorted_lines(out), sorted_lines(older.out));
        }
    }
}

TEST_F(CommandForms, HelpFitsOneScreenAndEachCommandsHelpEndsWithTheSimulation) {
    const ProcessResult help = tool({"--help"});
    EXPECT_EQ(help.exit_status, 0);
    EXPECT_LE(std::count(help.out.begin(), help.out.end(), '\n'), 40);
    for (const char *command :
         {"update", "verify", "station", "list", "package make", "package show", "key make",
          "records setup", "completion", "package"}) {
        SCOPED_TRACE(command);
        EXPECT_NE(help.out.find(std::string("\n  ") + command), std::string::npos);
        std::vector<std::string> args;
        std::istringstream words(command);
        for (std::string w; words >> w;) {
            args.push_back(w);
        }
        args.push_back("--help");
        const ProcessResult own = tool(args);
        EXPECT_EQ(own.exit_status, 0);
        EXPECT_EQ(own.out.rfind("Usage: hidiap " + std::string(command), 0), 0u) << own.out;
        const size_t simulation = own.out.find("\nSimulation:\n");
        if (simulation != std::string::npos) {
            EXPECT_EQ(own.out.find(":\n  --", simulation + 13), std::string::npos)
                << "a group after the simulation's";
        }
        std::istringstream lines(own.out);
        for (std::string l; std::getline(lines, l);) {
            EXPECT_LE(l.size(), 100u) << l;
        }
    }
    for (std::istringstream lines(help.out); !lines.eof();) {
        std::string l;
        std::getline(lines, l);
        EXPECT_LE(l.size(), 100u) << l;
    }
}

TEST_F(CommandForms, WhatWasMistypedGetsTheNearestSuggestedAndNothingIsSent) {
    struct Case {
        std::vector<std::string> args;
        std::string said;
    };
    const Case cases[] = {
        {{"statoin"}, "'statoin' is neither a file nor a command; did you mean 'hidiap station'?"},
        {{"lsit", "--simulate"}, "did you mean 'hidiap list'?"},
        {{"station", "--cont", "3", "image.bin", "tts.bin", "1MB"},
         "station: unknown option '--cont'; did you mean '--count'?"},
        {{"--simulate", "--skip-unchnged", "image.bin", "tts.bin", "1MB"},
         "unknown option '--skip-unchnged'; did you mean '--skip-unchanged'?"},
        {{"package", "mak", "out.zip"},
         "unknown command 'mak'; did you mean 'hidiap package make'?"},
        // Not close to anything: said so, without a guess.
        {{"missing.zip"}, "'missing.zip' is neither a file nor a command (hidiap --help lists"},
        {{"update", "--simulate", "missing.zip"},
         "'missing.zip' is not a file: give IMAGE TTS TOKEN, or a firmware package"},
        // A zip archive that is no package says why, not that a TTS file is missing.
        {{"--simulate", "empty.zip"}, "package '" + path("empty.zip") + "' refused"},
        {{"--simulate", "prefixed.zip"}, "refused: the archive has no member 'package.json'"},
    };
    // A zip archive's end record alone (no member), and after other data.
    const std::string end_record = std::string("PK\x05\x06", 4) + std::string(18, '\0');
    std::ofstream(path("empty.zip"), std::ios::binary) << end_record;
    std::ofstream(path("prefixed.zip"), std::ios::binary) << std::string(100, 'x') + end_record;
    for (const Case &c : cases) {
        std::vector<std::string> args;
        for (const std::string &a : c.args) {
            args.push_back(fs::exists(path(a)) ? path(a) : a);
        }
        SCOPED_TRACE(args.front());
        const ProcessResult r = tool(args);
        EXPECT_EQ(r.exit_status, 2);
        EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("TTS is required"), std::string::npos) << r.err;
        EXPECT_EQ(r.out.find("[IAP]"), std::string::npos);
    }
    // A first word that is a command is the command, even beside a file of that name.
    write_file("list", image);
    const ProcessResult listed = run_process(
        "/bin/sh", {"-c", "cd '" + dir.string() + "' && '" + kTool + "' list --simulate"});
    EXPECT_EQ(listed.exit_status, 0) << listed.err;
    EXPECT_NE(listed.out.find("sim:1\t9999:8888\tSIM0001"), std::string::npos) << listed.out;
}

// Every option of every command that takes a value, found in the commands' help (so that an
// option added later is tried too): an empty value is refused, never taken for the option left
// out, and nothing is done.
TEST_F(CommandForms, AnEmptyValueIsRefusedForEveryOptionOfEveryCommand) {
    const std::regex valued(R"(^  (--[a-z-]+) [A-Z|]+)");
    struct Command {
        std::vector<std::string> words;
        std::vector<std::string> arguments;
    };
    const Command commands[] = {
        {{"update"}, {"image.bin", "tts.bin", "1MB"}},
        {{"verify"}, {"image.bin", "tts.bin", "1MB"}},
        {{"station"}, {"image.bin", "tts.bin", "1MB"}},
        {{"list"}, {}},
        {{"package", "make"}, {"out.zip", "image.bin", "tts.bin", "1MB"}},
        {{"package", "show"}, {"out.zip"}},
        {{"key", "make"}, {"newkey"}},
        {{}, {"image.bin", "tts.bin", "1MB"}},  // the older form: every option
    };
    size_t tried = 0;
    for (const Command &c : commands) {
        std::vector<std::string> help_args = c.words;
        help_args.push_back("--help");
        std::string help = tool(help_args).out;
        if (c.words.empty()) {
            // The form without a command takes every option of every command.
            for (const char *each : {"update", "station", "package make", "key make"}) {
                std::vector<std::string> a;
                std::istringstream w(each);
                for (std::string x; w >> x;) {
                    a.push_back(x);
                }
                a.push_back("--help");
                help += tool(a).out;
            }
            help += "  --make-package OUT\n  --make-key NAME\n  --record-setup URI\n";
        }
        std::istringstream lines(help);
        for (std::string l; std::getline(lines, l);) {
            std::smatch m;
            if (!std::regex_search(l, m, valued)) {
                continue;
            }
            std::vector<std::string> args = c.words;
            args.insert(args.end(), {"--simulate", m[1], ""});
            if (c.words.empty() || c.words[0] == "package" || c.words[0] == "key") {
                args.erase(std::find(args.begin(), args.end(), "--simulate"));
            }
            for (const std::string &a : c.arguments) {
                args.push_back(path(a));
            }
            SCOPED_TRACE(l);
            const ProcessResult r = tool(args);
            tried++;
            EXPECT_EQ(r.exit_status, 2);
            EXPECT_NE(r.err.find(std::string(m[1]) + ": the "), std::string::npos) << r.err;
            EXPECT_NE(r.err.find("is empty"), std::string::npos) << r.err;
            EXPECT_EQ(r.out.find("[IAP]"), std::string::npos);
            EXPECT_FALSE(fs::exists(path("out.zip")));
            EXPECT_FALSE(fs::exists(path("newkey.key")));
        }
    }
    EXPECT_GE(tried, 60u);
    // The commands' own arguments too.
    const ProcessResult out =
        tool({"package", "make", "", path("image.bin"), path("tts.bin"), "1MB"});
    EXPECT_EQ(out.exit_status, 2);
    EXPECT_NE(out.err.find("OUT: the OUT is empty"), std::string::npos) << out.err;
}

TEST_F(CommandForms, NumbersMustBeFiniteAndInRange) {
    for (const char *wait : {"nan", "inf", "-1", "86401"}) {
        const ProcessResult r =
            tool({"--simulate", "--wait", wait, path("image.bin"), path("tts.bin"), "1MB"});
        EXPECT_EQ(r.exit_status, 2) << wait;
        EXPECT_NE(r.err.find(std::string("--wait: '") + wait + "' is not a number from 0 to 86400"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(r.out.find("[IAP]"), std::string::npos) << wait;
    }
}
