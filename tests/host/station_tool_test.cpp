// The production station, --verify and --record as an operator runs them, against simulated
// boards that arrive over time and leave on their reboot.
#include <signal.h>
#include <sqlite3.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "tool_fixture.h"

namespace {

size_t count_of(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size()) {
        n++;
    }
    return n;
}

class Station : public Tool {
  protected:
    ProcessResult run(std::vector<std::string> args, const ProcessOptions &options = {}) {
        args.insert(args.begin(), {"--simulate", "--no-wait"});
        args.insert(args.end(), {path("img.bin"), path("tts.bin"), "1MB"});
        return run_process(kTool, args, options);
    }
    std::vector<nlohmann::json> records(const std::string &name) const {
        std::vector<nlohmann::json> lines;
        std::ifstream in(path(name));
        for (std::string line; std::getline(in, line);) {
            lines.push_back(nlohmann::json::parse(line));
        }
        return lines;
    }
    // A full update's flash, for boards that already hold the files.
    void make_current_flash() { ASSERT_EQ(run({"--sim-flash", path("full.bin")}).exit_status, 0); }
    std::vector<uint8_t> expected() const {
        return test_support::expected_flash(image, tts, 0x80000);
    }
};

}  // namespace

// Each board is updated once with the right flash, though each comes back after its reboot
// (same serial, same flash) while the station still runs; one record per board.
TEST_F(Station, BoardsArrivingOneAfterAnotherAreEachUpdatedOnce) {
    const ProcessResult r =
        run({"--station", "--count", "3", "--sim-arrivals", "0,300,600", "--sim-reboot-away", "100",
             "--sim-flash", path("flash.bin"), "--record", path("r.jsonl")});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    for (const char *serial : {"SIM0001", "SIM0002", "SIM0003"}) {
        const std::string tag = "[" + std::string(serial) + "] ";
        EXPECT_EQ(count_of(r.out, tag + "[IAP]: Erase @ 0x00008000"), 1u) << serial;
        EXPECT_TRUE(read_file("flash." + std::string(serial) + ".bin") == expected()) << serial;
    }
    EXPECT_NE(r.err.find("hidiap: [SIM0001] already done in this station run"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("it rebooted"), std::string::npos);
    EXPECT_NE(r.err.find("hidiap: station: 3 updated, 0 current, 0 failed, "), std::string::npos);
    const auto lines = records("r.jsonl");
    ASSERT_EQ(lines.size(), 3u);
    for (const nlohmann::json &rec : lines) {
        EXPECT_EQ(rec["outcome"], "success");
        EXPECT_EQ(rec["bytes_programmed"], 8448);
        EXPECT_EQ(rec["image_crc"], jamcrc_hex(expected(), 0x8000, 7424));
        EXPECT_EQ(rec["tts_crc"], jamcrc_hex(expected(), 0x80000, 1024));
        EXPECT_EQ(rec["image_size"], 40000);
        EXPECT_EQ(rec["token"], "1MB");
        EXPECT_EQ(rec["image_sha256"].get<std::string>().size(), 64u);
    }
}

// A board that already holds both files gets no unlock, erase, page or reboot frame, and its
// record (here in SQLite) says current.
TEST_F(Station, CurrentBoardIsRecordedCurrentAndLeftAlone) {
    make_current_flash();
    const ProcessResult r = run({"--station", "--count", "1", "--sim-flash-from", path("full.bin"),
                                 "--record", path("r.db")});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out.find("flash unlock"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Erase @"), std::string::npos);
    EXPECT_EQ(r.out.find("flash reboot"), std::string::npos);
    EXPECT_NE(r.out.find("[SIM0001] Firmware already current !"), std::string::npos);
    EXPECT_NE(r.err.find("0 updated, 1 current, 0 failed"), std::string::npos) << r.err;

    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(path("r.db").c_str(), &db), SQLITE_OK);
    sqlite3_stmt *q = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db,
                                 "SELECT outcome, serial, bytes_programmed, cause, tts_crc "
                                 "FROM hidiap_records",
                                 -1, &q, nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_step(q), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char *>(sqlite3_column_text(q, 0)), "current");
    EXPECT_STREQ(reinterpret_cast<const char *>(sqlite3_column_text(q, 1)), "SIM0001");
    EXPECT_EQ(sqlite3_column_int(q, 2), 0);
    EXPECT_EQ(sqlite3_column_type(q, 3), SQLITE_NULL);
    EXPECT_EQ(reinterpret_cast<const char *>(sqlite3_column_text(q, 4)),
              jamcrc_hex(expected(), 0x80000, 1024));
    EXPECT_EQ(sqlite3_step(q), SQLITE_DONE) << "one record";
    sqlite3_finalize(q);
    sqlite3_close(db);
}

// One board failing holds up no other; its line says what to do; the run's status is 1.
TEST_F(Station, OneFailingBoardAmongHealthyOnes) {
    const ProcessResult r =
        run({"--station", "--count", "3", "--sim-arrivals", "0x3", "--sim-fault",
             "SIM0002/drop:page:3", "--sim-flash", path("flash.bin")});
    EXPECT_EQ(r.exit_status, 1) << r.err;
    EXPECT_NE(r.err.find("hidiap: [SIM0002] update failed (timeout): "), std::string::npos);
    EXPECT_NE(r.err.find("; re-plug the board to retry\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("hidiap: station: 2 updated, 0 current, 1 failed, "), std::string::npos);
    EXPECT_TRUE(read_file("flash.SIM0001.bin") == expected());
    EXPECT_TRUE(read_file("flash.SIM0003.bin") == expected());
}

// Four boards at once, two wanted: never more than two are started.
TEST_F(Station, CountStartsNoMoreBoardsThanNeeded) {
    const ProcessResult r = run({"--station", "--count", "2", "--sim-arrivals", "0x4"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(count_of(r.out, "Product String"), 2u) << r.out;
    EXPECT_EQ(count_of(r.out, "Firmware updated successfully !"), 2u);
    EXPECT_NE(r.err.find("hidiap: station: 2 updated"), std::string::npos);
}

// The first Ctrl-C takes no new board (the second arrives meanwhile) and lets the one in
// progress finish; a second one interrupts it.
TEST_F(Station, FirstCtrlCFinishesTheBoardsInProgressAndASecondInterruptsThem) {
    // The update's image check answers 3 s late: the signals come while it waits.
    const std::vector<std::string> args = {"--station", "--sim-arrivals", "0,500", "--sim-fault",
                                           "SIM0001/delay:check:3:300"};
    const std::string checking = "[SIM0001] [IAP]: flash check from 00008000";
    ProcessOptions once;
    once.signals = {{checking, SIGINT}};
    const ProcessResult finished = run(args, once);
    EXPECT_EQ(finished.exit_status, 0) << finished.err;
    EXPECT_NE(finished.err.find("hidiap: station stopping: no new boards; 1 in progress"),
              std::string::npos)
        << finished.err;
    EXPECT_NE(finished.out.find("[SIM0001] Firmware updated successfully !"), std::string::npos);
    EXPECT_EQ(finished.out.find("SIM0002"), std::string::npos) << "no board taken after Ctrl-C";

    ProcessOptions twice;
    twice.signals = {{checking, SIGINT}, {"hidiap: station stopping", SIGINT}};
    const ProcessResult interrupted = run(args, twice);
    EXPECT_EQ(interrupted.exit_status, 130) << interrupted.err;
    EXPECT_NE(interrupted.err.find("hidiap: [SIM0001] update interrupted (Ctrl-C) after "),
              std::string::npos)
        << interrupted.err;
    EXPECT_NE(interrupted.err.find("0 updated, 0 current, 0 failed, 1 interrupted"),
              std::string::npos);
}

TEST_F(Station, VerifyComparesWithoutWriting) {
    make_current_flash();
    const ProcessResult same =
        run({"--verify", "--sim-flash-from", path("full.bin"), "--record", path("r.jsonl")});
    EXPECT_EQ(same.exit_status, 0) << same.err;
    EXPECT_EQ(same.out.find("flash unlock"), std::string::npos);
    EXPECT_NE(same.err.find("hidiap: verify succeeded"), std::string::npos);

    std::vector<uint8_t> older = read_file("full.bin");
    older[0x9010] ^= 0xFF;  // the image's second sector
    write_file("older.bin", older);
    const ProcessResult differs = run({"--verify", "--skip-unchanged", "--sim-flash-from",
                                       path("older.bin"), "--record", path("r.jsonl")});
    EXPECT_EQ(differs.exit_status, 1);
    for (const char *frame : {"flash unlock", "Erase @", "flash reboot"}) {
        EXPECT_EQ(differs.out.find(frame), std::string::npos) << frame;
    }
    EXPECT_NE(differs.err.find("the image range 0x008000-0x009d00 differs: device 0x"),
              std::string::npos)
        << differs.err;
    EXPECT_NE(differs.err.find(", sectors 0x009000\n"), std::string::npos) << differs.err;
    const auto lines = records("r.jsonl");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["outcome"], "current");
    EXPECT_EQ(lines[1]["outcome"], "failed");
    EXPECT_EQ(lines[1]["cause"], "differs");
}

// A board that leaves the bus once its reboot frame is out has rebooted: updated, in any mode.
TEST_F(Station, BoardGoneRightAfterItsRebootIsUpdated) {
    const ProcessResult r = run({"--sim-reboot-away", "5000", "--record", path("r.jsonl")});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_NE(r.err.find("update succeeded: 8448 of 8448 bytes"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("it rebooted"), std::string::npos);
    EXPECT_EQ(records("r.jsonl").at(0)["outcome"], "success");
}

// Refused before the HID library starts: nothing is opened or sent, the file is named.
TEST_F(Station, UnusableRecordFileIsRefusedFirst) {
    for (const std::string &file : {path("no/such/dir/r.jsonl"), path("no/such/dir/r.db")}) {
        const ProcessResult r = run({"--record", file});
        EXPECT_EQ(r.exit_status, 2) << file;
        EXPECT_NE(r.err.find("--record: cannot use '" + file + "'"), std::string::npos) << r.err;
        EXPECT_EQ(r.out.find("Product String"), std::string::npos);
    }
}

// A last line cut short by a power loss stays as it is; the next record starts on a new line.
// Two processes appending at once never mix their lines.
TEST_F(Station, RecordsAppendOnWholeLinesOnly) {
    { std::ofstream(path("r.jsonl"), std::ios::binary) << "{\"id\":\"cut\",\"outc"; }
    ProcessResult a, b;
    std::thread other([&] {
        a = run({"--sim-devices", "4", "--all", "--record", path("r.jsonl")});
    });
    b = run({"--sim-devices", "4", "--all", "--record", path("r.jsonl")});
    other.join();
    ASSERT_EQ(a.exit_status, 0) << a.err;
    ASSERT_EQ(b.exit_status, 0) << b.err;
    std::ifstream in(path("r.jsonl"));
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "{\"id\":\"cut\",\"outc");
    size_t whole = 0;
    while (std::getline(in, line)) {
        EXPECT_EQ(nlohmann::json::parse(line)["outcome"], "success") << line;
        whole++;
    }
    EXPECT_EQ(whole, 8u);
}

// At a terminal without a slot map the panel has a fixed row per board, by its port, in the order
// the boards came: in progress with its phase, then PASS, or FAIL with the reason and what to do.
// A board back on its port after its reboot takes its row again. The panel is gone before the
// table at the end.
TEST_F(Station, PanelWithoutASlotMapHasARowPerBoard) {
    ProcessOptions o;
    o.terminal = true;
    o.limit = std::chrono::milliseconds(30000);
    o.env = {"XDG_STATE_HOME=" + path("state")};
    // The first board is back from its reboot long before the last one ends.
    const ProcessResult r =
        run({"--station", "--count", "3", "--sim-arrivals", "0,300,1500", "--sim-reboot-away",
             "100", "--sim-timing", "usb-fs", "--sim-fault", "SIM0002/drop:page:2"},
            o);
    const std::string &s = r.screen;
    EXPECT_EQ(r.exit_status, 1) << s;
    EXPECT_NE(s.find("9-1   SIM0001  write  image ["), std::string::npos) << s;
    const size_t table = s.find("DEVICE   OUTCOME");
    ASSERT_NE(table, std::string::npos) << s;
    const size_t last = s.rfind("station: 2 updated, 0 current, 1 failed, 0 in progress", table);
    ASSERT_NE(last, std::string::npos) << s;
    const std::string panel = s.substr(last, table - last);
    const size_t one =
        panel.find("9-1   SIM0001  PASS        already done (back after its reboot)");
    const size_t two = panel.find(
        "9-2   SIM0002  FAIL        the page write at 0x008100 was not "
        "answered; sent once");
    const size_t three = panel.find("9-3   SIM0003  PASS        updated");
    EXPECT_LT(one, two) << panel;
    EXPECT_LT(two, three) << panel;
    EXPECT_NE(three, std::string::npos) << panel;
    EXPECT_NE(panel.find("; re-plug to retry", two), std::string::npos) << panel;
    EXPECT_EQ(count_of(panel, "9-1 "), 1u) << panel;
    EXPECT_EQ(s.find("boards/h", table), std::string::npos) << "the panel is gone by then";
}

// --json: each board's events carry its tag; the station says which boards it saw, which one it
// skipped as already done after its reboot, and its totals.
TEST_F(Station, JsonStationEvents) {
    const ProcessResult r = run({"--json", "--station", "--count", "2", "--sim-arrivals", "0,400",
                                 "--sim-reboot-away", "100"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    std::map<std::string, std::vector<std::string>> station;  // by device; "-" for the station
    std::map<std::string, std::string> outcome;
    std::string last;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        const nlohmann::json e = nlohmann::json::parse(line);
        last = e["type"].get<std::string>() + " " + e.value("event", std::string());
        if (e["type"] == "station") {
            station[e.value("device", std::string("-"))].push_back(e["event"]);
        } else if (e["type"] == "outcome") {
            outcome[e["device"]] = e["status"];
        }
    }
    using Events = std::vector<std::string>;
    EXPECT_EQ(station["SIM0001"], (Events{"seen", "seen", "already_done"})) << r.out;
    EXPECT_EQ(station["SIM0002"], (Events{"seen"}));
    EXPECT_EQ(last, "station totals");
    EXPECT_EQ(outcome["SIM0001"], "success");
    EXPECT_EQ(outcome["SIM0002"], "success");
    EXPECT_NE(r.out.find(R"("event":"totals","updated":2,"current":0,"failed":0)"),
              std::string::npos);
}

// A checking station writes nothing: boards that differ fail with the cause differs.
TEST_F(Station, CheckingStationWritesNothing) {
    const ProcessResult r = run({"--station", "--verify", "--count", "2", "--sim-arrivals", "0x2",
                                 "--record", path("r.jsonl")});
    EXPECT_EQ(r.exit_status, 1) << r.err;
    for (const char *frame : {"flash unlock", "Erase @", "flash reboot"}) {
        EXPECT_EQ(r.out.find(frame), std::string::npos) << frame;
    }
    EXPECT_NE(r.err.find("0 updated, 0 current, 2 failed"), std::string::npos) << r.err;
    const auto lines = records("r.jsonl");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["cause"], "differs");
    EXPECT_EQ(lines[1]["cause"], "differs");
}

TEST_F(Station, CommandLinesThatCannotWorkAreRefused) {
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"--station", "--wait", "5"},
          {"--station", "--all"},
          {"--count", "2"},
          {"--station", "--sim-arrivals", "0,soon"},
          {"--sim-arrivals", "0", "--sim-devices", "2"}}) {
        const ProcessResult r = run(args);
        EXPECT_EQ(r.exit_status, 2) << args[0] << " " << args[1];
        EXPECT_EQ(r.out.find("Product String"), std::string::npos);
    }
}

// A fixture of three slots as an operator runs it: the slot map from a file, the run's fields on
// the command line; each record says where its board sat and carries the fields, the table has
// the slot and the port, and the board on a fourth port is named and left alone.
TEST_F(Station, SlotsAndFieldsGoIntoEveryRecord) {
    std::ofstream(path("fixture.slots")) << "# bench 3\nleft 1-1\nmiddle 1-2  # loose clip\n"
                                            "right 1-3\n";
    const ProcessResult r =
        run({"--station", "--count", "3", "--sim-arrivals", "0,0,100,200", "--sim-ports",
             "1-3,1-2,4-1,1-1", "--sim-serials", ",X,X,X", "--slots", path("fixture.slots"),
             "--field", "work_order=WO-1234", "--field", "operator=ann", "--record",
             path("r.jsonl"), "--log-dir", path("logs")});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(count_of(r.err, "on port 4-1 is in no slot of the slot map; left alone"), 1u)
        << r.err;
    std::map<std::string, std::string> port_of_slot;
    for (const nlohmann::json &rec : records("r.jsonl")) {
        EXPECT_EQ(rec["outcome"], "success");
        EXPECT_EQ(rec["fields"], nlohmann::json({{"operator", "ann"}, {"work_order", "WO-1234"}}));
        port_of_slot[rec["slot"].get<std::string>()] = rec["port"].get<std::string>();
        // Its log holds its own engine lines, which standard output (no terminal) keeps too.
        const std::string log = rec["log"];
        EXPECT_NE(log.find("-" + rec["slot"].get<std::string>() + "-"), std::string::npos) << log;
        std::ifstream in(log);
        const std::string text((std::istreambuf_iterator<char>(in)), {});
        EXPECT_NE(text.find("[IAP]: Erase @ 0x00008000"), std::string::npos) << log;
        EXPECT_EQ(text.find("["), text.find("[IAP]")) << "no other board's tag: " << text;
    }
    EXPECT_EQ(port_of_slot, (std::map<std::string, std::string>{
                                {"left", "1-1"}, {"middle", "1-2"}, {"right", "1-3"}}));
    EXPECT_NE(r.err.find("SLOT    DEVICE"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("[middle] [IAP]: Erase @ 0x00008000"), std::string::npos);

    const ProcessResult twice = run({"--station", "--slots", path("twice.slots")});
    EXPECT_EQ(twice.exit_status, 2);
    std::ofstream(path("twice.slots")) << "a 1-1\nb 1-1\n";
    const ProcessResult refused = run({"--station", "--slots", path("twice.slots")});
    EXPECT_EQ(refused.exit_status, 2);
    EXPECT_NE(refused.err.find("line 2: the port 1-1 is in two slots"), std::string::npos)
        << refused.err;
    EXPECT_EQ(run({"--field", "work order=1"}).exit_status, 2);
}

// slots learn: each board plugged in names the next slot by its port; one already there when
// it starts is not taken. The map it writes is the station's.
TEST_F(Station, SlotsLearnNamesEachSlotByThePortOfTheNextBoard) {
    const ProcessResult r =
        run_process(kTool, {"slots", "learn", "--simulate", "--count", "2", "--sim-arrivals",
                            "0,300,600", "--sim-ports", "3-1,1-4,1-2.2", path("learned.slots")});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_NE(r.err.find("plug a board into slot1"), std::string::npos) << r.err;
    const std::vector<uint8_t> learned = read_file("learned.slots");
    EXPECT_EQ(std::string(learned.begin(), learned.end()),
              "# hidiap slot map: a slot's name and its USB port path\nslot1 1-4\nslot2 1-2.2\n");
    const ProcessResult again =
        run_process(kTool, {"slots", "learn", "--simulate", "--count", "1", path("learned.slots")});
    EXPECT_EQ(again.exit_status, 2);
    EXPECT_NE(again.err.find("exists"), std::string::npos);

    const ProcessResult list = run_process(
        kTool, {"list", "--simulate", "--sim-devices", "2", "--sim-ports", "1-4,1-2.2"});
    EXPECT_EQ(list.out,
              "sim:1\t9999:8888\tSIM0001\thidiap\tSimulated IAP device\t0\t1-4\n"
              "sim:2\t9999:8888\tSIM0002\thidiap\tSimulated IAP device\t0\t1-2.2\n");
    const ProcessResult chosen =
        run({"--json", "--sim-devices", "2", "--sim-ports", "1-4,1-2.2", "--port", "1-2.2"});
    EXPECT_EQ(chosen.exit_status, 0) << chosen.err;
    EXPECT_NE(chosen.out.find(R"("path":"sim:2","port":"1-2.2")"), std::string::npos) << chosen.out;
}

// The result hook of three slots: the first's program sees the board in its variables and its
// output comes tagged; the second's fails and the third's outstays its time and is killed. Each
// board's outcome stands, and the totals say the two hooks failed.
TEST_F(Station, TheResultHookSeesTheBoardAndItsFailuresAreCounted) {
    std::ofstream(path("fixture.slots")) << "s1 1-1\ns2 1-2\ns3 1-3\n";
    const std::string hook = path("hook");
    std::ofstream(hook) << "#!/bin/sh\n"
                           "case \"$HIDIAP_SLOT\" in\n"
                           "  s1) env | grep '^HIDIAP_' | sort > '"
                        << path("s1.env")
                        << "'; echo \"label for $HIDIAP_SERIAL\" ;;\n"
                           "  s2) echo 'no paper' >&2; exit 3 ;;\n"
                           "  s3) sleep 30 ;;\n"
                           "esac\n";
    fs::permissions(hook, fs::perms::owner_all);
    const auto started = std::chrono::steady_clock::now();
    const ProcessResult r =
        run({"--station", "--count", "3", "--sim-arrivals", "0x3", "--sim-ports", "1-1,1-2,1-3",
             "--slots", path("fixture.slots"), "--field", "lot=7", "--record", path("r.jsonl"),
             "--on-result", hook, "--on-result-timeout", "1"});
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_NE(r.err.find("hidiap: [s1] on-result: label for SIM0001\n"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("hidiap: [s2] on-result: no paper\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("hidiap: [s2] result hook failed: " + hook + ": exit status 3"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("hidiap: [s3] result hook failed: " + hook +
                         ": killed after 1 s (--on-result-timeout)"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("hidiap: station: 3 updated, 0 current, 0 failed, 2 result hooks failed"),
              std::string::npos)
        << r.err;
    const std::vector<uint8_t> seen = read_file("s1.env");
    const std::string env(seen.begin(), seen.end());
    std::string id;
    for (const nlohmann::json &rec : records("r.jsonl")) {
        if (rec["slot"] == "s1") {
            id = rec["id"];
        }
    }
    for (const std::string &want :
         {std::string("HIDIAP_OUTCOME=success\n"), std::string("HIDIAP_SLOT=s1\n"),
          std::string("HIDIAP_PORT=1-1\n"), std::string("HIDIAP_SERIAL=SIM0001\n"),
          std::string("HIDIAP_CAUSE=\n"), "HIDIAP_RECORD_ID=" + id + "\n",
          std::string("HIDIAP_FIELD_LOT=7\n"), std::string("HIDIAP_FIELDS={\"lot\":\"7\"}\n")}) {
        EXPECT_NE(env.find(want), std::string::npos) << want << " in\n" << env;
    }
}
