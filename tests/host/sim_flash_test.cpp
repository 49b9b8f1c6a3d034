// --sim-flash and --sim-flash-from, the simulated catalog's files, written and read through the
// Env: a flash that cannot be written fails the board and leaves the file as it was, and a path
// that is no regular file is never replaced.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "console/console.h"
#include "host/app/hidiap_tool.h"
#include "test_env.h"

namespace {

namespace fs = std::filesystem;
using test_support::TestEnv;

class SimFlashFiles : public ::testing::Test {
  protected:
    SimFlashFiles() {
        dir = fs::temp_directory_path() / ("hidiap_sim_flash_" + std::to_string(getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        std::ofstream(path("img"), std::ios::binary) << std::string(0x8000 + 3000, '\x5A');
        std::ofstream(path("tts"), std::ios::binary) << std::string(700, '\x3C');
    }
    ~SimFlashFiles() override { fs::remove_all(dir); }
    std::string path(const std::string &name) const { return (dir / name).string(); }
    std::string content(const std::string &name) const {
        std::ifstream in(path(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    int run(std::vector<std::string> args) {
        args.insert(args.begin(), {"hidiap", "--simulate", "--no-wait"});
        args.insert(args.end(), {path("img"), path("tts"), "1MB"});
        std::vector<char *> argv;
        for (std::string &a : args) {
            argv.push_back(a.data());
        }
        const ConsoleSinkScope quiet([](std::string_view) {});
        return host::run_tool(static_cast<int>(argv.size()), argv.data(), host::UpdateSettings{});
    }
    fs::path dir;
};

TEST_F(SimFlashFiles, AFlashThatCannotBeWrittenFailsTheBoardAndKeepsTheOldFile) {
    std::ofstream(path("flash.bin")) << "the flash of an earlier run";
    TestEnv faulty;
    faulty.inject({TestEnv::Op::Append, base::ErrorCode::NoSpace, 0, -1, "flash.bin"});
    const host::EnvScope scope(faulty);
    EXPECT_EQ(run({"--sim-flash", path("flash.bin")}), 1);
    EXPECT_EQ(content("flash.bin"), "the flash of an earlier run");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator{}), 3)
        << "no temporary file is left beside it";
}

TEST_F(SimFlashFiles, OnlyARegularFileIsEverPutInPlace) {
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    EXPECT_EQ(run({"--sim-flash", path("fifo")}), 2);
    EXPECT_TRUE(fs::is_fifo(path("fifo")));
    // A flash file larger than the flash is refused before anything is sent.
    std::ofstream(path("big"), std::ios::binary) << std::string(0x200001, '\0');
    EXPECT_EQ(run({"--sim-flash-from", path("big"), "--sim-flash", path("flash.bin")}), 2);
    EXPECT_FALSE(fs::exists(path("flash.bin")));
    std::ofstream(path("small"), std::ios::binary) << std::string(0x8000, '\0');
    EXPECT_EQ(run({"--sim-flash-from", path("small"), "--sim-flash", path("flash.bin")}), 0);
    EXPECT_EQ(content("flash.bin").size(), 0x200000u);
}

}  // namespace
