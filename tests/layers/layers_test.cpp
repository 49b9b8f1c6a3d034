// The layers hold both ways: an include that goes up, or skips a layer, fails here even when it
// builds (a folder's links pass its libraries on to whoever links it). The one table of what each
// folder may use is src/layers.txt; docs/architecture.md quotes it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
const fs::path kSource = HIDIAP_SOURCE_DIR;

using Table = std::map<std::string, std::set<std::string>>;

std::string read(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The table's rows: FOLDER followed by the folders it may use ("-" for none).
Table parse_table(const std::string &text) {
    Table table;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::istringstream words(line);
        std::string folder;
        words >> folder;
        std::set<std::string> &uses = table[folder];
        for (std::string use; words >> use;) {
            if (use != "-") {
                uses.insert(use);
            }
        }
    }
    return table;
}

// The layer a path below src/ belongs to: its first folder, or its first two below host/.
std::string layer_of(const std::string &path) {
    const size_t first = path.find('/');
    if (first == std::string::npos) {
        return "";
    }
    if (path.compare(0, first, "host") != 0) {
        return path.substr(0, first);
    }
    const size_t second = path.find('/', first + 1);
    return second == std::string::npos ? "" : path.substr(0, second);
}

struct Include {
    std::string file;  // below src/
    int line;
    std::string header;
};

// Every project include ("folder/header.h") of every source file below src/.
std::vector<Include> project_includes(const fs::path &src) {
    static const std::regex include(R"re(^\s*#\s*include\s+"([^"]+/[^"]+)")re");
    std::vector<Include> found;
    for (const auto &entry : fs::recursive_directory_iterator(src)) {
        const std::string ext = entry.path().extension().string();
        if (!entry.is_regular_file() || (ext != ".h" && ext != ".cpp" && ext != ".c")) {
            continue;
        }
        const std::string file = fs::relative(entry.path(), src).generic_string();
        std::istringstream lines(read(entry.path()));
        int n = 0;
        for (std::string line; std::getline(lines, line);) {
            n++;
            std::smatch m;
            if (std::regex_search(line, m, include)) {
                found.push_back({file, n, m[1]});
            }
        }
    }
    return found;
}

// The includes the table does not allow, as "FILE:LINE includes HEADER (LAYER may use ...)".
std::vector<std::string> refused(const Table &table, const std::vector<Include> &includes) {
    std::vector<std::string> out;
    for (const Include &inc : includes) {
        const std::string from = layer_of(inc.file);
        const std::string to = layer_of(inc.header);
        if (to.empty() || from == to) {
            continue;
        }
        const auto row = table.find(from);
        if (row == table.end()) {
            out.push_back(inc.file + ": the folder " + from + " is not in the table");
            continue;
        }
        if (table.count(to) != 0 && row->second.count(to) == 0) {
            out.push_back(inc.file + ":" + std::to_string(inc.line) + " includes " + inc.header +
                          ", but " + from + " may not use " + to);
        }
    }
    return out;
}

TEST(Layers, EveryIncludeIsAllowedByTheTable) {
    const Table table = parse_table(read(kSource / "src" / "layers.txt"));
    ASSERT_GT(table.size(), 20u);
    for (const std::string &problem : refused(table, project_includes(kSource / "src"))) {
        ADD_FAILURE() << problem;
    }
}

TEST(Layers, EveryFolderOfSourceHasARowAndEveryUseIsAFolder) {
    const Table table = parse_table(read(kSource / "src" / "layers.txt"));
    std::set<std::string> folders;
    for (const Include &inc : project_includes(kSource / "src")) {
        folders.insert(layer_of(inc.file));
    }
    for (const std::string &f : folders) {
        EXPECT_EQ(table.count(f), 1u) << f << " has no row in src/layers.txt";
    }
    for (const auto &[folder, uses] : table) {
        EXPECT_TRUE(fs::is_directory(kSource / "src" / folder)) << folder;
        for (const std::string &use : uses) {
            EXPECT_EQ(table.count(use), 1u) << folder << " uses " << use << ", which has no row";
        }
    }
}

TEST(Layers, ASkipLayerIncludeIsRefused) {
    // The station may use the update layer, not the inputs below it.
    const Table table = parse_table(
        "host/station host/update\nhost/update host/inputs\n"
        "host/inputs -\n");
    const std::vector<Include> skip = {{"host/station/station.h", 7, "host/inputs/plan.h"}};
    const std::vector<Include> direct = {{"host/station/station.h", 7, "host/update/run.h"}};
    EXPECT_EQ(refused(table, skip).size(), 1u);
    EXPECT_TRUE(refused(table, direct).empty());
}

TEST(Layers, ArchitectureQuotesTheTable) {
    const std::string doc = read(kSource / "docs" / "architecture.md");
    std::istringstream rows(read(kSource / "src" / "layers.txt"));
    for (std::string row; std::getline(rows, row);) {
        if (!row.empty() && row[0] != '#') {
            EXPECT_NE(doc.find(row + "\n"), std::string::npos)
                << "docs/architecture.md does not quote: " << row;
        }
    }
}

}  // namespace
