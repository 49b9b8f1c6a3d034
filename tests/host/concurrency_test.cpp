// The tool's three threads on one engine, in-process and on a fast clock so that ticks land in
// the middle of answer handling thousands of times. Run under ThreadSanitizer in CI: a missing
// lock around any engine entry shows up here as a data race.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "console.h"
#include "expected_layout.h"
#include "hidiap_tool.h"

namespace fs = std::filesystem;

TEST(Concurrency, LongUpdateWithFastTicksSucceedsAndFillsTheFlash) {
    const fs::path dir =
        fs::temp_directory_path() / ("hidiap_concurrency_" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::vector<uint8_t> image = test_support::random_bytes(0x80000, 41);
    const std::vector<uint8_t> tts = test_support::random_bytes(0x10000, 42);
    std::ofstream((dir / "img").string(), std::ios::binary)
        .write(reinterpret_cast<const char *>(image.data()),
               static_cast<std::streamsize>(image.size()));
    std::ofstream((dir / "tts").string(), std::ios::binary)
        .write(reinterpret_cast<const char *>(tts.data()),
               static_cast<std::streamsize>(tts.size()));

    std::string out;
    console_set_sink([&out](std::string_view text) { out.append(text); });
    const std::string flash = (dir / "flash").string();
    const std::string img = (dir / "img").string();
    const std::string tts_path = (dir / "tts").string();
    const char *argv[] = {"hidiap",      "--simulate", "--no-wait",      "--sim-flash",
                          flash.c_str(), img.c_str(),  tts_path.c_str(), "2MB"};
    host::RunTuning fast;
    fast.tick_period = std::chrono::milliseconds(1);
    const int status = host::run_tool(8, const_cast<char **>(argv), fast);
    console_set_sink(nullptr);

    EXPECT_EQ(status, 0) << out;
    std::ifstream in(flash, std::ios::binary);
    const std::vector<uint8_t> written(std::istreambuf_iterator<char>(in), {});
    EXPECT_TRUE(written == test_support::expected_flash(image, tts, 0x180000));
    fs::remove_all(dir);
}
