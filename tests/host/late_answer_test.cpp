// A run's outcome is its last word: an answer that comes in after the engine went idle (held back
// by the device, or a duplicate) must not print an event line after the outcome the tool reports
// by its exit status. Found by the soak (a delayed error answer after "Firmware updated
// successfully !"); pinned here without threads or timing.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "console/console.h"
#include "engine_harness.h"
#include "globals/iap_globals.h"
#include "host/inputs/run_inputs.h"
#include "host/link/transport.h"
#include "host/run/engine_runner.h"
#include "host/workers/workers.h"
#include "test_transports.h"

namespace host {
namespace {

using test_support::SilentTransport;
using test_support::VanishedTransport;

struct LateAnswer : ::testing::Test {
    LateAnswer() {
        host::use_layout(host::compute_layout(0x8100, 256, "1MB"));
        host::prepare_record(iap, img_file, IMG_FILE_BUF_SIZE, false);
    }
    static void answer(host::EngineRunner &runner, uint8_t command, uint8_t result,
                       uint32_t crc = 0) {
        std::vector<uint8_t> a = test_support::answer_frame(command, result, crc);
        runner.on_answer(a.data(), static_cast<int>(a.size()));
    }

    SilentTransport device;
    std::string console;
    ConsoleSinkScope capture{[this](std::string_view text) { console.append(text); }};
};

TEST_F(LateAnswer, AnErrorAnswerAfterSuccessPrintsNothing) {
    host::EngineRunner runner(device, iap);
    runner.start(0x8000, 256, 0x8000);
    for (int range = 0; range < 2; range++) {
        const uint8_t *data = range == 0 ? img_file + 0x8000 : tts_file;
        answer(runner, 0x82, 0);  // unlock
        answer(runner, 0x83, 0);  // erase
        answer(runner, 0x93, 0);  // the one page
        answer(runner, 0x91, 0, iap_calculate_CRC32(0xFFFFFFFF, data, 256));
    }
    answer(runner, 0x86, 0);  // reboot
    ASSERT_EQ(runner.wait_for_outcome(std::chrono::milliseconds(1000)), host::Outcome::Success);
    answer(runner, 0x83, 0x10);  // the refusal of an erase that was resent and then succeeded
    EXPECT_EQ(console.find("IAP_EVT_CMD_ERROR"), std::string::npos) << console;
    EXPECT_EQ(console.substr(console.size() - 33), "Firmware updated successfully !\r\n")
        << console;
}

TEST_F(LateAnswer, AnErrorAnswerAfterATimeoutPrintsNothing) {
    host::EngineRunner runner(device, iap);
    runner.start(0x8000, 256, 0x8000);
    for (int tick = 0; tick < 50; tick++) {
        runner.on_tick();
    }
    ASSERT_EQ(runner.wait_for_outcome(std::chrono::milliseconds(1000)), host::Outcome::Timeout);
    answer(runner, 0x82, 0x10);
    EXPECT_EQ(console,
              "[IAP]: flash unlock\r\n[IAP]: flash unlock\r\n[IAP]: flash unlock\r\n"
              "[IAP]: flash unlock\r\nIAP_EVT_CMD_RX_TIMEOUT\r\n");
}

// Without this the run would go on resending to a dead node until the engine's budgets ran out
// (ten seconds for a check), printing each failed report.
TEST_F(LateAnswer, AVanishedDeviceEndsTheRunAtOnceAndIsWrittenNoMore) {
    VanishedTransport gone;
    host::EngineRunner runner(gone, iap);
    host::Workers workers(runner, gone, std::chrono::milliseconds(1));
    ASSERT_TRUE(workers.start().ok());
    runner.start(0x8000, 256, 0x8000);
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(runner.wait_for_outcome(std::chrono::milliseconds(5000)),
              host::Outcome::Disconnected);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(1));
    const int writes = gone.writes;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // ten unlock budgets
    workers.stop();
    EXPECT_EQ(gone.writes, writes);
}

// Once the outcome is fixed the reader reads without waiting in the device (a stop cannot cut a
// waiting read short, and a board's update would wait for it after the board's check).
TEST_F(LateAnswer, AfterTheOutcomeTheReaderNoLongerWaitsInTheDevice) {
    struct Device : SilentTransport {
        int read(uint8_t *, size_t, int timeout_ms) override {
            {
                std::lock_guard<std::mutex> lock(mutex);
                timeouts.push_back(timeout_ms);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
            return 0;
        }
        size_t reads() {
            std::lock_guard<std::mutex> lock(mutex);
            return timeouts.size();
        }
        std::mutex mutex;
        std::vector<int> timeouts;
    } device;
    host::EngineRunner runner(device, iap);
    host::Workers workers(runner, device);
    ASSERT_TRUE(workers.start().ok());
    runner.start(0x8000, 256, 0x8000);
    // The unlock is never answered: its resends run out.
    ASSERT_EQ(runner.wait_for_outcome(std::chrono::milliseconds(5000)), host::Outcome::Timeout);
    // The read under way may have begun before; the one after the next cannot have.
    const size_t after = device.reads() + 2;
    for (int waited = 0; device.reads() < after && waited < 200; waited++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    workers.stop();
    ASSERT_GE(device.timeouts.size(), after);
    EXPECT_EQ(device.timeouts[after - 1], 0);
}

}  // namespace
}  // namespace host
