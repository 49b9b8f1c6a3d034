// The tool's three threads on one engine, in-process and on a fast clock so that ticks land in
// the middle of answer handling thousands of times. Run under ThreadSanitizer in CI: a missing
// lock around any engine entry shows up here as a data race.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>

#include "console/console.h"
#include "expected_layout.h"
#include "globals/iap_globals.h"
#include "host/app/hidiap_tool.h"
#include "host/inputs/run_inputs.h"
#include "host/run/engine_runner.h"
#include "host/sim/sim_transport.h"
#include "host/workers/workers.h"

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
    std::optional<ConsoleSinkScope> capture;
    capture.emplace([&out](std::string_view text) { out.append(text); });
    const std::string flash = (dir / "flash").string();
    const std::string img = (dir / "img").string();
    const std::string tts_path = (dir / "tts").string();
    const char *argv[] = {"hidiap",      "--simulate", "--no-wait",      "--sim-flash",
                          flash.c_str(), img.c_str(),  tts_path.c_str(), "2MB"};
    host::UpdateSettings fast;
    fast.tick_period = std::chrono::milliseconds(1);
    const int status = host::run_tool(8, const_cast<char **>(argv), fast);
    capture.reset();

    EXPECT_EQ(status, 0) << out;
    std::ifstream in(flash, std::ios::binary);
    const std::vector<uint8_t> written(std::istreambuf_iterator<char>(in), {});
    EXPECT_TRUE(written == test_support::expected_flash(image, tts, 0x180000));
    fs::remove_all(dir);
}

// Two devices at once, each with its own record, runner and reader, on one tick thread: the hooks
// must route every frame to the device whose engine call sent it. A fault on one device must not
// reach the other.
TEST(Concurrency, TwoDevicesEachGetTheirOwnFramesAndOutcome) {
    const std::vector<uint8_t> image = test_support::random_bytes(0x20000, 43);
    const std::vector<uint8_t> tts = test_support::random_bytes(0x3000, 44);
    std::fill(img_file, img_file + IMG_FILE_BUF_SIZE, 0xFF);
    std::fill(tts_file, tts_file + TTS_FILE_BUF_SIZE, 0xFF);
    std::copy(image.begin(), image.end(), img_file);
    std::copy(tts.begin(), tts.end(), tts_file);
    host::use_layout(host::compute_layout(0x20000, 0x3000, "1MB"));

    // Two devices print at once: the sink, like the tool's own, must take turns.
    std::mutex out_mutex;
    std::string out;
    std::optional<ConsoleSinkScope> capture;
    capture.emplace([&](std::string_view text) {
        std::lock_guard<std::mutex> lock(out_mutex);
        out.append(text);
    });
    sim::FaultSchedule dropped;
    std::string error;
    ASSERT_TRUE(sim::parse_fault_schedule({"drop:page:40"}, dropped, error)) << error;
    const auto tick = std::chrono::milliseconds(1);
    host::SimTransport good_device(sim::FaultSchedule{}, tick);
    host::SimTransport failing_device(dropped, tick);
    iap_env_t records[2] = {};
    for (iap_env_t &record : records) {
        host::prepare_record(record, img_file, IMG_FILE_BUF_SIZE, false);
    }
    host::EngineRunner good(good_device, records[0]);
    host::EngineRunner failing(failing_device, records[1]);
    {
        host::Workers workers({{&good, &good_device}, {&failing, &failing_device}}, tick);
        ASSERT_TRUE(workers.start().ok());
        failing.start(0x8000, 0x18000, 0x8000);
        good.start(0x8000, 0x18000, 0x8000);
        EXPECT_EQ(good.wait_for_outcome(std::chrono::seconds(30)), host::Outcome::Success);
        EXPECT_EQ(failing.wait_for_outcome(std::chrono::seconds(30)), host::Outcome::Timeout);
        workers.stop();
    }
    capture.reset();
    const std::vector<uint8_t> expected = test_support::expected_flash(image, tts, 0x80000);
    good_device.with_device([&expected](sim::SimDevice &device) {
        EXPECT_TRUE(device.flash().bytes() == expected);
        EXPECT_TRUE(device.rebooted());
    });
    failing_device.with_device([](sim::SimDevice &device) { EXPECT_FALSE(device.rebooted()); });
}
