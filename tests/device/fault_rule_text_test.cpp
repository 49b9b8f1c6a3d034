#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "device/fault_rules.h"

namespace {

using sim::FaultKind;
using sim::FaultRule;

FaultRule parsed(const std::string &text) {
    FaultRule rule;
    std::string error;
    EXPECT_TRUE(sim::parse_fault_rule(text, rule, error)) << text << ": " << error;
    return rule;
}

TEST(FaultRuleText, ParsesNamesCodesAndDefaults) {
    EXPECT_EQ(parsed("drop:unlock:1"), (FaultRule{FaultKind::kDrop, 0x82, 1, 0}));
    EXPECT_EQ(parsed("error:erase:3"), (FaultRule{FaultKind::kError, 0x83, 3, 0x10}));
    EXPECT_EQ(parsed("error:check:1:0x7f"), (FaultRule{FaultKind::kError, 0x91, 1, 0x7F}));
    EXPECT_EQ(parsed("dup:0x93:12"), (FaultRule{FaultKind::kDup, 0x93, 12, 0}));
    EXPECT_EQ(parsed("delay:any:2:40"), (FaultRule{FaultKind::kDelay, sim::kAnyCommand, 2, 40}));
    EXPECT_EQ(parsed("corrupt:page:5"), (FaultRule{FaultKind::kCorrupt, 0x93, 5, 0}));
    EXPECT_EQ(parsed("corrupt:write:1:255"), (FaultRule{FaultKind::kCorrupt, 0x84, 1, 255}));
    EXPECT_EQ(parsed("unplug:reboot:1"), (FaultRule{FaultKind::kUnplug, 0x86, 1, 0}));
    EXPECT_EQ(parsed("fail-write:lock:2"), (FaultRule{FaultKind::kFailWrite, 0x81, 2, 0}));
    EXPECT_EQ(parsed("DROP:Page:1"), (FaultRule{FaultKind::kDrop, 0x93, 1, 0}));
}

TEST(FaultRuleText, FormatReadsBackToTheSameRule) {
    for (const char *text :
         {"drop:unlock:1", "error:erase:3:0x10", "dup:0x55:7", "delay:any:2:40",
          "corrupt:page:5:17", "unplug:check:1", "fail-write:page:9", "no-erase:erase:2"}) {
        const FaultRule rule = parsed(text);
        EXPECT_EQ(sim::format_fault_rule(rule), text);
        EXPECT_EQ(parsed(sim::format_fault_rule(rule)), rule);
    }
}

struct BadRule {
    const char *text;
    const char *says;
};

void PrintTo(const BadRule &rule, std::ostream *os) {
    *os << '"' << rule.text << '"';
}

class FaultRuleTextErrors : public testing::TestWithParam<BadRule> {};

TEST_P(FaultRuleTextErrors, AreRefusedWithAReason) {
    FaultRule rule{FaultKind::kDup, 0x82, 9, 0};
    const FaultRule before = rule;
    std::string error;
    EXPECT_FALSE(sim::parse_fault_rule(GetParam().text, rule, error));
    EXPECT_NE(error.find(GetParam().says), std::string::npos) << error;
    EXPECT_EQ(rule, before);
}

INSTANTIATE_TEST_SUITE_P(
    Syntax, FaultRuleTextErrors,
    testing::Values(
        BadRule{"", "KIND:COMMAND:N"}, BadRule{"drop:unlock", "KIND:COMMAND:N"},
        BadRule{"drop:unlock:1:2:3", "KIND:COMMAND:N"}, BadRule{"vanish:unlock:1", "unknown kind"},
        BadRule{"drop:flash:1", "unknown command"}, BadRule{"drop:0x1ff:1", "unknown command"},
        BadRule{"drop:0x:1", "unknown command"}, BadRule{"drop:unlock:0", "N must"},
        BadRule{"drop:unlock:-1", "N must"}, BadRule{"drop:unlock:1x", "N must"},
        BadRule{"drop:unlock:4294967296", "N must"}, BadRule{"drop:unlock:1:5", "takes no ARG"},
        BadRule{"unplug:any:1:1", "takes no ARG"}, BadRule{"error:erase:1:0", "1..255"},
        BadRule{"error:erase:1:256", "1..255"}, BadRule{"error:erase:1:x", "ARG must"},
        BadRule{"delay:check:1", "delay needs"}, BadRule{"delay:check:1:0", "delay needs"},
        BadRule{"corrupt:erase:1", "only to write and page"},
        BadRule{"corrupt:any:1", "only to write and page"}, BadRule{"corrupt:page:1:256", "0..255"},
        BadRule{"no-erase:page:1", "only to erase"},
        BadRule{"no-erase:erase:1:1", "takes no ARG"}));

TEST(FaultRuleText, ScheduleNamesTheRuleThatFailed) {
    sim::FaultSchedule schedule;
    std::string error;
    EXPECT_TRUE(sim::parse_fault_schedule({"drop:unlock:1", "dup:page:2"}, schedule, error));
    EXPECT_EQ(schedule.rules().size(), 2u);
    EXPECT_FALSE(sim::parse_fault_schedule({"drop:unlock:1", "dup:pages:2"}, schedule, error));
    EXPECT_NE(error.find("dup:pages:2"), std::string::npos) << error;
}

}  // namespace
