// The invariants a finished run is judged by, on hand-made transcripts and flash images: each one
// must catch the fault it stands for and let a sound run through.
#include "run_verdict.h"

#include <gtest/gtest.h>

#include "expected_layout.h"
#include "run_plan.h"

namespace soak {
namespace {

const char kSuccess[] = "Firmware updated successfully !\r\n";
const char kTimeout[] = "IAP_EVT_CMD_RX_TIMEOUT\r\n";
const char kError[] = "IAP_EVT_CMD_ERROR\r\n";

struct VerdictTest : ::testing::Test {
    VerdictTest() {
        plan.image.assign(0x8000 + 0x1234, 0);
        for (size_t i = 0; i < plan.image.size(); i++) {
            plan.image[i] = static_cast<uint8_t>(i * 7 + 3);
        }
        plan.tts.assign(777, 0x3C);
        plan.token = "1MB";
        plan.faults.push_back({sim::FaultKind::kDrop, "page", 1, {}});
        seen.flash = test_support::expected_flash(plan.image, plan.tts, plan.tts_addr());
    }
    RunObservation observe(int exit_status, std::string console, std::string errors = "") {
        seen.exit_status = exit_status;
        seen.console = "[IAP]: flash unlock\r\n" + console;
        seen.errors = std::move(errors);
        return seen;
    }
    bool mentions(const Verdict &v, const std::string &words) {
        for (const std::string &text : v.violations) {
            if (text.find(words) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
    RunPlan plan;
    RunObservation seen;
};

TEST_F(VerdictTest, EventLinesAreReadInOrderAmongOtherLines) {
    const std::string console = std::string("[IAP]: Command 00000093, RET 07\r\n") + kError +
                                "[IAP]: flash reboot\r\n" + kTimeout + "unknown error !\r\n" +
                                kSuccess + "IAP_EVT_CMD_ERROR is not a line of its own\r\n";
    EXPECT_EQ(event_lines(console),
              (std::vector<OutcomeColumn>{OutcomeColumn::kError, OutcomeColumn::kTimeout,
                                          OutcomeColumn::kOther, OutcomeColumn::kSuccess}));
}

TEST_F(VerdictTest, SoundRunsPass) {
    Verdict v = judge_run(plan, observe(0, kSuccess));
    EXPECT_TRUE(v.ok()) << v.violations.front();
    EXPECT_EQ(v.outcome, OutcomeColumn::kSuccess);
    // An error answer the run survived comes before the success line.
    v = judge_run(plan, observe(0, std::string(kError) + kSuccess));
    EXPECT_TRUE(v.ok());
    v = judge_run(plan,
                  observe(1, std::string(kError) + kTimeout, "hidiap: update failed (timeout)\n"));
    EXPECT_TRUE(v.ok());
    EXPECT_EQ(v.outcome, OutcomeColumn::kTimeout);
    v = judge_run(plan, observe(1, kError, "hidiap: update failed (error)\n"));
    EXPECT_TRUE(v.ok());
    EXPECT_EQ(v.outcome, OutcomeColumn::kError);
}

TEST_F(VerdictTest, ExitStatusMustAgreeWithTheLastEventLine) {
    // A late error line after the success line: the user is told both.
    EXPECT_TRUE(mentions(judge_run(plan, observe(0, std::string(kSuccess) + kError)),
                         "exit status 0 but the last event line is error"));
    EXPECT_TRUE(
        mentions(judge_run(plan, observe(0, std::string(kSuccess) + kSuccess)), "2 success lines"));
    EXPECT_TRUE(mentions(judge_run(plan, observe(0, kTimeout)), "last event line is timeout"));
    EXPECT_TRUE(mentions(judge_run(plan, observe(1, kSuccess, "hidiap: update failed (error)\n")),
                         "exit status 1 but the last event line is success"));
    EXPECT_TRUE(mentions(judge_run(plan, observe(2, kTimeout)), "ends in 0 or 1"));
    EXPECT_TRUE(mentions(judge_run(plan, observe(1, "", "hidiap: update failed (stalled)\n")),
                         "no event line"));
    EXPECT_TRUE(mentions(judge_run(plan, observe(1, kError, "hidiap: update failed (timeout)\n")),
                         "reported the failure as 'timeout'"));
}

// The board went away after its reboot frame with every range verified: the tool reports it
// updated (exit status 0) after the engine's time-out line, which only an unplug rule that can
// land on a reboot and nothing but the reboot's lines after the last check make sound.
TEST_F(VerdictTest, ABoardGoneAfterItsRebootFrameIsUpdated) {
    const std::string checked = "[IAP]: check done!update_done_num:2\r\n";
    const std::string reboots =
        "[IAP]: flash reboot\r\n[IAP]: flash reboot\r\n"
        "[00000000]: 01 a5 06 00 86 1d 91 00\r\n";
    plan.faults = {{sim::FaultKind::kDrop, "reboot", 1, {}},
                   {sim::FaultKind::kUnplug, "any", 700, {}}};
    Verdict v = judge_run(plan, observe(0, checked + reboots + kTimeout));
    EXPECT_TRUE(v.ok()) << v.violations.front();
    EXPECT_TRUE(judge_run(plan, observe(0, checked +
                                               "[IAP]: flash reboot\r\n"
                                               "[IAP]: Command 00000086, RET 01\r\n" +
                                               kError + reboots + kTimeout))
                    .ok());
    seen.flash[0x8000] ^= 0xFF;
    EXPECT_TRUE(mentions(judge_run(plan, observe(0, checked + reboots + kTimeout)),
                         "1 flash bytes differ"));
    seen.flash[0x8000] ^= 0xFF;
    EXPECT_TRUE(mentions(
        judge_run(plan, observe(0, checked + "[IAP]: flash unlock\r\n" + reboots + kTimeout)),
        "last event line is timeout"));
    EXPECT_TRUE(
        mentions(judge_run(plan, observe(0, reboots + kTimeout)), "last event line is timeout"));
    plan.faults = {{sim::FaultKind::kUnplug, "page", 3, {}}};
    EXPECT_TRUE(mentions(judge_run(plan, observe(0, checked + reboots + kTimeout)),
                         "last event line is timeout"));
}

TEST_F(VerdictTest, SuccessNeedsTheExactLayout) {
    seen.flash[0x8000 + 0x100] ^= 0xFF;
    EXPECT_TRUE(mentions(judge_run(plan, observe(0, kSuccess)), "1 flash bytes differ"));
    seen.flash.resize(100);
    EXPECT_TRUE(
        mentions(judge_run(plan, observe(1, kTimeout, "update failed (timeout)")), "not 2 MiB"));
}

TEST_F(VerdictTest, AFlippedBitThatStayedNeverPassesAsSuccess) {
    plan.faults = {{sim::FaultKind::kCorrupt, "page", 3, 17}};
    seen.flash[plan.tts_addr() + 0x200 + 17] ^= 0x01;
    Verdict v = judge_run(plan, observe(0, kSuccess));
    EXPECT_TRUE(v.corruption_seen);
    EXPECT_TRUE(mentions(v, "corrupted byte stayed in the verified page at 0x080200"));
    v = judge_run(plan, observe(1, kError, "hidiap: update failed (error)\n"));
    EXPECT_TRUE(v.corruption_seen);
    EXPECT_TRUE(v.ok());
    // The same trace without a corrupt rule means data went wrong on its own.
    plan.faults.clear();
    EXPECT_TRUE(mentions(judge_run(plan, observe(1, kError, "update failed (error)")),
                         "no corrupt rule was given"));
}

TEST_F(VerdictTest, SingleBitPagesIgnoreUnwrittenAndMultiplyDamagedPages) {
    std::vector<uint8_t> expected(0x400, 0x00);
    std::vector<uint8_t> flash = expected;
    flash[0x005] = 0x10;                                            // one bit: found
    std::fill(flash.begin() + 0x100, flash.begin() + 0x200, 0xFF);  // never written
    flash[0x210] = 0x01;
    flash[0x211] = 0x01;  // two bits in one page
    flash[0x3FF] = 0x80;  // one bit, last byte of the range
    EXPECT_EQ(single_bit_pages(flash, expected, 0, 0x400), (std::vector<uint32_t>{0x000, 0x300}));
    EXPECT_EQ(single_bit_pages(flash, expected, 0x100, 0x300), std::vector<uint32_t>{});
    // A page meant to be 0xFF but one bit, never written: erased, not corrupted.
    std::fill(expected.begin() + 0x100, expected.begin() + 0x200, 0xFF);
    expected[0x100] = 0xFE;
    EXPECT_EQ(single_bit_pages(flash, expected, 0x100, 0x200), std::vector<uint32_t>{});
}

TEST_F(VerdictTest, AnInertScheduleThatFailsIsFlaggedForARerun) {
    plan.faults = {{sim::FaultKind::kDrop, "lock", 1, {}}};
    Verdict v = judge_run(plan, observe(1, kTimeout, "update failed (timeout)"));
    EXPECT_TRUE(v.clean_run_failed);
    EXPECT_TRUE(v.ok());
    v = judge_run(plan, observe(0, kSuccess));
    EXPECT_FALSE(v.clean_run_failed);
    plan.faults = {{sim::FaultKind::kDrop, "page", 1, {}}};
    EXPECT_FALSE(judge_run(plan, observe(1, kTimeout, "update failed (timeout)")).clean_run_failed);
}

TEST_F(VerdictTest, VerdictsCrossAPipeWholeOrNotAtAll) {
    Verdict v;
    v.outcome = OutcomeColumn::kTimeout;
    v.exit_status = 1;
    v.corruption_seen = true;
    v.clean_run_failed = true;
    v.violations = {"first: with spaces", "second"};
    Verdict back;
    ASSERT_TRUE(decode_verdict(encode_verdict(v), back));
    EXPECT_EQ(back.outcome, v.outcome);
    EXPECT_EQ(back.exit_status, 1);
    EXPECT_TRUE(back.corruption_seen);
    EXPECT_TRUE(back.clean_run_failed);
    EXPECT_EQ(back.violations, v.violations);
    const std::string text = encode_verdict(v);
    EXPECT_FALSE(decode_verdict(text.substr(0, text.size() - 4), back));
    EXPECT_FALSE(decode_verdict("", back));
    EXPECT_FALSE(decode_verdict("outcome 9\nend\n", back));
}

}  // namespace
}  // namespace soak
