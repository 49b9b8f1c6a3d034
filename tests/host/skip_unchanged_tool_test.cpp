// --skip-unchanged as a user runs it: against a simulated device whose flash one earlier update
// left behind, and refused for a layout whose ranges overlap.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "expected_layout.h"
#include "process_runner.h"

namespace fs = std::filesystem;
using test_support::ProcessResult;
using test_support::run_process;

namespace {

class SkipUnchangedTool : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("hidiap_skip_test_" + std::to_string(getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        write("img.bin", test_support::random_bytes(40000, 51));
        write("tts.bin", test_support::random_bytes(1000, 52));
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string path(const std::string &name) const { return (dir / name).string(); }
    void write(const std::string &name, const std::vector<uint8_t> &bytes) const {
        std::ofstream(path(name), std::ios::binary)
            .write(reinterpret_cast<const char *>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }
    std::vector<uint8_t> read(const std::string &name) const {
        std::ifstream in(path(name), std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
    }
    ProcessResult run(std::vector<std::string> args) const {
        args.insert(args.begin(), "--simulate");
        args.insert(args.end(), {path("img.bin"), path("tts.bin"), "1MB"});
        return run_process(HIDIAP_TOOL_PATH, args);
    }

    fs::path dir;
};

}  // namespace

TEST_F(SkipUnchangedTool, ProgramsOnlyTheChangedSectorAndLeavesTheSameFlash) {
    ASSERT_EQ(run({"--sim-flash", path("full.bin")}).exit_status, 0);
    std::vector<uint8_t> older = read("full.bin");
    older[0x9010] ^= 0xFF;  // the image's second sector
    write("older.bin", older);
    const ProcessResult r = run({"--skip-unchanged", "--sim-flash-from", path("older.bin"),
                                 "--sim-flash", path("skipped.bin")});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_NE(r.out.find("[IAP]: 1 of 2 sectors unchanged from 0x00008000, skipped\r\n"
                         "[IAP]: Erase @ 0x00009000\r\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("Erase @ 0x00008000"), std::string::npos);
    EXPECT_NE(r.out.find("[IAP]: 1 of 1 sectors unchanged from 0x00080000, skipped\r\n"),
              std::string::npos);
    EXPECT_TRUE(read("skipped.bin") == read("full.bin"));
}

TEST_F(SkipUnchangedTool, OverlappingRangesAreRefused) {
    write("img.bin", test_support::random_bytes(0x80000 + 0x1234, 53));
    const ProcessResult r = run({"--skip-unchanged"});
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_NE(r.err.find("overlap"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("flash unlock"), std::string::npos) << "nothing is sent";
}

TEST_F(SkipUnchangedTool, JsonCarriesWhatEachSurveyFound) {
    ASSERT_EQ(run({"--sim-flash", path("full.bin")}).exit_status, 0);
    const ProcessResult r =
        run({"--json", "--skip-unchanged", "--sim-flash-from", path("full.bin")});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_NE(r.out.find(R"("type":"survey")"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(R"("range":1,"addr":32768,"sectors":2,"unchanged":2,"skipped":2})"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(R"("range":2,"addr":524288,"sectors":1,"unchanged":1,"skipped":1})"),
              std::string::npos)
        << r.out;
}
