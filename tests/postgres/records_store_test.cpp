// The PostgreSQL writer in process, against the real server: every field as stored, and the spool
// failing under the test Env (a record it cannot take is durable only once committed, and fails
// its board when the database cannot take it either); a record of this run the database refuses
// for its content is set aside and the ones after it are stored.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "host/records/database_uri.h"
#include "host/records/postgres_link.h"
#include "host/records/record_json.h"
#include "host/records/record_writer.h"
#include "host/records/records_table.h"
#include "pg_cluster.h"
#include "record_samples.h"
#include "test_env.h"

namespace {

namespace fs = std::filesystem;
using base::ErrorCode;
using test_support::PgCluster;
using test_support::TestEnv;

class PostgresStore : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("hidiap_pg_store_" + std::to_string(getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        setenv("XDG_STATE_HOME", dir.c_str(), 1);
        if (!pg().running()) {
            pg().start();
        }
        pg().query(
            "SET client_min_messages = warning;DROP VIEW IF EXISTS hidiap_yield;"
            "DROP TABLE IF EXISTS hidiap_records, hidiap_schema");
        host::PostgresLink owner(pg().uri(PgCluster::kOwner, PgCluster::kOwnerPassword));
        ASSERT_TRUE(owner.connect().ok());
        ASSERT_TRUE(host::set_up_records_database(owner).ok());
        pg().query(
            "GRANT SELECT ON hidiap_schema TO station;"
            "GRANT INSERT, SELECT ON hidiap_records TO station");
    }
    void TearDown() override { fs::remove_all(dir); }
    static PgCluster &pg() { return PgCluster::shared(); }
    std::string spool() const { return (dir / "line.spool").string(); }

    std::unique_ptr<host::RecordWriter> open(const std::string &uri) {
        auto writer = host::open_record_writer(
            {uri, spool(), [this](const std::string &line) { notes += line; }, false});
        EXPECT_TRUE(writer.ok()) << writer.message();
        return writer.ok() ? std::move(*writer) : nullptr;
    }
    std::string station_uri() const {
        return pg().uri(PgCluster::kStation, PgCluster::kStationPassword);
    }
    static host::DeviceRecord record(const std::string &serial) {
        host::DeviceRecord r = test_support::distinct_record(host::new_record_id().value());
        r.serial = serial;
        return r;
    }
    std::string spool_text() const {
        std::ifstream in(spool(), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    size_t stored(const std::string &serial) const {
        return pg().query("SELECT id FROM hidiap_records WHERE serial = '" + serial + "'").size();
    }

    fs::path dir;
    std::string notes;
};

// The column of each field as the record had it, by its kind: the field table is walked, so a
// field the insert left out comes back NULL and fails here.
std::string column_as_text(const host::RecordField &f) {
    const std::string name = f.name;
    switch (f.kind) {
        case host::FieldKind::Uuid:
            return name + "::text";
        case host::FieldKind::Time:
            return "to_char(" + name + " AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')";
        case host::FieldKind::Count:
        case host::FieldKind::Real:
            return name + "::text";
        case host::FieldKind::Object:
            return name + "::text";  // jsonb's own spelling; read back through set_field
        case host::FieldKind::Text:
        case host::FieldKind::OptionalText:
        case host::FieldKind::Crc:
            break;
    }
    return name;
}

}  // namespace

TEST_F(PostgresStore, EveryFieldComesBackFromTheDatabase) {
    const host::DeviceRecord r = test_support::distinct_record();
    auto writer = open(station_uri());
    ASSERT_TRUE(writer);
    ASSERT_TRUE(writer->append(r).ok());
    EXPECT_EQ(writer->finish(), "");
    std::string columns;
    for (const host::RecordField &f : host::record_fields()) {
        columns += (columns.empty() ? "" : ", ") + column_as_text(f);
    }
    const test_support::PgRows rows = pg().query("SELECT " + columns + " FROM hidiap_records");
    ASSERT_EQ(rows.size(), 1u);
    size_t i = 0;
    for (const host::RecordField &f : host::record_fields()) {
        const host::FieldValue want = host::field_value(f, r);
        const std::optional<std::string> &got = rows[0][i++];
        switch (want.type) {
            case host::FieldValue::Type::Null:
                EXPECT_EQ(got, std::nullopt) << f.name;
                break;
            case host::FieldValue::Type::Text:
                if (f.kind == host::FieldKind::Object && got) {
                    // jsonb orders and spaces an object its own way: the same object is enough.
                    host::DeviceRecord back;
                    ASSERT_TRUE(host::set_field(f, back, host::FieldValue::of_text(*got)).ok());
                    EXPECT_EQ(host::field_value(f, back).text, want.text) << f.name;
                    break;
                }
                EXPECT_EQ(got, want.text) << f.name;
                break;
            case host::FieldValue::Type::Integer:
                EXPECT_EQ(got, std::to_string(want.integer)) << f.name;
                break;
            case host::FieldValue::Type::Real:
                ASSERT_TRUE(got) << f.name;
                EXPECT_EQ(std::strtod(got->c_str(), nullptr), want.real) << f.name;
                break;
        }
    }
    EXPECT_EQ(spool_text(), "");
}

// The spool's disk is full (a part of the line reached it): the record is committed in the
// database before append returns, and the spool holds no part of it.
TEST_F(PostgresStore, ARecordTheSpoolCannotTakeIsCommittedBeforeItsBoardIsDone) {
    TestEnv faults;
    const host::EnvScope scope(faults);
    auto writer = open(station_uri());
    ASSERT_TRUE(writer);
    faults.inject({TestEnv::Op::Append, ErrorCode::NoSpace, 0, 1, "line.spool", 30});
    ASSERT_TRUE(writer->append(record("DIRECT")).ok());
    EXPECT_EQ(stored("DIRECT"), 1u);
    EXPECT_EQ(spool_text(), "");
    EXPECT_EQ(writer->finish(), "");
}

// Neither the spool (its fsync fails) nor the database (nothing listens on its port) takes the
// record: append fails, saying both, once the unspooled record's time is up (on the test's
// virtual clock), and the spool is as it was.
TEST_F(PostgresStore, ARecordNeitherTheSpoolNorTheDatabaseTakesFailsItsBoard) {
    TestEnv faults(TestEnv::Time::Virtual);
    const host::EnvScope scope(faults);
    const std::string nowhere = "postgresql://station:" + std::string(PgCluster::kStationPassword) +
                                "@127.0.0.1:" + std::to_string(test_support::free_tcp_port()) +
                                "/line?connect_timeout=2";
    auto writer = open(nowhere);
    ASSERT_TRUE(writer);
    faults.inject({TestEnv::Op::Sync, ErrorCode::Io, 0, 1, "line.spool"});
    const host::SteadyTime before = host::env().now();
    const base::Status kept = writer->append(record("NOWHERE"));
    ASSERT_FALSE(kept.ok());
    EXPECT_GE(host::env().now() - before, std::chrono::seconds(15));
    EXPECT_NE(kept.message().find("the spool '" + spool() +
                                  "' did not take it (cannot sync: Input/output error) and the "
                                  "database did not either"),
              std::string::npos)
        << kept.message();
    EXPECT_EQ(spool_text(), "");
    EXPECT_EQ(writer->finish(), "");
    EXPECT_EQ(notes.find(PgCluster::kStationPassword), std::string::npos) << notes;
}

// A record of this run the server refuses (an outcome its table does not allow) is set aside in
// the spool's .refused file, said, and not sent again; the record after it is stored, and the
// database is never taken for away.
TEST_F(PostgresStore, ARecordOfThisRunRefusedForItsContentIsSetAside) {
    auto writer = open(station_uri());
    ASSERT_TRUE(writer);
    host::DeviceRecord odd = record("ODD");
    odd.outcome = "exploded";
    ASSERT_TRUE(writer->append(odd).ok());
    ASSERT_TRUE(writer->append(record("AFTER")).ok());
    EXPECT_EQ(writer->finish(), "");
    EXPECT_EQ(stored("ODD"), 0u);
    EXPECT_EQ(stored("AFTER"), 1u);
    std::ifstream refused(spool() + ".refused");
    std::string line;
    ASSERT_TRUE(std::getline(refused, line));
    EXPECT_EQ(host::record_from_json_line(line).value().serial, "ODD");
    EXPECT_FALSE(std::getline(refused, line)) << "set aside once";
    EXPECT_NE(notes.find("refused the record " + odd.id + " of ODD for what it holds"),
              std::string::npos)
        << notes;
    EXPECT_EQ(notes.find("is away"), std::string::npos) << notes;
    EXPECT_EQ(spool_text(), "");
}
