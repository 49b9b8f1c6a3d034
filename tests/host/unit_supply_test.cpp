// The station's block of unit values and its journal under the faults the test Env injects: a
// full disk or a failing fsync while a value is taken, a database away, a restart after each.
// Whatever fails, no value is handed out twice and none that was handed out is lost.
#include "host/library/unit_supply.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "test_env.h"

namespace fs = std::filesystem;
using base::ErrorCode;
using test_support::TestEnv;
using Op = TestEnv::Op;

namespace {

// A database that hands out the next numbers of the range, and can be away.
class CountingWriter : public host::RecordWriter {
  public:
    base::Status append(const host::DeviceRecord &) override { return {}; }
    base::Result<std::vector<uint64_t>> reserve_units(const host::UnitSeries &series, size_t count,
                                                      const std::string &) override {
        if (away) {
            return base::Error(ErrorCode::Unavailable, "the database is away");
        }
        std::vector<uint64_t> got;
        for (; got.size() < count && next <= series.last; next++) {
            got.push_back(next);
        }
        return got;
    }
    base::Status return_units(const std::string &, const std::vector<uint64_t> &numbers,
                              const std::string &) override {
        if (away) {
            return base::Error(ErrorCode::Unavailable, "the database is away");
        }
        returned.insert(numbers.begin(), numbers.end());
        return {};
    }
    bool away = false;
    uint64_t next = 1;
    std::set<uint64_t> returned;
};

class UnitSupply : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("hidiap_unit_supply_" + std::to_string(getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        source.field = *formats::parse_unit_field("serial=0x9000:u32le");
        source.first = 1;
        source.last = 10;
    }
    void TearDown() override { fs::remove_all(dir); }
    std::unique_ptr<host::UnitSupply> open() {
        base::Result<std::unique_ptr<host::UnitSupply>> s =
            host::UnitSupply::open({source}, db, "east", (dir / "units.journal").string(), 4);
        EXPECT_TRUE(s.ok()) << s.message();
        return s.ok() ? std::move(*s) : nullptr;
    }
    // The number a take handed out, or 0 when it handed out none.
    static uint64_t take(host::UnitSupply &s) {
        base::Result<std::optional<host::BoardUnitValues>> v = s.take();
        return v.ok() && v->has_value() ? (*v)->numbers.front() : 0;
    }

    fs::path dir;
    host::UnitSource source;
    CountingWriter db;
    TestEnv faults;
};

}  // namespace

// A take whose journal line cannot be written whole or synced hands out nothing, and leaves no
// part of its line behind: the value goes to the next take, and the journal still reads after a
// restart, which hands out none of the values taken before it.
TEST_F(UnitSupply, ATakeTheJournalCannotKeepHandsOutNothingAndTheJournalStillReads) {
    const host::EnvScope scope(faults);
    std::set<uint64_t> handed;
    {
        auto s = open();
        ASSERT_TRUE(s);
        handed.insert(take(*s));
        for (const TestEnv::Fault &fault :
             {TestEnv::Fault{Op::Append, ErrorCode::NoSpace, 0, 1, "units.journal", 3},
              TestEnv::Fault{Op::Sync, ErrorCode::Io, 0, 1, "units.journal"}}) {
            faults.clear_faults();
            faults.inject(fault);
            base::Result<std::optional<host::BoardUnitValues>> failed = s->take();
            EXPECT_FALSE(failed.ok());
            EXPECT_EQ(failed.code(), fault.code);
        }
        faults.clear_faults();
        const uint64_t next = take(*s);
        EXPECT_EQ(next, 2u) << "the value no board got is the next one";
        handed.insert(next);
        // A board that got no page of its value gives it back; it is handed out again.
        s->give_back(host::board_unit_values({source}, {next}));
        EXPECT_EQ(take(*s), next);
    }
    // The station died without returning its block: the restart reads every whole line.
    auto again = open();
    ASSERT_TRUE(again);
    for (int i = 0; i < 3; i++) {
        const uint64_t n = take(*again);
        EXPECT_TRUE(handed.insert(n).second) << n << " was handed out before the restart";
    }
}

// The database away: the block carries the takes; once spent a take is an error (not "used up"),
// and at the end what is left stays the station's, said, instead of being returned. Back again,
// the next run returns it; a range used up ends in "none".
TEST_F(UnitSupply, TheBlockCarriesAnOutageAndWhatIsLeftStaysForTheNextRun) {
    {
        auto s = open();
        ASSERT_TRUE(s);
        EXPECT_EQ(take(*s), 1u);
        db.away = true;
        EXPECT_EQ(take(*s), 2u);
        EXPECT_EQ(take(*s), 3u);
        EXPECT_EQ(take(*s), 4u);
        base::Result<std::optional<host::BoardUnitValues>> spent = s->take();
        ASSERT_FALSE(spent.ok());
        EXPECT_EQ(spent.code(), ErrorCode::Unavailable);
        EXPECT_FALSE(s->used_up());
        db.away = false;
    }
    db.next = 5;
    {
        auto s = open();
        ASSERT_TRUE(s);
        for (uint64_t n = 5; n <= 7; n++) {
            EXPECT_EQ(take(*s), n);
        }
        db.away = true;
        const std::string note = s->finish();
        EXPECT_NE(note.find("stay reserved for this station"), std::string::npos) << note;
        db.away = false;
    }
    auto s = open();
    ASSERT_TRUE(s);
    EXPECT_EQ(take(*s), 8u) << "the block kept through the outage comes first";
    EXPECT_EQ(take(*s), 9u);
    EXPECT_EQ(take(*s), 10u);
    EXPECT_EQ(take(*s), 0u);
    EXPECT_TRUE(s->used_up());
    EXPECT_EQ(s->finish(), "");
}
