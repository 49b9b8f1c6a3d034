// A stall of the process spends no step's budget, on the test Env's virtual clock: the process
// stops (the clock jumps), and when it runs again the tick thread may well get the processor
// before the reader, which has the device's answer in hand. Neither may turn the stop into a
// resend over that answer; a device that never answers still ends in the engine's time-out.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>

#include "console/console.h"
#include "globals/iap_globals.h"
#include "host/inputs/run_inputs.h"
#include "host/run/engine_runner.h"
#include "host/sim/sim_transport.h"
#include "host/workers/workers.h"
#include "test_env.h"
#include "timing/usb_timing.h"

namespace host {
namespace {

using namespace std::chrono_literals;
using test_support::TestEnv;

// The board's answers, handed to the reader only `hold` after they were read once told so: the
// reader thread ran later than the tick thread.
class LateReader : public Transport {
  public:
    explicit LateReader(Transport &board) : board_(board) {}
    int write(const uint8_t *report, size_t len) override { return board_.write(report, len); }
    int read(uint8_t *buf, size_t len, int timeout_ms) override {
        const int n = board_.read(buf, len, timeout_ms);
        const int64_t hold = n > 0 ? hold_ms_.exchange(0) : 0;
        if (hold > 0) {
            sleep_for(std::chrono::milliseconds(hold));
        }
        return n;
    }
    bool product_string(std::wstring &) override { return false; }
    void hold_next_answer(std::chrono::milliseconds hold) { hold_ms_ = hold.count(); }

  private:
    Transport &board_;
    std::atomic<int64_t> hold_ms_{0};
};

struct Stall : ::testing::Test {
    Stall() {
        std::fill(img_file, img_file + IMG_FILE_BUF_SIZE, 0x5A);
        std::fill(tts_file, tts_file + TTS_FILE_BUF_SIZE, 0xC3);
        use_layout(compute_layout(0x8100, 256, "1MB"));  // one page of each, one erase each
        prepare_record(record, img_file, IMG_FILE_BUF_SIZE, false);
    }
    size_t count(const std::string &line) {
        std::lock_guard<std::mutex> lock(mutex);
        size_t n = 0;
        for (size_t at = console.find(line); at != std::string::npos;
             at = console.find(line, at + 1)) {
            n++;
        }
        return n;
    }

    TestEnv clock{TestEnv::Time::Virtual};
    EnvScope scope{clock};
    std::mutex mutex;
    std::string console;
    ConsoleSinkScope capture{[this](std::string_view text) {
        std::lock_guard<std::mutex> lock(mutex);
        console.append(text);
    }};
    iap_env_t record{};
};

// The erase's answer comes 47 ms after it was sent. The process stops for 60 ms four ticks into
// the erase's budget of ten, the answer arrives meanwhile, and the reader hands it over 80 ms
// after the tick thread runs again: a burst of the missed ticks would have resent the erase, and
// so would the tick that spends the budget's last, had it not waited for the reader.
TEST_F(Stall, AStopDuringAnEraseResendsNothingOverItsAnswer) {
    SimTransport board(sim::FaultSchedule{}, 10ms, timing::UsbTimingFigures{});
    LateReader reader(board);
    EngineRunner runner(reader, record);
    bool stopped = false;
    runner.set_observer([&](const iap_env_t &r) {
        if (!stopped && r.state == IAP_ST_FLASH_ERASE && r.tick_cnt == IAP_TICKS_STEP - 4) {
            stopped = true;
            reader.hold_next_answer(80ms);
            clock.jump(60ms);
        }
    });
    Workers workers(runner, reader);
    ASSERT_TRUE(workers.start().ok());
    runner.start(0x8000, 256, 0x8000);
    EXPECT_EQ(runner.wait_for_outcome(10s), Outcome::Success);
    workers.stop();
    EXPECT_TRUE(stopped);
    EXPECT_EQ(count("[IAP]: Erase @ 0x00008000"), 1u) << console;
    EXPECT_EQ(count("[IAP]: Erase @"), 2u) << console;
}

// Every unlock answer is lost and the process stops for 2 s after the first tick: the stop is one
// tick, and the engine still sends four unlocks and times out on its 44th tick.
TEST_F(Stall, ALongStopStillEndsInTheTimeOutAfterFourUnlocks) {
    sim::FaultSchedule lost;
    std::string error;
    ASSERT_TRUE(sim::parse_fault_schedule(
        {"drop:unlock:1", "drop:unlock:2", "drop:unlock:3", "drop:unlock:4"}, lost, error))
        << error;
    SimTransport board(lost, 10ms);
    EngineRunner runner(board, record);
    SteadyTime ended{};
    bool stopped = false;
    runner.set_observer([&](const iap_env_t &r) {
        if (!stopped && r.state == IAP_ST_FLASH_UNLOCK && r.tick_cnt == IAP_TICKS_STEP - 1) {
            stopped = true;
            clock.jump(2s);
        }
        if (r.state == IAP_ST_IDLE && ended == SteadyTime{}) {
            ended = clock.now();
        }
    });
    Workers workers(runner, board);
    ASSERT_TRUE(workers.start().ok());
    const SteadyTime started = clock.now();
    runner.start(0x8000, 256, 0x8000);
    EXPECT_EQ(runner.wait_for_outcome(10s), Outcome::Timeout);
    workers.stop();
    EXPECT_EQ(console,
              "[IAP]: flash unlock\r\n[IAP]: flash unlock\r\n[IAP]: flash unlock\r\n"
              "[IAP]: flash unlock\r\nIAP_EVT_CMD_RX_TIMEOUT\r\n");
    // The stop, and 43 periods after the first tick (the late tick is the second); a tick that
    // waits for the reader is made a millisecond or two after it is due.
    EXPECT_GE(ended - started, 2s + 430ms);
    EXPECT_LT(ended - started, 2s + 435ms);
}

}  // namespace
}  // namespace host
