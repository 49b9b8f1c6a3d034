// The man page is the one reference: each command's section lists exactly the options of its
// --help, every option the page describes is taken by a command, and the exit statuses of the
// tool's help are the page's.
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "tool_fixture.h"

namespace {

std::string man_page() {
    std::ifstream in(std::string(HIDIAP_SOURCE_DIR) + "/docs/hidiap.1");
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The section of the page from the line `heading` to the next line starting with `next`.
std::string section(const std::string &text, const std::string &heading, const std::string &next) {
    const std::string page = "\n" + text;
    const size_t start = page.find("\n" + heading + "\n");
    if (start == std::string::npos) {
        return "";
    }
    const size_t body = start + heading.size() + 2;
    const size_t end = page.find("\n" + next, body);
    return page.substr(body, end == std::string::npos ? std::string::npos : end - body);
}

std::set<std::string> roff_options(const std::string &text) {
    std::set<std::string> found;
    static const std::regex option(R"(\\-\\-([a-z](?:[a-z]|\\-)*))");
    for (std::sregex_iterator it(text.begin(), text.end(), option), end; it != end; ++it) {
        found.insert("--" + std::regex_replace(std::string((*it)[1]), std::regex(R"(\\-)"), "-"));
    }
    return found;
}

// The options a --help lists: its lines "  --name ..." (the help flag itself aside).
std::set<std::string> help_options(const std::string &help) {
    std::set<std::string> found;
    std::istringstream lines(help);
    static const std::regex entry(R"(^  (--[a-z-]+))");
    for (std::string l; std::getline(lines, l);) {
        std::smatch m;
        if (std::regex_search(l, m, entry)) {
            found.insert(m[1]);
        }
    }
    return found;
}

}  // namespace

TEST_F(Tool, TheManPageListsEachCommandsOptionsAsItsHelpDoesAndDescribesEveryOne) {
    const std::string page = man_page();
    ASSERT_FALSE(page.empty());
    const std::string commands = section(page, ".SH COMMANDS", ".SH ");
    const std::set<std::string> described = roff_options(section(page, ".SH OPTIONS", ".SH "));
    std::set<std::string> taken;
    for (const char *command :
         {"update", "verify", "station", "list", "package make", "package show", "package sign",
          "key make", "records setup", "slots learn", "completion", "job make"}) {
        SCOPED_TRACE(command);
        // The section's "Options:" paragraph, to the next request.
        const std::string own = section(commands, std::string(".SS ") + command, ".SS ");
        ASSERT_FALSE(own.empty());
        const size_t listed = own.find("\nOptions:\n");
        const std::string list = listed == std::string::npos
                                     ? ""
                                     : own.substr(listed, own.find("\n.", listed + 1) - listed);
        std::vector<std::string> args;
        std::istringstream words(command);
        for (std::string w; words >> w;) {
            args.push_back(w);
        }
        args.push_back("--help");
        const std::set<std::string> help = help_options(run_process(kTool, args).out);
        EXPECT_EQ(roff_options(list), help);
        for (const std::string &o : help) {
            EXPECT_TRUE(described.count(o)) << o << " is not described under OPTIONS";
        }
        taken.insert(help.begin(), help.end());
    }
    // And back: what the page describes, a command takes (the older spellings: the form
    // without a command, which the tool's help names).
    const std::string tool_help = run_process(kTool, {"--help"}).out;
    for (const std::string &o : described) {
        EXPECT_TRUE(taken.count(o) || tool_help.find(o) != std::string::npos)
            << o << " is described but no help has it";
    }
    for (const char *status : {"0", "1", "2", "3", "4", "130", "143"}) {
        EXPECT_NE(tool_help.find("\n  " + std::string(status) + " "), std::string::npos) << status;
        EXPECT_NE(section(page, ".SH EXIT STATUS", ".SH ").find(".B " + std::string(status) + "\n"),
                  std::string::npos)
            << status;
    }
}
