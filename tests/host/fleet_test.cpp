// Several simulated devices updated at once, each on its own record, runner, reader and writer
// around one tick thread. Run under ThreadSanitizer in CI. A device that fails, is unplugged or
// hangs in a write must leave the others verified, and every console line must stay whole and
// carry its device's tag.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "console/console.h"
#include "expected_layout.h"
#include "globals/iap_globals.h"
#include "host/inputs/run_inputs.h"
#include "host/inputs/update_plan.h"
#include "host/present/json_events.h"
#include "host/present/multi_progress.h"
#include "host/sim/sim_transport.h"
#include "host/update/tagged_console.h"
#include "host/update/update_run.h"
#include "test_transports.h"

namespace {

using host::DeviceResult;
using host::UpdateDevice;

// The real tick: a healthy device's answer must come within a step's budget (ten ticks) even
// under ThreadSanitizer on a loaded machine.
constexpr auto kTick = std::chrono::milliseconds(10);

struct Fleet : ::testing::Test {
    Fleet() {
        image = test_support::random_bytes(0x10000, 51);
        tts = test_support::random_bytes(0x1100, 52);
        std::fill(img_file, img_file + IMG_FILE_BUF_SIZE, 0xFF);
        std::fill(tts_file, tts_file + TTS_FILE_BUF_SIZE, 0xFF);
        std::copy(image.begin(), image.end(), img_file);
        std::copy(tts.begin(), tts.end(), tts_file);
        layout = host::compute_layout(0x10000, 0x1100, "1MB");
        host::use_layout(layout);
        settings.tick_period = kTick;
        settings.stall_limit = std::chrono::seconds(20);
        settings.out = [this](std::string_view text) { out.append(text); };
        settings.err = [this](std::string_view text) { err.append(text); };
    }

    // Simulated devices SIM0001.. with the given fault rules each ("" for none).
    void add_devices(const std::vector<std::string> &faults) {
        for (const std::string &rule : faults) {
            sim::FaultSchedule schedule;
            std::string error;
            if (!rule.empty()) {
                EXPECT_TRUE(sim::parse_fault_schedule({rule}, schedule, error)) << error;
            }
            sims.push_back(std::make_unique<host::SimTransport>(schedule, kTick));
            char serial[16];
            std::snprintf(serial, sizeof serial, "SIM%04zu", sims.size());
            host::DeviceInfo d;
            d.serial = serial;
            d.path = "sim:" + std::to_string(sims.size());
            devices.push_back({sims.back().get(), d, nullptr});
        }
    }

    // The whole run, as the tool makes it: every device announced, started with the plan and
    // reported.
    std::vector<DeviceResult> update_fleet() {
        host::UpdateRun run(devices, layout, settings);
        run.announce();
        return run.run(host::make_update_plan(0x10000, 0x1100, "1MB"));
    }

    bool flash_is_expected(size_t device) {
        const std::vector<uint8_t> expected = test_support::expected_flash(image, tts, 0x80000);
        return sims[device]->with_device([&expected](sim::SimDevice &d) {
            return d.flash().bytes() == expected && d.rebooted();
        });
    }

    std::string summary(const std::vector<DeviceResult> &results) {
        char *text = nullptr;
        size_t size = 0;
        std::FILE *f = open_memstream(&text, &size);
        host::print_fleet_summary(f, results);
        std::fclose(f);
        std::string s(text, size);
        std::free(text);
        return s;
    }

    std::vector<uint8_t> image;
    std::vector<uint8_t> tts;
    host::Layout layout;
    host::UpdateSettings settings;
    std::string out;
    std::string err;
    std::vector<std::unique_ptr<host::SimTransport>> sims;
    std::vector<UpdateDevice> devices;
};

TEST_F(Fleet, EveryDeviceIsVerifiedAndPrintsWholeTaggedLines) {
    add_devices({"", "", ""});
    const std::vector<DeviceResult> results = update_fleet();

    ASSERT_EQ(results.size(), 3u);
    std::map<std::string, std::string> by_device;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        ASSERT_EQ(line.rfind("[SIM000", 0), 0u) << line;
        by_device[line.substr(0, 10)] += line.substr(10) + "\n";
    }
    ASSERT_EQ(by_device.size(), 3u);
    for (size_t i = 0; i < 3; i++) {
        EXPECT_TRUE(results[i].succeeded()) << results[i].tag;
        EXPECT_EQ(results[i].report.bytes, layout.image_program + layout.tts_rounded);
        EXPECT_TRUE(flash_is_expected(i)) << i;
        // Each device's lines, untagged, are exactly what one device alone prints.
        EXPECT_EQ(by_device["[" + results[i].tag + "] "], by_device["[SIM0001] "]);
    }
    EXPECT_NE(by_device["[SIM0002] "].find("Firmware updated successfully !\r\n"),
              std::string::npos);
    EXPECT_EQ(host::fleet_exit_status(results), 0);
}

struct FailingDevice {
    const char *rule;
    const char *engine_outcome;
    const char *cause;
};

class FleetWithAFailingDevice : public Fleet,
                                public ::testing::WithParamInterface<FailingDevice> {};

TEST_P(FleetWithAFailingDevice, TheOthersAreVerifiedAndTheSummaryNamesIt) {
    add_devices({"", GetParam().rule, ""});
    const std::vector<DeviceResult> results = update_fleet();

    EXPECT_STREQ(host::outcome_word(results[1].report.engine_outcome), GetParam().engine_outcome);
    EXPECT_STREQ(host::cause_word(results[1].report.cause), GetParam().cause);
    EXPECT_LT(results[1].report.bytes, layout.image_program + layout.tts_rounded);
    for (size_t i : {0u, 2u}) {
        EXPECT_TRUE(results[i].succeeded());
        EXPECT_TRUE(flash_is_expected(i)) << i;
    }
    EXPECT_EQ(host::fleet_exit_status(results), 1);
    EXPECT_NE(err.find(std::string("hidiap: [SIM0002] update failed (") +
                       GetParam().engine_outcome + "): " + results[1].report.reason),
              std::string::npos)
        << err;
    const std::string table = summary(results);
    EXPECT_NE(table.find("\nSIM0002  failed "), std::string::npos) << table;
    EXPECT_NE(table.find(results[1].report.reason), std::string::npos) << table;
    EXPECT_NE(table.find("hidiap: 1 of 3 devices failed: SIM0002\n"), std::string::npos) << table;
}

// A device that is gone ends its run at once, before the engine gives up on it. Standard output
// must still end the way it ends for any device that stopped answering: the engine's time-out
// line, once, before the outcome line; tagged beside other devices; never in JSON mode.
TEST_F(Fleet, AVanishedDeviceEndsWithTheTimeOutLineBeforeItsOutcome) {
    std::mutex seen_mutex;
    std::string seen;  // standard output and standard error as they come
    const auto see = [&](std::string_view text) {
        std::lock_guard<std::mutex> lock(seen_mutex);
        seen.append(text);
    };
    const ConsoleSinkScope capture(see);
    settings.out = see;
    settings.err = see;
    test_support::VanishedTransport gone;
    const auto ends_with_one_time_out_line = [&](const std::string &line, const char *outcome) {
        const size_t at = seen.find(line);
        ASSERT_NE(at, std::string::npos) << seen;
        EXPECT_EQ(seen.find("IAP_EVT_CMD_RX_TIMEOUT", at + line.size()), std::string::npos);
        EXPECT_LT(at, seen.find(outcome)) << seen;
    };

    devices.push_back({&gone, {}, nullptr});
    std::vector<DeviceResult> results = update_fleet();
    EXPECT_EQ(results[0].report.cause, host::Cause::Disconnected);
    ends_with_one_time_out_line("IAP_EVT_CMD_RX_TIMEOUT\r\n",
                                "hidiap: update failed (disconnected)");

    seen.clear();
    add_devices({""});
    results = update_fleet();
    EXPECT_EQ(results[0].report.cause, host::Cause::Disconnected);
    EXPECT_TRUE(results[1].succeeded());
    ends_with_one_time_out_line("[1:] IAP_EVT_CMD_RX_TIMEOUT\r\n",
                                "hidiap: [1:] update failed (disconnected)");

    seen.clear();
    settings.json = true;
    update_fleet();
    EXPECT_EQ(seen.find("IAP_EVT_CMD_RX_TIMEOUT"), std::string::npos) << seen;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FleetWithAFailingDevice,
    ::testing::Values(FailingDevice{"drop:page:20", "timeout", "not_answered"},
                      FailingDevice{"corrupt:page:7:9", "error", "crc_mismatch"},
                      FailingDevice{"unplug:page:30", "timeout", "disconnected"}));

// A device that answers its first reports and then hangs in a write, as a hung USB device does,
// until the test lets it go; after ten seconds it gives up and says so. The hang comes on the
// reader's write, after an answer, as well as on the tick's resends.
class HungTransport : public host::Transport {
  public:
    int write(const uint8_t *report, size_t len) override {
        std::unique_lock<std::mutex> lock(mutex_);
        if (++writes_ < 3) {
            lock.unlock();
            return device_.write(report, len);
        }
        if (!released_cv_.wait_for(lock, std::chrono::seconds(10), [this] { return released_; })) {
            gave_up_ = true;
        }
        return static_cast<int>(len);
    }
    int read(uint8_t *buf, size_t len, int timeout_ms) override {
        return device_.read(buf, len, timeout_ms);
    }
    bool product_string(std::wstring &) override { return false; }
    void release() {
        std::lock_guard<std::mutex> lock(mutex_);
        released_ = true;
        released_cv_.notify_all();
    }
    bool gave_up() {
        std::lock_guard<std::mutex> lock(mutex_);
        return gave_up_;
    }

  private:
    host::SimTransport device_{sim::FaultSchedule{}, kTick};
    std::mutex mutex_;
    std::condition_variable released_cv_;
    int writes_ = 0;
    bool released_ = false;
    bool gave_up_ = false;
};

// The healthy device loses an erase answer: only a resend by the tick thread saves it. The hung
// device's write is let go only once the healthy device has rebooted, so if a tick waited for
// that write, or for the engine lock of a thread caught in it, the healthy device could not
// finish before the write gave up.
TEST_F(Fleet, AHungDeviceHoldsUpNoOtherDevice) {
    HungTransport hung;
    host::DeviceInfo d;
    d.serial = "HUNG";
    devices.push_back({&hung, d, nullptr});
    add_devices({"drop:erase:3"});
    std::thread release_when_done([this, &hung] {
        for (int i = 0;
             i < 2000 && !sims[0]->with_device([](sim::SimDevice &d) { return d.rebooted(); });
             i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        hung.release();
    });
    const std::vector<DeviceResult> results = update_fleet();
    release_when_done.join();

    EXPECT_FALSE(hung.gave_up());
    EXPECT_EQ(results[0].report.engine_outcome, host::Outcome::Timeout);
    EXPECT_TRUE(results[1].succeeded());
    EXPECT_TRUE(flash_is_expected(0));
}

// With --json every device has its own emitter: each event names its device, each device gets
// its device, plan and outcome events, and no console line is written.
TEST_F(Fleet, JsonEventsCarryTheirDevice) {
    add_devices({"", "drop:page:3"});
    char *text = nullptr;
    size_t size = 0;
    std::FILE *stream = open_memstream(&text, &size);
    std::vector<std::unique_ptr<host::JsonEvents>> emitters;
    for (UpdateDevice &d : devices) {
        emitters.push_back(std::make_unique<host::JsonEvents>(stream, d.info.serial));
        d.events = emitters.back().get();
    }
    settings.json = true;
    update_fleet();
    std::fclose(stream);
    const std::string events(text, size);
    std::free(text);

    std::map<std::string, std::vector<std::string>> types;  // by device
    std::map<std::string, std::string> status;
    std::istringstream lines(events);
    for (std::string line; std::getline(lines, line);) {
        const nlohmann::json event = nlohmann::json::parse(line);
        types[event.at("device")].push_back(event.at("type"));
        if (event.at("type") == "outcome") {
            status[event.at("device")] = event.at("status");
        }
    }
    ASSERT_EQ(types.size(), 2u) << events;
    for (const auto &[device, seen] : types) {
        ASSERT_GE(seen.size(), 3u) << device;
        EXPECT_EQ(seen[0], "device");
        EXPECT_EQ(seen[1], "plan");
        EXPECT_EQ(seen.back(), "outcome");
    }
    EXPECT_EQ(status["SIM0001"], "success");
    EXPECT_EQ(status["SIM0002"], "failed");
    EXPECT_EQ(out, "");
}

// A device that takes every report and never answers.
class SilentTransport : public host::Transport {
  public:
    int write(const uint8_t *, size_t len) override { return static_cast<int>(len); }
    int read(uint8_t *, size_t, int timeout_ms) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(timeout_ms, 5)));
        return 0;
    }
    bool product_string(std::wstring &) override { return false; }
};

// Ctrl-C ends every device's update with the interruption's status, not a failure.
TEST_F(Fleet, AnInterruptionEndsEveryDeviceWithItsStatus) {
    SilentTransport first;
    SilentTransport second;
    devices.push_back({&first, {}, nullptr});
    devices.push_back({&second, {}, nullptr});
    settings.interrupt_status = [] { return 130; };
    const std::vector<DeviceResult> results = update_fleet();

    for (const DeviceResult &r : results) {
        EXPECT_EQ(r.report.status, host::Status::Interrupted) << r.tag;
    }
    EXPECT_EQ(results[1].tag, "2:");
    EXPECT_EQ(host::fleet_exit_status(results), 130);
    // Interrupted, not failed: the summary says so, as the station's totals do.
    EXPECT_NE(summary(results).find("\nhidiap: 2 of 2 devices interrupted: 1:, 2:\n"),
              std::string::npos)
        << summary(results);
    std::vector<DeviceResult> mixed = results;
    mixed.push_back(
        {"SIM0003", host::refusal_report(host::Status::Failed, 1, "it failed"), "", ""});
    EXPECT_NE(summary(mixed).find(
                  "\nhidiap: 1 of 3 devices failed: SIM0003; 2 of 3 devices interrupted: 1:, 2:\n"),
              std::string::npos)
        << summary(mixed);
}

TEST(TaggedConsole, LinesPrintedInPiecesComeOutWholeAndTagged) {
    std::string out;
    host::TaggedConsole console({"A", "B"}, [&out](std::string_view t) { out.append(t); });
    {
        const host::TaggedConsole::DeviceScope a(0);
        console.write("[IAP]: ");
        {
            const host::TaggedConsole::DeviceScope b(1);
            console.write("[IAP]: ");
            console.write("erase\r\n");
        }
        console.write("write\r\nlast");
    }
    console.write("untagged\n");
    console.install();
    console.uninstall();
    EXPECT_EQ(out, "[B] [IAP]: erase\r\n[A] [IAP]: write\r\nuntagged\n[A] last\n");
}

TEST(MultiProgress, OutputLinesGoAboveTheBlockWhichIsRedrawnAndFinallyErased) {
    std::string screen;
    const auto out = [&screen](std::string_view t) { screen += "<out:" + std::string(t) + ">"; };
    const auto err = [&screen](std::string_view t) { screen.append(t); };
    host::MultiProgressDisplay display({"A", "B"}, out, err, 20);
    display.phase(0, "erase", "image");
    display.finish(1, "failed: timeout after all");
    display.write_above("line\n");
    display.close();
    const std::string a = "\r[A] erase  image [-\033[K\n";
    const std::string b = "\r[B] failed: timeout\033[K\n";
    EXPECT_EQ(screen, a +
                          "\r[B] waiting\033[K\n"  // first drawing
                          "\033[2A" +
                          a + b +                                  // redrawn in place
                          "\033[2A\r\033[J<out:line\n>" + a + b +  // erased, line, drawn again
                          "\033[2A\r\033[J");                      // erased for good
}

}  // namespace
