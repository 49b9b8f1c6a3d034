// Signed jobs: a station refuses a job it may not run before anything is sent, and stops when
// the records database holds the job's count of boards, across a restart.
#include <sqlite3.h>

#include "tool_fixture.h"

namespace {

class Job : public Tool {
  protected:
    void SetUp() override {
        Tool::SetUp();
        for (const char *name : {"vendor", "stranger", "old"}) {
            const ProcessResult made =
                run_process(kTool, {"key", "make", path(name), "--unencrypted"});
            ASSERT_EQ(made.exit_status, 0) << made.err;
        }
        fs::create_directories(dir / "trusted");
        fs::create_directories(dir / "revoked");
        for (const char *name : {"vendor", "old"}) {
            fs::copy_file(path(std::string(name) + ".pub"),
                          dir / "trusted" / (std::string(name) + ".pub"));
        }
        fs::copy_file(path("old.pub"), dir / "revoked" / "old.pub");
        for (const auto &[zip, token] :
             {std::pair<const char *, const char *>{"fw.zip", "1MB"},
              std::pair<const char *, const char *>{"other.zip", "2MB"}}) {
            const ProcessResult made =
                run_process(kTool, {"package", "make", path(zip), "--sign", path("vendor.key"),
                                    path("img.bin"), path("tts.bin"), token});
            ASSERT_EQ(made.exit_status, 0) << made.err;
        }
    }
    ProcessResult make_job(const std::string &out, const std::string &key, unsigned count,
                           std::vector<std::string> extra = {}) const {
        std::vector<std::string> args = {"job",
                                         "make",
                                         path(out),
                                         "--package",
                                         path("fw.zip"),
                                         "--count",
                                         std::to_string(count),
                                         "--sign",
                                         path(key + ".key")};
        args.insert(args.end(), extra.begin(), extra.end());
        return run_process(kTool, args);
    }
    ProcessResult station(const std::string &job, std::vector<std::string> extra,
                          const std::string &package = "fw.zip",
                          const std::string &name = "line-1") const {
        std::vector<std::string> args = {"station",
                                         "--simulate",
                                         "--trusted-keys-dir",
                                         path("trusted"),
                                         "--revoked-keys-dir",
                                         path("revoked"),
                                         "--station-name",
                                         name,
                                         "--job",
                                         path(job)};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(path(package));
        return run_process(kTool, args);
    }
    int successes_of_one_job() const {
        sqlite3 *db = nullptr;
        EXPECT_EQ(sqlite3_open(path("r.db").c_str(), &db), SQLITE_OK);
        sqlite3_stmt *q = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(db,
                                     "SELECT count(*), count(DISTINCT job) FROM hidiap_records "
                                     "WHERE outcome = 'success' AND length(job) = 64",
                                     -1, &q, nullptr),
                  SQLITE_OK);
        EXPECT_EQ(sqlite3_step(q), SQLITE_ROW);
        const int boards = sqlite3_column_int(q, 0);
        EXPECT_EQ(sqlite3_column_int(q, 1), 1) << "one job ID in every record";
        sqlite3_finalize(q);
        sqlite3_close(db);
        return boards;
    }
};

}  // namespace

TEST_F(Job, AJobTheStationMayNotRunIsRefusedBeforeAnythingIsSent) {
    ASSERT_EQ(make_job("job.json", "vendor", 3, {"--for-station", "line-1"}).exit_status, 0);
    ASSERT_EQ(make_job("stranger.json", "stranger", 3).exit_status, 0);
    ASSERT_EQ(make_job("revoked.json", "old", 3).exit_status, 0);
    ASSERT_EQ(make_job("ended.json", "vendor", 3, {"--until", "2000-01-01"}).exit_status, 0);
    ASSERT_EQ(make_job("unsigned.json", "vendor", 3).exit_status, 0);
    fs::remove(path("unsigned.json.minisig"));
    ASSERT_EQ(make_job("tampered.json", "vendor", 3).exit_status, 0);
    std::vector<uint8_t> text = read_file("tampered.json");
    std::string changed(text.begin(), text.end());
    changed.replace(changed.find("\"count\": 3"), 10, "\"count\": 9");
    write_file("tampered.json", std::vector<uint8_t>(changed.begin(), changed.end()));
    EXPECT_EQ(make_job("bad.json", "vendor", 3, {"--until", "2026-02-30"}).exit_status, 2);

    const std::vector<std::string> db = {"--record", path("r.db"), "--sim-arrivals", "0"};
    const struct {
        std::string job;
        std::vector<std::string> extra;
        std::string package;
        std::string why;
        std::string name = "line-1";
    } cases[] = {
        {"unsigned.json", db, "fw.zip", "is unsigned"},
        {"tampered.json", db, "fw.zip", "changed after it was signed"},
        {"stranger.json", db, "fw.zip", "which is not trusted here"},
        {"revoked.json", db, "fw.zip", "signed by the revoked key"},
        {"job.json", db, "fw.zip", "is not for the station 'line-9'", "line-9"},
        {"ended.json", db, "fw.zip", "ended with the day 2000-01-01 (UTC)"},
        {"job.json", db, "other.zip", "is for another package"},
        {"job.json", {"--record", path("r.jsonl")}, "fw.zip", "not in JSON Lines"},
        {"job.json", {}, "fw.zip", "give --record"},
        {"job.json",
         {"--record", path("r.db"), "--format", "raw"},
         "fw.zip",
         "--format and --tts-format"},
    };
    for (const auto &c : cases) {
        const ProcessResult r = station(c.job, c.extra, c.package, c.name);
        EXPECT_EQ(r.exit_status, 2) << c.job << " " << c.why << "\n" << r.err;
        EXPECT_NE(r.err.find(c.why), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("; nothing was sent"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("SIM0001"), std::string::npos) << "no board was touched\n" << r.err;
    }
}

TEST_F(Job, TheCountHoldsAcrossARestartInTheRecordsDatabase) {
    ASSERT_EQ(
        make_job("job.json", "vendor", 3, {"--for-station", "line-1", "--until", "2999-12-31"})
            .exit_status,
        0);
    const ProcessResult first =
        station("job.json", {"--record", path("r.db"), "--count", "2", "--sim-arrivals", "0,300"});
    ASSERT_EQ(first.exit_status, 0) << first.err;
    EXPECT_EQ(successes_of_one_job(), 2);
    // Three boards wait; the job has one left: one is updated and the station ends.
    const ProcessResult second =
        station("job.json", {"--record", path("r.db"), "--sim-arrivals", "0,200,400"});
    ASSERT_EQ(second.exit_status, 0) << second.err;
    EXPECT_EQ(successes_of_one_job(), 3);
    const ProcessResult third = station("job.json", {"--record", path("r.db")});
    EXPECT_EQ(third.exit_status, 2);
    EXPECT_NE(third.err.find("has no boards left: 3 of 3 were updated"), std::string::npos)
        << third.err;
}
