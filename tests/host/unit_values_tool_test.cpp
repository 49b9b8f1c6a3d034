// Unit values as a station writes them: each board's own serial number and MAC address in its
// flash and its record, allocated in the records database, never the same twice, through
// failures, a used-up range and a station killed at any moment.
#include <signal.h>
#include <sqlite3.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "formats/unit_field.h"
#include "tool_fixture.h"

namespace {

// The fields of these tests, over placeholders the image reserves at 0x9000.
const std::vector<std::string> kFields = {
    "--unit-field", "serial=0x9000:text:SN{:08}", "--unit-field", "mac=0x9010:mac48",
    "--unit-field", "slot_id=0x9020:u32be",       "--unit-field", "key=0x9028:u64le"};
const std::vector<std::string> kRanges = {
    "--unit-range", "serial=1000-1999", "--unit-range", "mac=02:00:00:00:00:00-02:00:00:00:ff:ff",
    "--unit-range", "slot_id=7-100000", "--unit-range", "key=0x100000000-0x1ffffffff"};

class UnitValues : public Tool {
  protected:
    void SetUp() override {
        Tool::SetUp();
        std::fill(image.begin() + 0x9000, image.begin() + 0x9040, 0xFF);
        write_file("img.bin", image);
    }
    // A station over the image with the fields and ranges, its journal in the scratch folder.
    ProcessResult station(std::vector<std::string> extra, const ProcessOptions &given = {},
                          const std::string &token = "1MB") {
        std::vector<std::string> args = {"station", "--simulate", "--record", path("r.db")};
        args.insert(args.end(), kFields.begin(), kFields.end());
        args.insert(args.end(), extra.begin(), extra.end());
        args.insert(args.end(), {path("img.bin"), path("tts.bin"), token});
        ProcessOptions options = given;
        options.env.push_back("XDG_STATE_HOME=" + path("state"));
        return run_process(kTool, args, options);
    }
    std::vector<std::string> with_ranges(std::vector<std::string> extra) const {
        extra.insert(extra.end(), kRanges.begin(), kRanges.end());
        return extra;
    }
    // serial, outcome, units of every record, in the order they were kept.
    std::vector<std::array<std::string, 3>> records() const {
        std::vector<std::array<std::string, 3>> rows;
        sqlite3 *db = nullptr;
        EXPECT_EQ(sqlite3_open(path("r.db").c_str(), &db), SQLITE_OK);
        sqlite3_stmt *st = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(db,
                                     "SELECT serial, outcome, coalesce(units, '') FROM "
                                     "hidiap_records ORDER BY rowid",
                                     -1, &st, nullptr),
                  SQLITE_OK);
        while (st != nullptr && sqlite3_step(st) == SQLITE_ROW) {
            std::array<std::string, 3> row;
            for (int i = 0; i < 3; i++) {
                row[i] = reinterpret_cast<const char *>(sqlite3_column_text(st, i));
            }
            rows.push_back(row);
        }
        sqlite3_finalize(st);
        sqlite3_close(db);
        return rows;
    }
};

// The units of the device's outcome event.
nlohmann::json outcome_units(const std::string &out, const std::string &device) {
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        const nlohmann::json e = nlohmann::json::parse(line, nullptr, false);
        if (e.value("type", "") == "outcome" && e.value("device", "") == device) {
            return e.value("units", nlohmann::json());
        }
    }
    return nullptr;
}

std::vector<uint8_t> bytes_of(const char *source, const std::string &text) {
    const formats::UnitField f = *formats::parse_unit_field(source);
    return formats::encode_unit(f, *formats::parse_unit_value(f, text));
}

}  // namespace

// Three boards at once: each flash holds its own values where the fields lie and the image
// elsewhere, each record and outcome event names them, and they are the ranges' first. A board
// whose record names values and that still holds them is current, and takes no new value.
TEST_F(UnitValues, EachBoardHoldsItsOwnValuesAndItsRecordNamesThem) {
    const ProcessResult r = station(with_ranges(
        {"--sim-devices", "3", "--count", "3", "--json", "--sim-flash", path("flash.bin")}));
    ASSERT_EQ(r.exit_status, 0) << r.err;
    std::set<std::string> serials;
    for (const auto &[serial, outcome, units] : records()) {
        EXPECT_EQ(outcome, "success");
        const nlohmann::json u = nlohmann::json::parse(units);
        serials.insert(u["serial"].get<std::string>());
        std::vector<uint8_t> flash = read_file("flash." + serial + ".bin");
        ASSERT_GE(flash.size(), 0x9040u) << serial;
        std::vector<uint8_t> want = test_support::expected_flash(image, tts, 0x80000);
        for (const auto &[source, name] :
             std::vector<std::pair<const char *, const char *>>{{"s=0x9000:text:SN{:08}", "serial"},
                                                                {"m=0x9010:mac48", "mac"},
                                                                {"i=0x9020:u32be", "slot_id"},
                                                                {"k=0x9028:u64le", "key"}}) {
            const std::vector<uint8_t> b = bytes_of(source, u[name].get<std::string>());
            std::copy(b.begin(), b.end(),
                      want.begin() + formats::parse_unit_field(source)->address);
        }
        EXPECT_TRUE(flash == want) << serial << " holds other bytes than its image and values";
        EXPECT_EQ(outcome_units(r.out, serial), u) << serial;
    }
    EXPECT_EQ(serials, (std::set<std::string>{"SN00001000", "SN00001001", "SN00001002"}));

    // SIM0001 again, holding what it was given: its records' values are verified and kept.
    std::string first_units;
    for (const auto &[serial, outcome, units] : records()) {
        first_units = serial == "SIM0001" ? units : first_units;
    }
    const ProcessResult again =
        station(with_ranges({"--count", "1", "--sim-flash-from", path("flash.SIM0001.bin")}));
    ASSERT_EQ(again.exit_status, 0) << again.err;
    ASSERT_EQ(records().size(), 4u);
    EXPECT_EQ(records().back()[1], "current");
    EXPECT_EQ(records().back()[2], first_units);
    const ProcessResult next = station(with_ranges({"--dry-run"}));
    EXPECT_NE(next.out.find("Unit field serial: 0x009000, 10 bytes, values 1000-1999; next free: "
                            "SN00001003"),
              std::string::npos)
        << next.out << next.err;
}

// Nothing is sent when the fields or their values cannot work.
TEST_F(UnitValues, FieldsAndSourcesThatCannotWorkAreRefusedBeforeAnythingIsSent) {
    const auto refused = [&](std::vector<std::string> args, const std::string &why,
                             const std::string &record = "r.db") {
        args.insert(args.begin(), {"station", "--simulate", "--record", path(record)});
        args.insert(args.end(), {path("img.bin"), path("tts.bin"), "1MB"});
        ProcessOptions o;
        o.env.push_back("XDG_STATE_HOME=" + path("state"));
        const ProcessResult r = run_process(kTool, args, o);
        EXPECT_EQ(r.exit_status, 2) << why << ": " << r.err;
        EXPECT_NE(r.err.find(why), std::string::npos) << r.err;
        EXPECT_EQ(r.out.find("[IAP]"), std::string::npos) << r.out;
    };
    refused({"--unit-field", "n=0x8ffe:u32le", "--unit-range", "n=1-9"}, "other than 0xFF");
    refused({"--unit-field", "n=0x7000:u32le", "--unit-range", "n=1-9"},
            "outside the image's programmed range");
    refused({"--unit-field", "n=0x9000:u32le"}, "has no values");
    refused({"--unit-field", "n=0x9000:u32le", "--unit-range", "m=1-9"}, "no unit field");
    refused({"--unit-field", "n=0x9000:text:{:02}", "--unit-range", "n=1-100"}, "does not fit");
    refused({"--unit-field", "n=0x9000:u32le", "--unit-range", "n=1-9"}, "not in JSON Lines",
            "r.jsonl");
    // A large image reaches into the TTS range: a field there would not be the board's own.
    image.resize(0x81000, 0xFF);
    write_file("img.bin", image);
    refused({"--unit-field", "n=0x80010:u32le", "--unit-range", "n=1-9"}, "lies in the TTS range");
    const ProcessResult no_records =
        run_process(kTool, {"station", "--simulate", "--unit-field", "n=0x9000:u32le",
                            "--unit-range", "n=1-9", path("img.bin"), path("tts.bin"), "1MB"});
    EXPECT_EQ(no_records.exit_status, 2);
    EXPECT_NE(no_records.err.find("give --record"), std::string::npos) << no_records.err;
}

// A board that failed before the page holding its values was sent gives them back; one that
// failed after keeps them in its failed record, and no other board gets them. Once the range is
// used up the station stops taking boards.
TEST_F(UnitValues, FailedBoardsKeepTheirValuesOnlyWhenSentAndAUsedUpRangeEndsTheStation) {
    const ProcessResult r =
        station({"--unit-range", "serial=1000-1002", "--unit-range", "mac=2-4", "--unit-range",
                 "slot_id=1-3", "--unit-range", "key=1-3", "--sim-arrivals", "0,400,800,1200,1600",
                 "--sim-fault", "SIM0001/unplug:any:1", "--sim-fault", "SIM0002/unplug:any:120"});
    EXPECT_NE(r.err.find("the unit values are used up"), std::string::npos) << r.err;
    std::map<std::string, std::pair<std::string, std::string>> by_serial;
    for (const auto &[serial, outcome, units] : records()) {
        by_serial[serial] = {outcome, units};
    }
    ASSERT_EQ(by_serial.size(), 4u) << r.err;
    EXPECT_EQ(by_serial["SIM0001"], std::make_pair(std::string("failed"), std::string()));
    EXPECT_EQ(by_serial["SIM0002"].first, "failed");
    std::set<std::string> given;
    for (const char *s : {"SIM0002", "SIM0003", "SIM0004"}) {
        ASSERT_FALSE(by_serial[s].second.empty()) << s;
        given.insert(nlohmann::json::parse(by_serial[s].second)["serial"].get<std::string>());
    }
    EXPECT_EQ(given, (std::set<std::string>{"SN00001000", "SN00001001", "SN00001002"}));
}

// Killed at moments before and after a board's values reached its flash, then started again: no
// value is handed to two boards, and every success record names its values.
TEST_F(UnitValues, AStationKilledAtAnyMomentNeverHandsAValueOutTwice) {
    std::map<std::string, std::string> holder;  // value: the board it was handed to
    const char *moments[] = {"\"event\":\"units\"", "\"phase\":\"write\"",
                             "\"phase\":\"verify\",\"file\":\"image\"", "\"phase\":\"reboot\""};
    int board = 0;
    for (const char *moment : moments) {
        ProcessOptions o;
        o.signals = {{moment, SIGKILL}};
        const ProcessResult r =
            station(with_ranges({"--json", "--unit-block", "3", "--sim-devices", "1",
                                 "--sim-serials", "B" + std::to_string(++board)}),
                    o);
        EXPECT_EQ(r.exit_status, -1) << "not killed at " << moment << ": " << r.err;
        for (size_t at = r.out.find("\"event\":\"units\""); at != std::string::npos;
             at = r.out.find("\"event\":\"units\"", at + 1)) {
            const size_t open = r.out.find("\"serial\":\"", at) + 10;
            const std::string value = r.out.substr(open, r.out.find('"', open) - open);
            EXPECT_TRUE(holder.emplace(value, "B" + std::to_string(board)).second)
                << value << " handed out again after a kill at " << moment;
        }
    }
    const ProcessResult last =
        station(with_ranges({"--json", "--sim-devices", "2", "--count", "2"}));
    ASSERT_EQ(last.exit_status, 0) << last.err;
    for (const auto &[serial, outcome, units] : records()) {
        ASSERT_EQ(outcome, "success");
        ASSERT_FALSE(units.empty()) << serial;
        const std::string value = nlohmann::json::parse(units)["serial"];
        EXPECT_TRUE(holder.emplace(value, serial).second || holder[value] == serial)
            << value << " is " << holder[value] << "'s and " << serial << "'s";
    }
}

// A package's manifest carries the fields (package make checks them as the station would), a
// station running it writes them, and the result hook gets the board's values.
TEST_F(UnitValues, APackagesFieldsAreWrittenAndTheResultHookGetsTheValues) {
    const ProcessResult made =
        run_process(kTool, {"package", "make", path("fw.zip"), path("img.bin"), path("tts.bin"),
                            "1MB", "--unit-field", "serial=0x9000:u32le"});
    ASSERT_EQ(made.exit_status, 0) << made.err;
    const ProcessResult over_code =
        run_process(kTool, {"package", "make", path("bad.zip"), path("img.bin"), path("tts.bin"),
                            "1MB", "--unit-field", "serial=0x8ffe:u32le"});
    EXPECT_EQ(over_code.exit_status, 2);
    EXPECT_FALSE(fs::exists(path("bad.zip")));
    std::ofstream(path("hook")) << "#!/bin/sh\necho \"$HIDIAP_UNIT_SERIAL $HIDIAP_UNITS\" > "
                                << path("hook.out") << "\n";
    fs::permissions(path("hook"), fs::perms::owner_all);
    ProcessOptions o;
    o.env.push_back("XDG_STATE_HOME=" + path("state"));
    const ProcessResult r =
        run_process(kTool,
                    {"station", "--simulate", "--count", "1", "--record", path("r.db"),
                     "--unit-range", "serial=41-50", "--on-result", path("hook"), "--sim-flash",
                     path("flash.bin"), path("fw.zip")},
                    o);
    ASSERT_EQ(r.exit_status, 0) << r.err;
    std::ifstream in(path("hook.out"));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "41 {\"serial\":\"41\"}\n");
    const std::vector<uint8_t> flash = read_file("flash.SIM0001.bin");
    ASSERT_GE(flash.size(), 0x9004u);
    EXPECT_EQ(std::vector<uint8_t>(flash.begin() + 0x9000, flash.begin() + 0x9004),
              (std::vector<uint8_t>{41, 0, 0, 0}));
}
