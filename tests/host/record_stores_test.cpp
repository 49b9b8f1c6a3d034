// The local stores as a station uses them: every field comes back from the JSON Lines file and
// from SQLite; the kind of a destination is told by its name in any case; what cannot keep a
// record is refused when it is opened; an SQLite file of an earlier hidiap is adopted and one no
// hidiap wrote refused; a file removed or replaced during the run is made again with the records
// this run wrote.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "host/records/record_fields.h"
#include "host/records/record_json.h"
#include "host/records/record_writer.h"
#include "host/records/sqlite_records.h"
#include "record_samples.h"
#include "unit_samples.h"

namespace {

namespace fs = std::filesystem;
using test_support::distinct_record;
using test_support::expect_same_record;

class RecordStores : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("hidiap_stores_test_" + std::to_string(getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string path(const std::string &name) const { return (dir / name).string(); }

    std::unique_ptr<host::RecordWriter> open(const std::string &target) {
        auto writer = host::open_record_writer(
            {target, "", [this](const std::string &line) { notes += line; }, false});
        last_error = writer.ok() ? "" : writer.message();
        return writer.ok() ? std::move(*writer) : nullptr;
    }
    static host::DeviceRecord record(const std::string &serial) {
        host::DeviceRecord r = distinct_record(host::new_record_id().value());
        r.serial = serial;
        return r;
    }
    std::vector<host::DeviceRecord> json_records(const std::string &name) const {
        std::vector<host::DeviceRecord> records;
        std::ifstream in(path(name));
        for (std::string line; std::getline(in, line);) {
            const auto r = host::record_from_json_line(line);
            EXPECT_TRUE(r.ok()) << line;
            if (r.ok()) {
                records.push_back(*r);
            }
        }
        return records;
    }
    // Every record of an SQLite file, read on a connection of the test's own.
    std::vector<host::DeviceRecord> sqlite_records(const std::string &name) const {
        sqlite3 *raw = nullptr;
        EXPECT_EQ(sqlite3_open(path(name).c_str(), &raw), SQLITE_OK);
        host::SqliteOwner db(raw);
        std::vector<std::string> ids;
        sqlite3_stmt *q = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(db.get(), "SELECT id FROM hidiap_records ORDER BY rowid", -1,
                                     &q, nullptr),
                  SQLITE_OK);
        while (sqlite3_step(q) == SQLITE_ROW) {
            ids.emplace_back(reinterpret_cast<const char *>(sqlite3_column_text(q, 0)));
        }
        sqlite3_finalize(q);
        auto records = host::read_sqlite_records(db.get(), ids);
        EXPECT_TRUE(records.ok()) << records.message();
        return records.ok() ? *records : std::vector<host::DeviceRecord>{};
    }
    std::string sqlite_text(const std::string &name, const std::string &sql) const {
        sqlite3 *raw = nullptr;
        EXPECT_EQ(sqlite3_open(path(name).c_str(), &raw), SQLITE_OK);
        host::SqliteOwner db(raw);
        std::string text;
        sqlite3_exec(
            db.get(), sql.c_str(),
            [](void *out, int n, char **values, char **) {
                for (int i = 0; i < n; i++) {
                    *static_cast<std::string *>(out) += values[i] != nullptr ? values[i] : "NULL";
                    *static_cast<std::string *>(out) += i + 1 < n ? "|" : "\n";
                }
                return 0;
            },
            &text, nullptr);
        return text;
    }
    std::string content(const std::string &name) const {
        std::ifstream in(path(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // A result's value, its failure said when it has none.
    template <typename T>
    static T ok(base::Result<T> result) {
        EXPECT_TRUE(result.ok()) << result.message();
        return result.ok() ? std::move(*result) : T{};
    }
    static std::vector<std::string> serials(const std::vector<host::DeviceRecord> &records) {
        std::vector<std::string> out;
        for (const auto &r : records) {
            out.push_back(r.serial);
        }
        return out;
    }

    fs::path dir;
    std::string notes;
    std::string last_error;
};

using Serials = std::vector<std::string>;

}  // namespace

TEST_F(RecordStores, EveryFieldComesBackFromEachLocalStore) {
    const host::DeviceRecord r = distinct_record();
    for (const std::string name : {"r.jsonl", "r.db"}) {
        auto writer = open(path(name));
        ASSERT_TRUE(writer) << last_error;
        ASSERT_TRUE(writer->append(r).ok());
        EXPECT_EQ(writer->finish(), "");
    }
    const auto from_json = json_records("r.jsonl");
    ASSERT_EQ(from_json.size(), 1u);
    expect_same_record(r, from_json[0], "JSON Lines");
    const auto from_sqlite = sqlite_records("r.db");
    ASSERT_EQ(from_sqlite.size(), 1u);
    expect_same_record(r, from_sqlite[0], "SQLite");
    EXPECT_EQ(sqlite_text("r.db", "SELECT max(version) FROM hidiap_schema"),
              std::to_string(host::kRecordsSchemaVersion) + "\n");
}

// A file of schema version 1 is upgraded in place: its rows kept, the columns of where a board
// sat, its fields and log added, and the yield counted by work order.
TEST_F(RecordStores, SqliteFileOfTheFirstVersionIsUpgradedAndYieldsByWorkOrder) {
    {
        sqlite3 *raw = nullptr;
        ASSERT_EQ(sqlite3_open(path("v1.db").c_str(), &raw), SQLITE_OK);
        host::SqliteOwner db(raw);
        ASSERT_TRUE(host::sqlite_exec(db.get(),
                                      "CREATE TABLE hidiap_schema (version INTEGER NOT NULL, "
                                      "changed TEXT);" +
                                          host::sqlite_migration(1) +
                                          "INSERT INTO hidiap_schema (version) VALUES (1);"
                                          "INSERT INTO hidiap_records (id, time, station, "
                                          "tool_version, serial, outcome) VALUES ('6f1d0c1e-0d55-"
                                          "4d36-9d5c-2f0a8f7b3c11', '2026-12-08T10:00:00.000Z', "
                                          "'bench', '0.9', 'OLD1', 'failed')")
                        .ok());
    }
    auto upgraded = open(path("v1.db"));
    ASSERT_TRUE(upgraded) << last_error;
    for (const char *serial : {"N1", "N2", "N3"}) {
        host::DeviceRecord r = record(serial);
        r.time_utc = "2026-12-09T08:00:00.000Z";
        r.outcome = serial == std::string("N3") ? "failed" : "success";
        r.fields = host::record_fields_object(
            {{"work_order", serial == std::string("N1") ? "WO-2" : "WO-1"}, {"lot", "7"}});
        ASSERT_TRUE(upgraded->append(r).ok());
    }
    upgraded.reset();
    EXPECT_EQ(serials(sqlite_records("v1.db")), (Serials{"OLD1", "N1", "N2", "N3"}));
    EXPECT_EQ(sqlite_text("v1.db", "SELECT group_concat(version) FROM hidiap_schema"),
              "1," + std::to_string(host::kRecordsSchemaVersion) + "\n");
    EXPECT_EQ(sqlite_text("v1.db",
                          "SELECT day, work_order, updated, failed, boards, yield_percent FROM "
                          "hidiap_yield_by_work_order ORDER BY day, work_order"),
              "2026-12-08|NULL|0|1|1|0.0\n"
              "2026-12-09|WO-1|1|1|2|50.0\n"
              "2026-12-09|WO-2|1|0|1|100.0\n");
}

// .sqlite and .db in any case are SQLite; anything else (a name that merely holds one) JSON.
TEST_F(RecordStores, DestinationKindIsToldByItsEndInAnyCase) {
    for (const std::string name : {"x.SQLITE", "y.Db", "z.sqlite.txt", "w.db-records"}) {
        auto writer = open(path(name));
        ASSERT_TRUE(writer) << name << ": " << last_error;
        ASSERT_TRUE(writer->append(record("S1")).ok()) << name;
        writer.reset();
        std::ifstream in(path(name), std::ios::binary);
        std::string head(15, '\0');
        in.read(head.data(), 15);
        const bool sqlite = name == "x.SQLITE" || name == "y.Db";
        EXPECT_EQ(head == "SQLite format 3", sqlite) << name << ": " << head;
    }
}

// A FIFO, a device and a directory cannot keep a record: refused when opened, for either kind of
// file, before any board is touched, and nothing is made in their place.
TEST_F(RecordStores, DestinationsThatCannotKeepARecordAreRefusedAtOpen) {
    ASSERT_EQ(mkfifo(path("fifo.jsonl").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(path("fifo.db").c_str(), 0600), 0);
    fs::create_directories(path("folder.db"));
    fs::create_directories(path("folder.jsonl"));
    for (const std::string &target : {path("fifo.jsonl"), path("fifo.db"), std::string("/dev/null"),
                                      path("folder.db"), path("folder.jsonl")}) {
        EXPECT_FALSE(open(target)) << target;
        EXPECT_NE(last_error.find("not a regular file"), std::string::npos)
            << target << ": " << last_error;
    }
    EXPECT_FALSE(fs::exists(path("fifo.db-wal")));
}

// A file of the hidiap before the schema versions is adopted as version 1 (its rows kept); a
// table of another shape, one of a version this hidiap does not know, and one whose columns are
// not its recorded version's are refused, and the file is left as it was.
TEST_F(RecordStores, SqliteFilesOfEarlierHidiapAreAdoptedAndForeignOnesRefused) {
    const auto make = [this](const std::string &name, const std::string &sql) {
        sqlite3 *raw = nullptr;
        ASSERT_EQ(sqlite3_open(path(name).c_str(), &raw), SQLITE_OK);
        host::SqliteOwner db(raw);
        ASSERT_EQ(sqlite3_exec(db.get(), sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
    };
    // The table exactly as the hidiap before the versions made it, with one record.
    make("old.db",
         "CREATE TABLE IF NOT EXISTS hidiap_records ("
         "id TEXT PRIMARY KEY, time TEXT NOT NULL, station TEXT, tool_version TEXT, "
         "device_path TEXT, serial TEXT, manufacturer TEXT, product TEXT, "
         "image_path TEXT, image_size INTEGER, image_sha256 TEXT, "
         "tts_path TEXT, tts_size INTEGER, tts_sha256 TEXT, token TEXT, "
         "outcome TEXT NOT NULL, cause TEXT, reason TEXT, "
         "bytes_programmed INTEGER, seconds REAL, image_crc TEXT, tts_crc TEXT, "
         "firmware_version TEXT, signature_key_id TEXT, trusted_comment TEXT);"
         "INSERT INTO hidiap_records (id, time, station, tool_version, serial, outcome) VALUES "
         "('6f1d0c1e-0d55-4d36-9d5c-2f0a8f7b3c11', '2026-12-08T10:00:00.000Z', 'bench', '0.9', "
         "'OLD1', 'success')");
    auto adopted = open(path("old.db"));
    ASSERT_TRUE(adopted) << last_error;
    ASSERT_TRUE(adopted->append(record("NEW1")).ok());
    adopted.reset();
    EXPECT_EQ(serials(sqlite_records("old.db")), (Serials{"OLD1", "NEW1"}));
    EXPECT_EQ(sqlite_text("old.db", "SELECT version FROM hidiap_schema"),
              std::to_string(host::kRecordsSchemaVersion) + "\n");

    make("foreign.db", "CREATE TABLE hidiap_records (id INTEGER PRIMARY KEY, board TEXT)");
    make("newer.db",
         "CREATE TABLE hidiap_schema (version INTEGER NOT NULL, changed TEXT);"
         "INSERT INTO hidiap_schema (version) VALUES (7)");
    make("mislabelled.db",
         "CREATE TABLE hidiap_schema (version INTEGER NOT NULL, changed TEXT);"
         "INSERT INTO hidiap_schema (version) VALUES (1);"
         "CREATE TABLE hidiap_records (id TEXT PRIMARY KEY, time TEXT NOT NULL)");
    const std::vector<std::pair<std::string, std::string>> refused = {
        {"foreign.db",
         "a table hidiap_records that no hidiap wrote (its columns: board text, id "
         "integer)"},
        {"newer.db", "schema version 7, which this hidiap does not know (it knows up to " +
                         std::to_string(host::kRecordsSchemaVersion) + ")"},
        {"mislabelled.db", "not of the schema version 1 it is recorded as"},
    };
    for (const auto &[name, why] : refused) {
        const std::string before = content(name);
        EXPECT_FALSE(open(path(name))) << name;
        EXPECT_NE(last_error.find(why), std::string::npos) << name << ": " << last_error;
        EXPECT_TRUE(content(name) == before) << name;
    }
    EXPECT_EQ(sqlite_text("foreign.db",
                          "SELECT count(*) FROM sqlite_master WHERE name = "
                          "'hidiap_schema'"),
              "0\n");
}

// Removed, then replaced (renamed away and a new file put in its place): before the next record
// the writer opens the file its path names, says so, and writes into it this run's records (not
// another process's), so that the new file holds every one of them.
TEST_F(RecordStores, JsonLinesFileRemovedOrReplacedIsMadeAgainWithThisRunsRecords) {
    auto writer = open(path("r.jsonl"));
    ASSERT_TRUE(writer);
    ASSERT_TRUE(writer->append(record("A")).ok());
    std::ofstream(path("r.jsonl"), std::ios::app) << host::record_json_line(record("OTHER"));
    ASSERT_TRUE(writer->append(record("B")).ok());
    fs::remove(path("r.jsonl"));
    ASSERT_TRUE(writer->append(record("C")).ok());
    EXPECT_EQ(serials(json_records("r.jsonl")), (Serials{"A", "B", "C"}));
    EXPECT_NE(notes.find("hidiap: --record: '" + path("r.jsonl") +
                         "' was removed or replaced during the run: opened again by its name, "
                         "and the 2 records this run wrote into the old file written into it "
                         "again\n"),
              std::string::npos)
        << notes;

    fs::rename(path("r.jsonl"), path("r.1.jsonl"));
    std::ofstream(path("r.jsonl")) << "{\"id\":\"cut";
    ASSERT_TRUE(writer->append(record("D")).ok());
    EXPECT_EQ(serials(json_records("r.1.jsonl")), (Serials{"A", "B", "C"}));
    std::ifstream in(path("r.jsonl"));
    std::string first;
    std::getline(in, first);
    EXPECT_EQ(first, "{\"id\":\"cut");  // the new file's own text stays; ours on lines of their own
    std::vector<std::string> after;
    for (std::string line; std::getline(in, line);) {
        after.push_back(host::record_from_json_line(line).value().serial);
    }
    EXPECT_EQ(after, (Serials{"A", "B", "C", "D"}));

    // Removed after the last record: the end of the run still finds it.
    fs::remove(path("r.jsonl"));
    EXPECT_EQ(writer->finish(), "");
    EXPECT_EQ(serials(json_records("r.jsonl")), (Serials{"A", "B", "C", "D"}));
}

// An SQLite file removed during the run (its -wal and -shm left behind, as `rm r.db` leaves
// them), then renamed away after the last record: each time a new database by its name with this
// run's records (read from the old one), and not those of earlier runs.
TEST_F(RecordStores, SqliteFileRemovedIsMadeAgainWithThisRunsRecords) {
    {
        auto earlier = open(path("r.db"));
        ASSERT_TRUE(earlier);
        ASSERT_TRUE(earlier->append(record("EARLIER")).ok());
    }
    auto writer = open(path("r.db"));
    ASSERT_TRUE(writer);
    const host::DeviceRecord a = record("A");
    ASSERT_TRUE(writer->append(a).ok());
    ASSERT_TRUE(writer->append(record("B")).ok());
    fs::remove(path("r.db"));
    ASSERT_TRUE(writer->append(record("C")).ok());
    const auto now = sqlite_records("r.db");
    EXPECT_EQ(serials(now), (Serials{"A", "B", "C"}));
    expect_same_record(a, now.at(0), "the record carried over");
    EXPECT_NE(notes.find("the 2 records this run wrote into the old file written into it again"),
              std::string::npos)
        << notes;
    fs::rename(path("r.db"), path("r.1.db"));
    EXPECT_EQ(writer->finish(), "");
    EXPECT_EQ(serials(sqlite_records("r.db")), (Serials{"A", "B", "C"}));
}

// A file of schema version 4 is upgraded when opened: its rows kept, the column `units` added
// (the object's text), and the table of unit values made by the same step.
TEST_F(RecordStores, SqliteFileOfVersionFourGetsUnitsAndItsTableOfValues) {
    {
        sqlite3 *raw = nullptr;
        ASSERT_EQ(sqlite3_open(path("v4.db").c_str(), &raw), SQLITE_OK);
        host::SqliteOwner db(raw);
        std::string steps = "CREATE TABLE hidiap_schema (version INTEGER NOT NULL, changed TEXT);";
        for (int v = 1; v <= 4; v++) {
            steps += host::sqlite_migration(v);
        }
        ASSERT_TRUE(
            host::sqlite_exec(db.get(), steps + "INSERT INTO hidiap_schema (version) VALUES (4);"
                                                "INSERT INTO hidiap_records (id, time, station, "
                                                "tool_version, serial, outcome) VALUES ('6f1d0c1e-"
                                                "0d55-4d36-9d5c-2f0a8f7b3c11', '2026-12-08T10:00:"
                                                "00.000Z', 'bench', '0.9', 'OLD1', 'success')")
                .ok());
    }
    auto upgraded = open(path("v4.db"));
    ASSERT_TRUE(upgraded) << last_error;
    host::DeviceRecord r = record("NEW1");
    r.units = host::record_fields_object({{"serial", "1000000"}, {"mac", "02:00:00:00:00:01"}});
    ASSERT_TRUE(upgraded->append(r).ok());
    const host::UnitSeries serials_range{"serial", false, 1000000, 1999999, {}};
    EXPECT_EQ(ok(upgraded->reserve_units(serials_range, 2, "bench")),
              (std::vector<uint64_t>{1000000, 1000001}));
    upgraded.reset();
    const auto back = sqlite_records("v4.db");
    EXPECT_EQ(serials(back), (Serials{"OLD1", "NEW1"}));
    EXPECT_EQ(back.at(0).units, "");
    EXPECT_EQ(sqlite_text("v4.db", "SELECT units FROM hidiap_records WHERE serial = 'NEW1'"),
              "{\"mac\":\"02:00:00:00:00:01\",\"serial\":\"1000000\"}\n");
    EXPECT_EQ(sqlite_text("v4.db", "SELECT group_concat(version) FROM hidiap_schema"), "4,5\n");
    EXPECT_EQ(sqlite_text("v4.db", "SELECT field, number, station FROM hidiap_unit_values"),
              "serial|1000000|bench\nserial|1000001|bench\n");
}

// Two stations sharing a file take values from it as any database gives them (unit_samples.h);
// the rows are the stations' own; JSON Lines cannot allocate.
TEST_F(RecordStores, SqliteAllocatesUnitValuesAcrossTwoWriters) {
    auto east = open(path("u.db"));
    auto west = open(path("u.db"));
    ASSERT_TRUE(east && west) << last_error;
    test_support::expect_range_allocation(*east, *west);
    test_support::expect_list_allocation(*east, *west);
    EXPECT_EQ(sqlite_text("u.db",
                          "SELECT group_concat(number) FROM (SELECT number FROM hidiap_unit_values "
                          "WHERE field = 'serial' AND station = 'west' ORDER BY number)"),
              "11,13,14,15,16,17\n");
    auto lines = open(path("u.jsonl"));
    ASSERT_TRUE(lines);
    EXPECT_EQ(lines->reserve_units({"serial", false, 1, 9, {}}, 1, "east").code(),
              base::ErrorCode::InvalidInput);
}

// A file removed during the run is made again with the unit values this run reserved (and did
// not give back) still reserved in it, so that they are not handed out a second time.
TEST_F(RecordStores, SqliteFileRemovedKeepsThisRunsReservedValues) {
    auto writer = open(path("r.db"));
    ASSERT_TRUE(writer);
    const host::UnitSeries range{"serial", false, 10, 99, {}};
    EXPECT_EQ(ok(writer->reserve_units(range, 3, "east")), (test_support::UnitNumbers{10, 11, 12}));
    ASSERT_TRUE(writer->return_units("serial", {11}, "east").ok());
    fs::remove(path("r.db"));
    EXPECT_EQ(ok(writer->reserve_units(range, 2, "east")), (test_support::UnitNumbers{11, 13}));
    EXPECT_EQ(sqlite_text("r.db",
                          "SELECT group_concat(number) FROM (SELECT number FROM hidiap_unit_values "
                          "ORDER BY number)"),
              "10,11,12,13\n");
}

// The board's latest success that carried units gives them; a later success without units, and a
// failure, do not.
TEST_F(RecordStores, SqliteBoardHistoryGivesTheLatestSuccessesUnits) {
    auto writer = open(path("h.db"));
    ASSERT_TRUE(writer);
    const auto add = [&](const char *time, const char *outcome, const std::string &units) {
        host::DeviceRecord r = record("B1");
        r.time_utc = time;
        r.outcome = outcome;
        r.units = units;
        ASSERT_TRUE(writer->append(r).ok());
    };
    const std::string second = host::record_fields_object({{"serial", "1000001"}});
    add("2026-12-09T08:00:00.000Z", "success", host::record_fields_object({{"serial", "1000000"}}));
    add("2026-12-09T09:00:00.000Z", "success", second);
    add("2026-12-09T10:00:00.000Z", "success", "");
    add("2026-12-09T11:00:00.000Z", "failed", host::record_fields_object({{"serial", "1000002"}}));
    EXPECT_EQ(ok(writer->board_history("B1")).units, second);
    EXPECT_EQ(ok(writer->board_history("B2")).units, "");
}
