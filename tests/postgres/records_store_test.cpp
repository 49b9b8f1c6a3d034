// The PostgreSQL writer in process, against the real server: every field as stored, and the spool
// failing under the test Env (a record it cannot take is durable only once committed, and fails
// its board when the database cannot take it either); a record of this run the database refuses
// for its content is set aside and the ones after it are stored.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <thread>
#include <tuple>

#include "delay_proxy.h"
#include "host/records/database_uri.h"
#include "host/records/postgres_link.h"
#include "host/records/record_json.h"
#include "host/records/record_writer.h"
#include "host/records/records_table.h"
#include "pg_cluster.h"
#include "record_samples.h"
#include "test_env.h"
#include "unit_samples.h"

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
            "DROP TABLE IF EXISTS hidiap_records, hidiap_schema, hidiap_unit_values, "
            "hidiap_unit_floors CASCADE");
        host::PostgresLink owner(pg().uri(PgCluster::kOwner, PgCluster::kOwnerPassword));
        ASSERT_TRUE(owner.connect().ok());
        ASSERT_TRUE(host::set_up_records_database(owner).ok());
        pg().query(
            "GRANT SELECT ON hidiap_schema TO station;"
            "GRANT INSERT, SELECT ON hidiap_records TO station;"
            "GRANT SELECT, INSERT, DELETE ON hidiap_unit_values TO station;"
            "GRANT SELECT, INSERT, UPDATE ON hidiap_unit_floors TO station");
    }
    void TearDown() override { fs::remove_all(dir); }
    static PgCluster &pg() { return PgCluster::shared(); }
    std::string spool(const std::string &name = "line") const {
        return (dir / (name + ".spool")).string();
    }

    std::unique_ptr<host::RecordWriter> open(const std::string &uri,
                                             const std::string &spool_name = "line") {
        auto writer = host::open_record_writer(
            {uri, spool(spool_name), [this](const std::string &line) { notes += line; }, false});
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

// The units column is jsonb (the same object comes back), and the server allocates as every
// database does (unit_samples.h), to two writers on two connections.
TEST_F(PostgresStore, UnitsAreJsonbAndTheServerAllocatesAsEveryDatabaseDoes) {
    EXPECT_EQ(pg().query("SELECT data_type FROM information_schema.columns WHERE table_name = "
                         "'hidiap_records' AND column_name = 'units'")[0][0],
              "jsonb");
    auto east = open(station_uri(), "east");
    auto west = open(station_uri(), "west");
    ASSERT_TRUE(east && west);
    test_support::expect_range_allocation(*east, *west);
    test_support::expect_list_allocation(*east, *west);
    EXPECT_EQ(pg().query("SELECT string_agg(number::text, ',' ORDER BY number) FROM "
                         "hidiap_unit_values WHERE field = 'serial' AND station = 'west'")[0][0],
              "11,13,14,15,16,17");
}

// Four writers at once, each on its own connection, two of them taking small blocks of a range
// and two of a list until there are none: every value goes to exactly one of them, none of the
// range's or list's values is skipped, and each block of the list is in the list's order.
TEST_F(PostgresStore, WritersReservingAtOnceNeverShareAValueAndSkipNone) {
    const host::UnitSeries range{"serial", false, 1000, 1599, {}};
    host::UnitSeries list{"mac", true, 0, 0, {}};
    for (uint64_t i = 0; i < 300; i++) {
        list.list.push_back((i * 7919) % 1000 + 5000);  // 300 distinct values, not in order
    }
    std::vector<std::unique_ptr<host::RecordWriter>> writers;
    for (const char *name : {"r1", "r2", "l1", "l2"}) {
        writers.push_back(open(station_uri(), name));
        ASSERT_TRUE(writers.back());
    }
    std::vector<std::vector<test_support::UnitNumbers>> blocks(writers.size());
    std::vector<std::string> failures(writers.size());
    std::vector<std::thread> threads;
    for (size_t w = 0; w < writers.size(); w++) {
        threads.emplace_back([&, w] {
            const bool of_list = w >= 2;
            for (;;) {
                auto got = writers[w]->reserve_units(of_list ? list : range, of_list ? 2 : 3,
                                                     "station-" + std::to_string(w));
                if (!got.ok()) {
                    failures[w] = got.message();
                    return;
                }
                if (got->empty()) {
                    return;
                }
                blocks[w].push_back(*got);
            }
        });
    }
    for (std::thread &t : threads) {
        t.join();
    }
    std::map<uint64_t, size_t> place;
    for (size_t i = 0; i < list.list.size(); i++) {
        place[list.list[i]] = i;
    }
    std::multiset<uint64_t> from_range;
    std::multiset<uint64_t> from_list;
    for (size_t w = 0; w < writers.size(); w++) {
        EXPECT_EQ(failures[w], "") << "writer " << w;
        EXPECT_FALSE(blocks[w].empty()) << "writer " << w << " got no block";
        for (const test_support::UnitNumbers &block : blocks[w]) {
            for (size_t i = 0; i < block.size(); i++) {
                (w >= 2 ? from_list : from_range).insert(block[i]);
                if (w >= 2 && i > 0) {
                    EXPECT_LT(place[block[i - 1]], place[block[i]]) << "writer " << w;
                }
            }
        }
    }
    std::multiset<uint64_t> whole_range;
    for (uint64_t n = range.first; n <= range.last; n++) {
        whole_range.insert(n);
    }
    EXPECT_TRUE(from_range == whole_range) << from_range.size() << " values of the range";
    EXPECT_TRUE(from_list == std::multiset<uint64_t>(list.list.begin(), list.list.end()))
        << from_list.size() << " values of the list";
    EXPECT_EQ(pg().query("SELECT count(*) FROM hidiap_unit_values")[0][0], "900");
}

// The server stopped: reserving, giving back and looking up are Unavailable (the wait bounded
// by the connection's limits), and no value is lost or doubled once it is back; a server that
// was never there is Unavailable too.
TEST_F(PostgresStore, UnitValuesWhileTheServerIsAwayAreUnavailable) {
    const host::UnitSeries range{"serial", false, 1, 100, {}};
    auto writer = open(station_uri());
    ASSERT_TRUE(writer);
    ASSERT_EQ(test_support::value_or_said(writer->reserve_units(range, 2, "east"), "reserve"),
              (test_support::UnitNumbers{1, 2}));
    pg().stop();
    EXPECT_EQ(writer->reserve_units(range, 2, "east").code(), ErrorCode::Unavailable);
    const auto looked = writer->next_free_unit(range);
    EXPECT_EQ(looked.code(), ErrorCode::Unavailable);
    EXPECT_NE(looked.message().find("cannot be reached to look up unit values"), std::string::npos)
        << looked.message();
    EXPECT_EQ(writer->return_units("serial", {2}, "east").code(), ErrorCode::Unavailable);
    pg().start();
    EXPECT_EQ(test_support::value_or_said(writer->reserve_units(range, 2, "east"), "reserve"),
              (test_support::UnitNumbers{3, 4}));
    ASSERT_TRUE(writer->return_units("serial", {2}, "east").ok());
    EXPECT_EQ(test_support::value_or_said(writer->reserve_units(range, 2, "east"), "reserve"),
              (test_support::UnitNumbers{2, 5}));
    EXPECT_EQ(writer->finish(), "");

    const std::string nowhere = "postgresql://station:" + std::string(PgCluster::kStationPassword) +
                                "@127.0.0.1:" + std::to_string(test_support::free_tcp_port()) +
                                "/line?connect_timeout=2";
    auto away = open(nowhere, "away");
    ASSERT_TRUE(away);
    EXPECT_EQ(away->reserve_units(range, 1, "east").code(), ErrorCode::Unavailable);
    EXPECT_EQ(notes.find(PgCluster::kStationPassword), std::string::npos) << notes;
}

// A role without rights on the table of unit values is told the GRANT that mends it.
TEST_F(PostgresStore, ARoleThatMayNotReserveIsToldTheGrant) {
    pg().query("REVOKE INSERT ON hidiap_unit_values FROM station");
    auto writer = open(station_uri());
    ASSERT_TRUE(writer);
    const auto refused = writer->reserve_units({"serial", false, 1, 9, {}}, 1, "east");
    EXPECT_EQ(refused.code(), ErrorCode::PermissionDenied);
    EXPECT_NE(refused.message().find("the database's owner can GRANT SELECT, INSERT, DELETE ON "
                                     "hidiap_unit_values TO station; GRANT SELECT, INSERT, "
                                     "UPDATE ON hidiap_unit_floors TO station"),
              std::string::npos)
        << refused.message();
}

// The board's history gives the units of its latest success that had any, as the record's
// compact text (jsonb spells it its own way).
TEST_F(PostgresStore, BoardHistoryGivesTheLatestSuccessesUnits) {
    auto writer = open(station_uri());
    ASSERT_TRUE(writer);
    const std::string second = host::record_fields_object({{"serial", "1000001"}, {"mac", "m"}});
    const std::vector<std::tuple<const char *, const char *, std::string>> records = {
        {"2026-12-09T08:00:00.000Z", "success", host::record_fields_object({{"serial", "1"}})},
        {"2026-12-09T09:00:00.000Z", "success", second},
        {"2026-12-09T10:00:00.000Z", "success", ""},
        {"2026-12-09T11:00:00.000Z", "failed", host::record_fields_object({{"serial", "3"}})},
    };
    for (const auto &[time, outcome, units] : records) {
        host::DeviceRecord r = record("B1");
        r.time_utc = time;
        r.outcome = outcome;
        r.units = units;
        ASSERT_TRUE(writer->append(r).ok());
    }
    EXPECT_EQ(writer->finish(), "");
    auto fresh = open(station_uri(), "fresh");
    ASSERT_TRUE(fresh);
    EXPECT_EQ(test_support::value_or_said(fresh->board_history("B1"), "B1").units, second);
    EXPECT_EQ(test_support::value_or_said(fresh->board_history("B2"), "B2").units, "");
}

// The figures of the closing note: the time one block of values takes to be reserved (one
// round trip and its commit), from a server on this machine and with 20 ms of round trip in
// front of it, for a range, for a list, and for a range of which a million values are reserved
// already (its gaps are found from those rows). Printed, not judged.
TEST_F(PostgresStore, UnitReservationFigures) {
    pg().query(
        "INSERT INTO hidiap_unit_values (field, number, station) SELECT 'aged', n, 'old' FROM "
        "generate_series(1, 1000000) AS n");
    pg().query("VACUUM ANALYZE hidiap_unit_values");
    test_support::DelayProxy delayed(pg().port(), std::chrono::milliseconds(10));
    host::UnitSeries list{"mac", true, 0, 0, {}};
    for (uint64_t i = 0; i < 10000; i++) {
        list.list.push_back(0x020000000000ull + i);
    }
    const auto median_ms = [](host::RecordWriter &w, const host::UnitSeries &series) {
        std::vector<double> ms;
        for (int i = 0; i < 9; i++) {
            const auto start = std::chrono::steady_clock::now();
            const auto got = w.reserve_units(series, 100, "bench");
            ms.push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count());
            EXPECT_TRUE(got.ok() && got->size() == 100) << got.message();
        }
        const double first = ms[0];
        std::sort(ms.begin(), ms.end());
        return std::make_pair(ms[4], first);
    };
    for (const int port : {0, delayed.port()}) {
        const std::string name = port == 0 ? "local" : "delayed";
        auto w = open(
            pg().uri(PgCluster::kStation, PgCluster::kStationPassword, PgCluster::kDatabase, port),
            name);
        ASSERT_TRUE(w);
        ASSERT_TRUE(w->next_free_unit({"warm", false, 0, 9, {}}).ok());  // connected
        const auto range = median_ms(*w, {"serial-" + name, false, 1000000, 1999999, {}});
        list.field = "mac-" + name;
        const auto of_list = median_ms(*w, list);
        // The first block of the aged range finds its floor (a million rows read once).
        const auto aged = median_ms(*w, {"aged", false, 1, 1999999, {}});
        std::printf(
            "unit reservation of 100 values, %s: range median %.3f ms, list median %.3f ms, "
            "range with 1000000 reserved median %.3f ms (its first block %.3f ms)\n",
            port == 0 ? "local server" : "20 ms round trip", range.first, of_list.first, aged.first,
            aged.second);
    }
}
