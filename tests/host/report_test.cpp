// The outcome's words for what no simulated fault produces from the command line, device
// strings that need escaping in JSON, and a second interruption, which a terminal cannot time.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <iterator>

#include "host/library/run_records.h"
#include "host/platform/platform.h"
#include "host/present/json_events.h"
#include "host/run/run_report.h"

TEST(RunReport, AStandingStillUpdateIsNoProgress) {
    host::RunFacts facts;
    facts.total_bytes = 8448;
    const host::RunReport r = host::make_run_report(facts, host::Outcome::Stalled, 0, 30.0);
    EXPECT_EQ(r.cause, host::Cause::NoProgress);
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(host::outcome_line(r).rfind("hidiap: update failed (stalled): no progress at all", 0),
              0u);
}

// Scripts read these words; the enums may change, the words may not. Every value of each enum
// is walked: a value added without its words fails here.
TEST(RunReport, EveryStatusCauseAndOutcomeKeepsTheWordsScriptsRead) {
    using host::Cause;
    using host::Status;
    // By value: JSON and table, record, station.
    const char *const statuses[][3] = {{"success", "success", "updated"},
                                       {"failed", "failed", "FAILED"},
                                       {"interrupted", "interrupted", "interrupted"},
                                       {"bad-input", "failed", "FAILED"},
                                       {"no-device", "failed", "FAILED"},
                                       {"no-permission", "failed", "FAILED"},
                                       {"current", "current", "current"}};
    ASSERT_EQ(std::size(statuses), static_cast<size_t>(host::kStatusCount));
    for (int i = 0; i < host::kStatusCount; i++) {
        const host::StatusWords &w = host::status_words(static_cast<Status>(i));
        EXPECT_STREQ(w.word, statuses[i][0]) << i;
        EXPECT_STREQ(host::status_word(static_cast<Status>(i)), statuses[i][0]) << i;
        EXPECT_STREQ(w.record, statuses[i][1]) << i;
        EXPECT_STREQ(w.board, statuses[i][2]) << i;
    }
    const char *const causes[] = {"",
                                  "crc_mismatch",
                                  "disconnected",
                                  "no_progress",
                                  "refused",
                                  "not_answered",
                                  "interrupted",
                                  "sim_flash",
                                  "wrong_product",
                                  "bad-input",
                                  "no-device",
                                  "no-permission",
                                  "differs",
                                  "record",
                                  "downgrade"};
    ASSERT_EQ(std::size(causes), static_cast<size_t>(host::kCauseCount));
    for (int i = 0; i < host::kCauseCount; i++) {
        EXPECT_STREQ(host::cause_word(static_cast<Cause>(i)), causes[i]) << i;
    }
    const char *const outcomes[] = {"success",      "timeout",       "error",
                                    "stalled",      "no-event",      "interrupted",
                                    "disconnected", "wrong product", "refused"};
    ASSERT_EQ(std::size(outcomes), static_cast<size_t>(host::kOutcomeCount));
    for (int i = 0; i < host::kOutcomeCount; i++) {
        EXPECT_STREQ(host::outcome_word(static_cast<host::Outcome>(i)), outcomes[i]) << i;
    }
    // A record takes its outcome word from the table.
    host::RunReport current;
    current.status = Status::Current;
    EXPECT_STREQ(host::record_outcome(current), "current");
    const host::RunReport refused =
        host::refusal_report(Status::NoPermission, 4, "the device could not be opened");
    EXPECT_EQ(refused.cause, Cause::NoPermission);
    EXPECT_EQ(host::outcome_line(refused, "SIM0002").rfind("hidiap: [SIM0002] update failed", 0),
              0u);
}

// The outcome line of a run whose device did its part: a record that could not be written after
// it, and sectors that were already current.
TEST(RunReport, TheOutcomeLineSaysWhatTheDeviceDidAndWhatFailedAfterIt) {
    host::RunFacts facts;
    facts.bytes = facts.total_bytes = 8448;
    host::RunReport updated = host::make_run_report(facts, host::Outcome::Success, 0, 1.0);
    updated.fail_after_success(host::Cause::Record, "its record could not be written");
    EXPECT_EQ(host::outcome_line(updated),
              "hidiap: update failed: the device was updated and every range verified, but its "
              "record could not be written; 8448 of 8448 bytes programmed in 1.00 s (8.2 KiB/s)\n");

    host::RunFacts checked = facts;
    checked.bytes = 0;
    checked.verify_only = true;
    host::RunReport current = host::make_run_report(checked, host::Outcome::Success, 0, 0.1);
    current.fail_after_success(host::Cause::Record, "its record could not be written");
    EXPECT_EQ(host::outcome_line(current, "SIM0001"),
              "hidiap: [SIM0001] verify failed: the device already holds both files, but its "
              "record could not be written\n");

    facts.unchanged_bytes = 8448;
    EXPECT_EQ(host::outcome_line(host::make_run_report(facts, host::Outcome::Success, 0, 1.0)),
              "hidiap: update succeeded: 0 of 8448 bytes programmed in 1.00 s (0.0 KiB/s), every "
              "range verified (8448 bytes already current)\n");
}

TEST(JsonEvents, DeviceStringsSurviveQuotesBackslashesAndNonAscii) {
    host::DeviceInfo d;
    d.product = "Bo\"ot\\loader \xc3\xa9t\xc3\xa9";
    d.serial = "A\tB";
    const std::string line = host::device_to_json(d).dump();
    const nlohmann::ordered_json back = nlohmann::ordered_json::parse(line);
    EXPECT_EQ(back["product"], d.product);
    EXPECT_EQ(back["serial"], d.serial);
    EXPECT_TRUE(back["path"].is_null());
}

TEST(Interrupts, TheFirstIsNotedTheSecondEndsAtOnce) {
    // Other tests of this program start threads; a fresh process runs the handlers alone.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            host::install_interrupt_handlers();
            std::raise(SIGTERM);
            if (host::interrupt_requested() != 143) {
                std::_Exit(1);
            }
            std::raise(SIGINT);
            std::_Exit(2);  // not reached: the second request ends the process
        },
        ::testing::ExitedWithCode(130), "");
}
