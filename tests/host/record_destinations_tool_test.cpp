// --record destinations as an operator gives them: what cannot keep a record is refused before
// any board is touched, a name's .SQLITE is SQLite, and a record file removed while a station
// runs loses none of the station's records.
#include <sqlite3.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "tool_fixture.h"

namespace {

class RecordDestinations : public Tool {
  protected:
    ProcessResult run(std::vector<std::string> args) {
        args.insert(args.begin(), {"--simulate", "--no-wait"});
        args.insert(args.end(), {path("img.bin"), path("tts.bin"), "1MB"});
        return run_process(kTool, args);
    }
    size_t json_records(const std::string &name) const {
        std::ifstream in(path(name));
        size_t n = 0;
        for (std::string line; std::getline(in, line);) {
            n += line.find("\"outcome\":\"success\"") != std::string::npos;
        }
        return n;
    }
    int sqlite_records(const std::string &name) const {
        sqlite3 *db = nullptr;
        int n = -1;
        if (sqlite3_open_v2(path(name).c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
            sqlite3_exec(
                db, "SELECT count(*) FROM hidiap_records",
                [](void *out, int, char **values, char **) {
                    *static_cast<int *>(out) = std::atoi(values[0]);
                    return 0;
                },
                &n, nullptr);
        }
        sqlite3_close(db);
        return n;
    }
};

}  // namespace

// Each is refused with status 2 and a sentence naming it; no frame is sent (the simulated flash
// is never made) and no file is made in its place.
TEST_F(RecordDestinations, UnusableDestinationsAreRefusedBeforeAnyBoard) {
    ASSERT_EQ(mkfifo(path("fifo.jsonl").c_str(), 0600), 0);
    fs::create_directories(path("folder.db"));
    {
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open(path("other.db").c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE hidiap_records (board TEXT, passed INTEGER)",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
    }
    const std::vector<std::pair<std::string, std::string>> refused = {
        {path("fifo.jsonl"), "it is a FIFO, not a regular file"},
        {"/dev/null", "it is a device, not a regular file"},
        {path("folder.db"), "it is a directory, not a regular file"},
        {path("other.db"), "it holds a table hidiap_records that no hidiap wrote"},
        {"host=127.0.0.1 port=1 dbname=line password=kv-secret",
         "it is a libpq connection string: give the database as a "
         "postgresql:// URI"},
    };
    for (const auto &[target, why] : refused) {
        const ProcessResult r = run({"--record", target, "--sim-flash", path("flash.bin")});
        EXPECT_EQ(r.exit_status, 2) << target << ": " << r.err;
        EXPECT_NE(r.err.find("hidiap: --record: cannot use '"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(why), std::string::npos) << r.err;
        EXPECT_EQ(r.out.find("[IAP]"), std::string::npos) << r.out;
        EXPECT_FALSE(fs::exists(path("flash.bin"))) << target;
        EXPECT_EQ(r.err.find("kv-secret"), std::string::npos) << r.err;
    }
    EXPECT_FALSE(fs::exists("host=127.0.0.1 port=1 dbname=line password=kv-secret"));
    EXPECT_FALSE(fs::exists(path("other.db-wal")));
}

TEST_F(RecordDestinations, UpperCaseSqliteNameIsAnSqliteDatabase) {
    const ProcessResult r = run({"--record", path("boards.SQLITE")});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(sqlite_records("boards.SQLITE"), 1);
}

// The record file is removed after the station's first board: the station says so before the
// next record, makes the file again and writes into it every record of the run.
TEST_F(RecordDestinations, RecordFileRemovedWhileAStationRunsKeepsEveryRecord) {
    for (const std::string name : {"boards.jsonl", "boards.sqlite"}) {
        const bool sqlite = name == "boards.sqlite";
        ProcessResult r;
        std::thread station([&] {
            r = run({"--station", "--count", "4", "--sim-arrivals", "0,900,1800,2700", "--record",
                     path(name)});
        });
        const auto records = [&] {
            return sqlite ? sqlite_records(name) : static_cast<int>(json_records(name));
        };
        for (int i = 0; i < 400 && records() < 1; i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        fs::remove(path(name));  // the -wal and -shm files of SQLite stay, as `rm` leaves them
        station.join();
        EXPECT_EQ(r.exit_status, 0) << r.err;
        EXPECT_NE(r.err.find("hidiap: station: 4 updated"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("hidiap: --record: '" + path(name) +
                             "' was removed or replaced during the run: opened again by its name"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(records(), 4) << name;
    }
}
