// The outcome's words for what no simulated fault produces from the command line, device
// strings that need escaping in JSON, and a second interruption, which a terminal cannot time.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

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

// Scripts read these words; the enums may change, the words may not.
TEST(RunReport, StatusAndCauseWordsStayWhatScriptsRead) {
    using host::Cause;
    using host::Status;
    const std::pair<Status, const char *> statuses[] = {
        {Status::Success, "success"},         {Status::Failed, "failed"},
        {Status::Interrupted, "interrupted"}, {Status::BadInput, "bad-input"},
        {Status::NoDevice, "no-device"},      {Status::NoPermission, "no-permission"}};
    for (const auto &[status, word] : statuses) {
        EXPECT_STREQ(host::status_word(status), word);
    }
    const std::pair<Cause, const char *> causes[] = {{Cause::None, ""},
                                                     {Cause::CrcMismatch, "crc_mismatch"},
                                                     {Cause::Disconnected, "disconnected"},
                                                     {Cause::NoProgress, "no_progress"},
                                                     {Cause::Refused, "refused"},
                                                     {Cause::NotAnswered, "not_answered"},
                                                     {Cause::Interrupted, "interrupted"},
                                                     {Cause::SimFlash, "sim_flash"},
                                                     {Cause::BadInput, "bad-input"}};
    for (const auto &[cause, word] : causes) {
        EXPECT_STREQ(host::cause_word(cause), word);
    }
    const host::RunReport refused =
        host::refusal_report(Status::NoPermission, 4, "the device could not be opened");
    EXPECT_EQ(refused.cause, Cause::NoPermission);
    EXPECT_EQ(host::outcome_line(refused, "SIM0002").rfind("hidiap: [SIM0002] update failed", 0),
              0u);
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
