// The local stores under the faults of the test Env: a record that does not fit on the disk or
// whose sync fails is not taken for kept, fails its board with the cause `record`, and leaves
// the file as it was (a JSON Lines file cut back to its earlier length, an SQLite file rolled
// back); a record that was kept was synced before its board was told.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "host/library/run_records.h"
#include "host/records/record_writer.h"
#include "host/records/sqlite_records.h"
#include "record_samples.h"
#include "test_env.h"

namespace {

namespace fs = std::filesystem;
using base::ErrorCode;
using test_support::TestEnv;
using Op = TestEnv::Op;

class RecordFaults : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("hidiap_faults_test_" + std::to_string(getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string path(const std::string &name) const { return (dir / name).string(); }
    std::string content(const std::string &name) const {
        std::ifstream in(path(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::unique_ptr<host::RecordWriter> open(const std::string &name) {
        auto writer = host::open_record_writer({path(name), "", nullptr, false});
        EXPECT_TRUE(writer.ok()) << writer.message();
        return writer.ok() ? std::move(*writer) : nullptr;
    }
    static host::DeviceRecord record(const std::string &serial) {
        host::DeviceRecord r = test_support::distinct_record(host::new_record_id().value());
        r.serial = serial;
        return r;
    }
    int sqlite_count(const std::string &name) const {
        sqlite3 *raw = nullptr;
        EXPECT_EQ(sqlite3_open(path(name).c_str(), &raw), SQLITE_OK);
        host::SqliteOwner db(raw);
        sqlite3_stmt *q = nullptr;
        sqlite3_prepare_v2(db.get(), "SELECT count(*) FROM hidiap_records", -1, &q, nullptr);
        const int n = sqlite3_step(q) == SQLITE_ROW ? sqlite3_column_int(q, 0) : -1;
        sqlite3_finalize(q);
        return n;
    }

    fs::path dir;
    TestEnv faults;
};

}  // namespace

// A torn append (part of the line reached the disk before it filled up) and a failed sync each
// leave the file byte for byte as it was, a last line a power loss cut short included; the next
// record, with room again, is written whole on a line of its own, and synced before append
// returns.
TEST_F(RecordFaults, JsonLinesRecordThatCannotBeWrittenLeavesTheFileAsItWas) {
    const host::EnvScope scope(faults);
    std::ofstream(path("r.jsonl"), std::ios::binary) << "{\"earlier\":1}\n{\"cut";
    const std::string before = content("r.jsonl");
    auto writer = open("r.jsonl");
    ASSERT_TRUE(writer);
    const std::vector<TestEnv::Fault> kinds = {
        {Op::Append, ErrorCode::NoSpace, 0, 1, "r.jsonl", 100},
        {Op::Sync, ErrorCode::Io, 0, 1, "r.jsonl"},
    };
    for (const TestEnv::Fault &fault : kinds) {
        faults.clear_faults();
        faults.inject(fault);
        const base::Status kept = writer->append(record("LOST"));
        ASSERT_FALSE(kept.ok());
        EXPECT_EQ(kept.code(), fault.code) << kept.message();
        EXPECT_EQ(content("r.jsonl"), before) << "no part of the line stays";
    }
    faults.clear_faults();
    const int syncs = faults.calls(Op::Sync);
    ASSERT_TRUE(writer->append(record("KEPT")).ok());
    EXPECT_EQ(faults.calls(Op::Sync), syncs + 1);
    const std::string after = content("r.jsonl");
    ASSERT_EQ(after.compare(0, before.size(), before), 0);
    EXPECT_EQ(after[before.size()], '\n');
    EXPECT_NE(after.find("\"serial\":\"KEPT\""), std::string::npos);
    EXPECT_EQ(after.find("LOST"), std::string::npos);
}

// SQLite's own writes and syncs fail through the Env's VFS: the record's transaction is rolled
// back (a connection of the test's own sees no trace of it) and the writer goes on with the
// next one. (Its locks in WAL mode are the shared memory's, which stay SQLite's own.)
TEST_F(RecordFaults, SqliteRecordThatCannotBeWrittenIsRolledBack) {
    const host::EnvScope scope(faults);
    auto writer = open("r.db");
    ASSERT_TRUE(writer);
    ASSERT_TRUE(writer->append(record("FIRST")).ok());
    const std::vector<TestEnv::Fault> kinds = {
        {Op::ForeignWrite, ErrorCode::NoSpace, 0, -1, "r.db"},
        {Op::ForeignSync, ErrorCode::Io, 0, -1, "r.db"},
    };
    for (const TestEnv::Fault &fault : kinds) {
        faults.clear_faults();
        faults.inject(fault);
        const base::Status kept = writer->append(record("LOST"));
        ASSERT_FALSE(kept.ok());
        EXPECT_EQ(kept.code(), fault.code) << kept.message();
        faults.clear_faults();
        EXPECT_EQ(sqlite_count("r.db"), 1) << kept.message();
    }
    const int syncs = faults.calls(Op::ForeignSync);
    ASSERT_TRUE(writer->append(record("SECOND")).ok());
    EXPECT_GT(faults.calls(Op::ForeignSync), syncs) << "committed means synced";
    EXPECT_EQ(sqlite_count("r.db"), 2);
}

// The tool's and the library's glue: a record that cannot be kept turns the board's success into a
// failure with the cause `record`, said on standard error with the file's name; a kept one leaves
// it a success.
TEST_F(RecordFaults, ABoardWhoseRecordCannotBeWrittenFailsWithCauseRecord) {
    const host::EnvScope scope(faults);
    host::RunRecords records;
    ASSERT_TRUE(records.open({path("r.jsonl"), "", "", false, {}}));
    host::DeviceInfo device;
    device.path = "sim:1";
    device.serial = "SIM0001";
    const auto succeeded = [] {
        host::RunReport report;
        report.status = host::Status::Success;
        report.exit_status = 0;
        return report;
    };

    faults.inject({Op::Append, ErrorCode::NoSpace, 0, 1, "r.jsonl", 10});
    host::RunReport lost = succeeded();
    ::testing::internal::CaptureStderr();
    records.keep(device, lost);
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(lost.status, host::Status::Failed);
    EXPECT_EQ(lost.cause, host::Cause::Record);
    EXPECT_EQ(lost.reason, "its record could not be written");
    EXPECT_NE(lost.exit_status, 0);
    EXPECT_EQ(said, "hidiap: --record: cannot write to '" + path("r.jsonl") +
                        "': cannot write: No space left on device\n");
    EXPECT_EQ(content("r.jsonl"), "");

    host::RunReport kept = succeeded();
    records.keep(device, kept);
    EXPECT_EQ(kept.status, host::Status::Success);
    EXPECT_NE(content("r.jsonl").find("\"serial\":\"SIM0001\""), std::string::npos);
    // No id without the system's random source, and no record without an id.
    faults.inject({Op::Random, ErrorCode::Io, 0, 1, ""});
    host::RunReport no_id = succeeded();
    ::testing::internal::CaptureStderr();
    records.keep(device, no_id);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("cannot make the record's id"),
              std::string::npos);
    EXPECT_EQ(no_id.cause, host::Cause::Record);
}
