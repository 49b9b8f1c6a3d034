// The station in this process on the test Env's virtual clock: simulated boards arrive, reboot
// away and come back, and Ctrl-C comes, each at a virtual moment, so that every case runs the
// same way every time and takes milliseconds, not the seconds it models. The same station as a
// child process on real time is station_tool_test.cpp's.
#include "host/station/station.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

#include "expected_layout.h"
#include "globals/iap_globals.h"
#include "host/inputs/run_inputs.h"
#include "host/sim/sim_catalog.h"
#include "test_env.h"

namespace {

using namespace std::chrono_literals;
using host::DeviceResult;
using host::Status;

size_t count_of(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size()) {
        n++;
    }
    return n;
}

struct StationOnVirtualTime : ::testing::Test {
    StationOnVirtualTime() {
        image = test_support::random_bytes(40000, 61);
        tts = test_support::random_bytes(1000, 62);
        std::fill(img_file, img_file + IMG_FILE_BUF_SIZE, 0xFF);
        std::fill(tts_file, tts_file + TTS_FILE_BUF_SIZE, 0xFF);
        std::copy(image.begin(), image.end(), img_file);
        std::copy(tts.begin(), tts.end(), tts_file);
        layout = host::compute_layout(40000, 1000, "1MB");
        host::use_layout(layout);
        setup.settings.stall_limit = 30s;
        setup.settings.out = [this](std::string_view t) { capture(out, t); };
        setup.settings.err = [this](std::string_view t) { capture(err, t); };
    }

    void capture(std::string &to, std::string_view text) {
        std::lock_guard<std::mutex> lock(mutex);
        to.append(text);
    }

    // Ctrl-C `first` and again `second` after the station started, on its clock.
    void interrupt_at(host::SteadyClock::duration first, host::SteadyClock::duration second) {
        setup.interrupt_requests = [this, first, second] {
            const auto since = host::env().now() - started;
            return since >= second ? 2 : since >= first ? 1 : 0;
        };
        setup.interrupt_status = [this] { return setup.interrupt_requests() > 0 ? 130 : 0; };
    }

    // The station over the simulated catalog, to its end; its catalog stays for a look at the
    // boards.
    std::vector<DeviceResult> run_station(const host::SimCatalogSetup &boards) {
        std::string error;
        catalog = host::SimCatalog::create(boards, error);
        EXPECT_TRUE(catalog) << error;
        started = host::env().now();
        host::Station station(
            *catalog, layout,
            host::make_update_plan(static_cast<uint32_t>(image.size()), 1000, "1MB"), setup);
        std::vector<DeviceResult> results = station.run();
        totals = station.totals();
        seconds = station.seconds();
        return results;
    }

    bool holds_the_files(const std::string &serial) {
        return catalog->flash_of(serial) == test_support::expected_flash(image, tts, 0x80000);
    }

    test_support::TestEnv virtual_time{test_support::TestEnv::Time::Virtual};
    host::EnvScope scope{virtual_time};
    std::vector<uint8_t> image;
    std::vector<uint8_t> tts;
    host::Layout layout;
    host::StationSetup setup;
    std::unique_ptr<host::SimCatalog> catalog;
    host::SteadyTime started{};
    host::StationTotals totals;
    double seconds = 0;
    std::mutex mutex;
    std::string out;
    std::string err;
};

// Boards that arrive one after another and come back after their reboot are each updated once;
// the one back while the station still runs is verified, known by its serial and not counted.
TEST_F(StationOnVirtualTime, ArrivalsAreUpdatedOnceAndABoardBackFromItsRebootIsNotCounted) {
    host::SimCatalogSetup boards;
    boards.arrivals = {0ms, 3s, 6s};
    boards.devices = 3;
    boards.reboot_away = 1s;
    setup.count = 3;
    const std::vector<DeviceResult> results = run_station(boards);

    ASSERT_EQ(results.size(), 3u) << err;
    for (const char *serial : {"SIM0001", "SIM0002", "SIM0003"}) {
        EXPECT_EQ(count_of(out, std::string("[") + serial + "] [IAP]: Erase @ 0x00008000"), 1u)
            << serial;
        EXPECT_TRUE(holds_the_files(serial)) << serial;
    }
    EXPECT_NE(err.find("hidiap: [SIM0001] already done in this station run (serial SIM0001"),
              std::string::npos)
        << err;
    EXPECT_EQ(totals.updated, 3u);
    EXPECT_EQ(totals.handled(), 3u);
    EXPECT_GE(seconds, 6.0) << "the last board came 6 s in, on the virtual clock";
}

// Four boards at once, two wanted: never more than two are started.
TEST_F(StationOnVirtualTime, CountStartsNoMoreBoardsThanNeeded) {
    host::SimCatalogSetup boards;
    boards.arrivals = {0ms, 0ms, 0ms, 0ms};
    boards.devices = 4;
    setup.count = 2;
    const std::vector<DeviceResult> results = run_station(boards);

    EXPECT_EQ(results.size(), 2u);
    EXPECT_EQ(count_of(out, "Product String"), 2u) << out;
    EXPECT_EQ(totals.updated, 2u);
}

// The update's image check is answered late (after its resend). Ctrl-C at 1 s takes no new board
// (the second comes at 2 s) and lets the first finish; a second Ctrl-C at 1.5 s interrupts it.
TEST_F(StationOnVirtualTime, FirstCtrlCFinishesTheBoardInProgressAndASecondInterruptsIt) {
    host::SimCatalogSetup boards;
    boards.arrivals = {0ms, 2s};
    boards.devices = 2;
    boards.faults = {"SIM0001/delay:check:3:300"};

    interrupt_at(1s, 1h);
    std::vector<DeviceResult> results = run_station(boards);
    ASSERT_EQ(results.size(), 1u) << err;
    EXPECT_EQ(results[0].report.status, Status::Success);
    EXPECT_NE(err.find("hidiap: station stopping: no new boards; 1 in progress will finish"),
              std::string::npos)
        << err;
    EXPECT_EQ(out.find("SIM0002"), std::string::npos) << "no board taken after Ctrl-C";
    const double finished_after = seconds;

    out.clear();
    err.clear();
    interrupt_at(1s, 1500ms);
    results = run_station(boards);
    ASSERT_EQ(results.size(), 1u) << err;
    EXPECT_EQ(results[0].report.status, Status::Interrupted);
    EXPECT_EQ(results[0].report.exit_status, 130);
    EXPECT_NE(err.find("hidiap: [SIM0001] update interrupted (Ctrl-C) after "), std::string::npos)
        << err;
    EXPECT_EQ(totals.interrupted, 1u);
    EXPECT_LT(seconds, finished_after) << "the late answer was not waited for";
}

// A board that leaves the bus once its reboot frame is out, not to come back while the station
// runs, rebooted: both ranges were verified, so it is updated, and nothing waits for it.
TEST_F(StationOnVirtualTime, ABoardThatVanishesAfterItsRebootFrameIsUpdated) {
    host::SimCatalogSetup boards;
    boards.reboot_away = 24h;
    setup.count = 1;
    const std::vector<DeviceResult> results = run_station(boards);

    ASSERT_EQ(results.size(), 1u) << err;
    EXPECT_EQ(results[0].report.status, Status::Success) << err;
    EXPECT_NE(results[0].report.reason.find("it rebooted"), std::string::npos);
    EXPECT_EQ(totals.updated, 1u);
}

// Overlapping ranges: the board's check compares with the flash an update leaves (the TTS data's
// sectors over the image), so a board back from its reboot is current and not updated again.
TEST_F(StationOnVirtualTime, ABoardOfOverlappingRangesIsUpdatedOnce) {
    image = test_support::random_bytes(0x80000 + 0x1234, 63);
    std::copy(image.begin(), image.end(), img_file);
    layout = host::compute_layout(static_cast<uint32_t>(image.size()), 1000, "1MB");
    ASSERT_TRUE(layout.overlap);
    host::use_layout(layout);
    host::SimCatalogSetup boards;
    boards.reboot_away = 1s;
    interrupt_at(5s, 1h);
    run_station(boards);

    EXPECT_EQ(count_of(out, "[SIM0001] [IAP]: Erase @ 0x00008000"), 1u) << out;
    EXPECT_NE(err.find("hidiap: [SIM0001] already done in this station run"), std::string::npos)
        << err;
    EXPECT_EQ(totals.updated, 1u);
    EXPECT_TRUE(holds_the_files("SIM0001"));
}

// Slots by port: two boards without serial numbers and two with one serial between them are
// each updated once and recorded with their slot and port, and each is known again in its slot
// when it comes back from its reboot; the board on a port of no slot is left alone and named
// once, though it is seen on every look.
TEST_F(StationOnVirtualTime, SlotsServeBoardsWithoutOrWithRepeatedSerialsOncePerPlugging) {
    host::SimCatalogSetup boards;
    boards.arrivals = {0ms, 0ms, 500ms, 500ms, 0ms};
    boards.devices = 5;
    boards.serials = {"", "", "A1", "A1", "A1"};
    boards.ports = {"1-1", "1-2", "1-3", "1-4", "2-1"};
    boards.reboot_away = 1s;
    setup.slots = {{"s1", "1-1"}, {"s2", "1-2"}, {"s3", "1-3"}, {"s4", "1-4"}};
    std::vector<std::string> kept;
    setup.keep_record = [&](const host::DeviceInfo &d, host::RunReport &r,
                            const host::BoardPlace &place) {
        std::lock_guard<std::mutex> lock(mutex);
        kept.push_back(place.slot + "@" + d.port + ":" + d.serial + ":" +
                       std::string(host::status_words(r.status).record));
        return "id-" + std::to_string(kept.size());
    };
    interrupt_at(20s, 1h);
    const std::vector<DeviceResult> results = run_station(boards);

    ASSERT_EQ(results.size(), 4u) << err;
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(kept, (std::vector<std::string>{"s1@1-1::success", "s2@1-2::success",
                                              "s3@1-3:A1:success", "s4@1-4:A1:success"}));
    for (const DeviceResult &r : results) {
        EXPECT_EQ(r.tag, r.slot) << "a slot's board is tagged by its slot";
        EXPECT_EQ(count_of(out, "[" + r.slot + "] [IAP]: Erase @ 0x00008000"), 1u) << r.slot;
    }
    for (int board = 1; board <= 4; board++) {
        EXPECT_TRUE(catalog->flash_of_board(board) ==
                    test_support::expected_flash(image, tts, 0x80000))
            << board;
    }
    EXPECT_EQ(count_of(err, "is in no slot of the slot map; left alone"), 1u) << err;
    EXPECT_NE(err.find("sim:5 (serial A1) on port 2-1 is in no slot"), std::string::npos) << err;
    EXPECT_FALSE(catalog->flash_of_board(5)) << "the unmapped board was never opened";
    EXPECT_EQ(count_of(err, "verified current after its reboot); not counted again"), 4u) << err;
    EXPECT_NE(err.find("[s1] already done in this station run (no serial number in its slot"),
              std::string::npos)
        << err;
    EXPECT_EQ(totals.updated, 4u);
    EXPECT_EQ(totals.handled(), 4u);
}

// --port chooses the station's boards as --serial does: the board on another port is left.
TEST_F(StationOnVirtualTime, PortsChooseTheBoards) {
    host::SimCatalogSetup boards;
    boards.devices = 3;
    boards.ports = {"1-1", "1-2", "1-3"};
    setup.query.ports = {"1-3", "1-1"};
    interrupt_at(5s, 1h);
    const std::vector<DeviceResult> results = run_station(boards);
    ASSERT_EQ(results.size(), 2u) << err;
    EXPECT_TRUE(holds_the_files("SIM0001"));
    EXPECT_FALSE(catalog->flash_of("SIM0002")) << "never opened";
    EXPECT_TRUE(holds_the_files("SIM0003"));
}

// The station's words for its totals: its pace is the boards it updated (a board found current
// in a moment is no pace), and an interrupted board is not a failed one, in the totals line as
// in the status block.
TEST(StationTotals, PaceCountsUpdatedBoardsAndInterruptedOnesAreNotFailed) {
    host::StationTotals t;
    t.current = 1;
    EXPECT_EQ(host::station_totals_line(t, 0.0067),
              "hidiap: station: 0 updated, 1 current, 0 failed, 0 boards per hour\n");
    t.updated = 2;
    t.interrupted = 1;
    EXPECT_EQ(
        host::station_totals_line(t, 3600),
        "hidiap: station: 2 updated, 1 current, 0 failed, 1 interrupted, 2 boards per hour\n");

    std::string screen;
    host::StationStatus status([](std::string_view) {},
                               [&screen](std::string_view text) { screen.append(text); }, true, 0);
    host::StationTotals interrupted;
    interrupted.interrupted = 1;
    status.board_ended("SIM0001", "interrupted: interrupted (Ctrl-C)", interrupted);
    EXPECT_NE(screen.find("station: 0 updated, 0 current, 0 failed, 1 interrupted, 0 in progress"),
              std::string::npos)
        << screen;
}

// Without a slot map a terminal of 7 lines has room for 3 boards' rows: a fourth board takes the
// row of the board that passed longest ago, never a failed board's; a board back on its port
// takes that port's row; while every row is busy or failed, a board waits for one on a line of
// its own.
TEST(StationStatus, BoardRowsStayWithinTheTerminal) {
    std::string screen;
    host::StationStatus panel([](std::string_view) {},
                              [&screen](std::string_view text) { screen.append(text); }, true, 0,
                              7);
    const auto last_panel = [&screen] { return screen.substr(screen.rfind("station: ")); };
    host::StationTotals totals;
    for (const char *port : {"1-1", "1-2", "1-3"}) {
        panel.board_started(port, port, std::string("S") + port);
    }
    panel.board_ended("1-2", "updated", totals, "PASS");
    panel.board_ended("1-1", "no answer; re-plug to retry", totals, "FAIL");
    panel.board_ended("1-3", "updated", totals, "PASS");
    panel.board_started("1-4", "1-4", "S1-4");  // takes 1-2's row
    panel.board_started("1-3 again", "1-3", "S1-3");
    EXPECT_EQ(last_panel(),
              "station: 0 updated, 0 current, 0 failed, 2 in progress, 0 boards/h\033[K\n"
              "\r1-1   S1-1  FAIL        no answer; re-plug to retry\033[K\n"
              "\r1-4   S1-4  starting\033[K\n"
              "\r1-3   S1-3  starting\033[K\n");
    panel.board_started("1-5", "1-5", "S1-5");
    EXPECT_NE(last_panel().find("(1 more in progress: no row is free"), std::string::npos)
        << last_panel();
    panel.board_ended("1-4", "updated", totals, "PASS");
    panel.board_ended("1-5", "updated", totals, "PASS");  // gets 1-4's row for its result
    EXPECT_NE(last_panel().find("\r1-5   S1-5  PASS        updated"), std::string::npos)
        << last_panel();
    EXPECT_EQ(last_panel().find("more in progress"), std::string::npos) << last_panel();
}

}  // namespace
