// Every command line of the README and the guide (the lines of their ```sh blocks) still runs:
// each hidiap line against the simulated device, in page order in a folder of the page's own,
// with the exit status the page gives it ("# exit N" at its end, else 0). Every other line of a
// sh block is one of the exceptions below, each with why it is not run here, and no hidiap line
// stands outside a sh block, where this test would not see it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <regex>

#include "shown_commands.h"

namespace fs = std::filesystem;

namespace {

struct Exception {
    const char *begins;
    const char *why;
};

const Exception kNotRun[] = {
    {"scripts/run-example.sh", "installs, builds and runs the example itself: the quick start"},
    {"scripts/test.sh", "the whole CI (.ci/run), which runs this test"},
    {"HIDIAP_QUICK=1 scripts/test.sh", "the CI's first stage, which runs this test"},
    {"sudo ", "changes the machine: packages, udev rules, database roles, installing"},
    {"scripts/install-deps.sh", "installs Debian packages"},
    {"cmake ", "the build that made the tool under test"},
    {"ctest ", "runs the suite this test is part of"},
    {"scripts/package.sh", "builds the Debian package; tests/package/run checks it"},
    {"scripts/build-windows.sh", "the Windows build; tests/windows/run checks it under Wine"},
    {"scripts/build-web.sh", "the web build; tests/web/run checks the page in Chromium"},
    {"cd build-web/site", "serves the web page until stopped"},
    {"psql ", "needs the line's database server"},
    {"tests/", "the other checks of scripts/test.sh, each a stage of its own"},
    {"build-release/", "the soak and the benchmarks, stages of scripts/test.sh"},
    {"scripts/bench", "the benchmarks that take minutes"},
    {"scripts/fuzz.sh", "the fuzzers, a stage of scripts/test.sh"},
    {"hidiap.exe ", "the Windows program: tests/windows/run runs it under Wine"},
};

// hidiap lines whose ending here is not the one a reader gets, and why.
struct Ending {
    const char *line;
    int exit_status;
    const char *why;
};

const Ending kEndingHere[] = {
    {"hidiap verify image.bin tts.bin 1MB", 1,
     "every run has a new simulated device, erased: it differs from the files"},
    {"hidiap records setup postgresql://lineowner@db.example/line", 2,
     "db.example is no server here; tests/postgres runs the set-up against a throwaway cluster"},
};

struct Line {
    int number = 0;
    std::string text;
    int exit_status = 0;
};

std::string text_of(const fs::path &path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string trimmed(const std::string &s) {
    const size_t first = s.find_first_not_of(' ');
    const size_t last = s.find_last_not_of(' ');
    return first == std::string::npos ? "" : s.substr(first, last - first + 1);
}

// The lines of the page's sh blocks (continuations joined, "# ..." cut off); a hidiap line in
// any other block goes to `misplaced`.
std::vector<Line> sh_lines(const std::string &page, std::vector<int> &misplaced) {
    std::vector<Line> lines;
    std::istringstream in(page);
    std::string fence;  // the open block's info string; "" outside blocks
    bool open = false;
    int number = 0;
    Line pending;
    for (std::string raw; std::getline(in, raw);) {
        number++;
        if (trimmed(raw).rfind("```", 0) == 0) {
            open = !open;
            fence = open ? trimmed(raw).substr(3) : "";
            continue;
        }
        if (!(open && fence == "sh")) {
            // In another block, or indented as a block of code is (not a line of prose).
            const std::string t = trimmed(raw);
            const bool code = open || raw.rfind("    ", 0) == 0;
            if (code && (t.rfind("hidiap ", 0) == 0 || t.rfind("$ hidiap ", 0) == 0)) {
                misplaced.push_back(number);
            }
            continue;
        }
        if (pending.text.empty()) {
            pending.number = number;
        }
        std::string text = raw;
        const bool continued = !text.empty() && text.back() == '\\';
        if (continued) {
            text.pop_back();
        }
        pending.text += trimmed(text) + (continued ? " " : "");
        if (continued) {
            continue;
        }
        static const std::regex comment(R"(^(.*?)\s+#\s*(.*)$)");
        std::smatch m;
        if (std::regex_match(pending.text, m, comment)) {
            const std::string note = m[2];
            pending.text = m[1];
            if (note.rfind("exit ", 0) == 0) {
                pending.exit_status = std::stoi(note.substr(5));
            }
        }
        if (!pending.text.empty()) {
            lines.push_back(pending);
        }
        pending = Line{};
    }
    return lines;
}

std::vector<fs::path> pages() {
    const fs::path source = HIDIAP_SOURCE_DIR;
    std::vector<fs::path> found = {source / "README.md"};
    std::vector<fs::path> docs;
    for (const auto &entry : fs::directory_iterator(source / "docs")) {
        if (entry.path().extension() == ".md") {
            docs.push_back(entry.path());
        }
    }
    std::sort(docs.begin(), docs.end());
    found.insert(found.end(), docs.begin(), docs.end());
    return found;
}

}  // namespace

TEST(Docs, EveryCommandLineOfTheReadmeAndTheGuideRunsWithTheExitStatusItIsShownWith) {
    size_t run = 0;
    for (const fs::path &page : pages()) {
        SCOPED_TRACE(page.filename().string());
        std::vector<int> misplaced;
        const std::vector<Line> lines = sh_lines(text_of(page), misplaced);
        for (int number : misplaced) {
            ADD_FAILURE() << page.filename() << ":" << number
                          << ": a hidiap line outside a sh block is not run by this test";
        }
        const fs::path dir =
            fs::temp_directory_path() /
            ("hidiap_docs_" + std::to_string(getpid()) + "_" + page.stem().string());
        fs::remove_all(dir);
        test_support::make_page_files(dir);
        for (const Line &line : lines) {
            if (line.text.rfind("hidiap ", 0) != 0) {
                const bool excepted = std::any_of(
                    std::begin(kNotRun), std::end(kNotRun),
                    [&](const Exception &e) { return line.text.rfind(e.begins, 0) == 0; });
                EXPECT_TRUE(excepted) << page.filename() << ":" << line.number
                                      << ": neither a hidiap line nor an exception: " << line.text;
                continue;
            }
            int expected = line.exit_status;
            for (const Ending &e : kEndingHere) {
                if (line.text == e.line) {
                    expected = e.exit_status;
                }
            }
            const test_support::ProcessResult r =
                test_support::run_shown(line.text, HIDIAP_TOOL_PATH, dir);
            run++;
            EXPECT_EQ(r.exit_status, expected)
                << page.filename() << ":" << line.number << ": " << line.text << "\n"
                << r.err;
        }
        fs::remove_all(dir);
    }
    EXPECT_GE(run, 30u);
}
