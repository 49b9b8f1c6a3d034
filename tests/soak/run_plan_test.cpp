// Plans: reproducible from the seed, inside the sizes the soak promises, rules the tool accepts,
// and the occasion counts that decide whether a rule can hit at all.
#include "run_plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "device/fault_rules.h"
#include "expected_layout.h"

namespace soak {
namespace {

TEST(RunPlan, SameSeedGivesTheSamePlan) {
    const RunPlan a = make_plan(1234);
    const RunPlan b = make_plan(1234);
    EXPECT_EQ(a.image, b.image);
    EXPECT_EQ(a.tts, b.tts);
    EXPECT_EQ(a.token, b.token);
    EXPECT_EQ(a.fault_texts(), b.fault_texts());
    const RunPlan c = make_plan(1235);
    EXPECT_NE(a.image, c.image);
}

TEST(RunPlan, ManySeedsStayInBoundsAndCoverEveryKindAndBoundary) {
    std::set<FaultClass> classes;
    std::set<std::string> tokens;
    int page_aligned = 0;
    int sector_aligned = 0;
    int inert = 0;
    for (uint64_t seed = 1; seed <= 3000; seed++) {
        const RunPlan plan = make_plan(seed);
        SCOPED_TRACE(describe(plan));
        ASSERT_GT(plan.image.size(), 0x8000u);
        ASSERT_LE(plan.image.size(), 0x8000u + 0x4000u + 1u);
        ASSERT_GE(plan.tts.size(), 1u);
        ASSERT_LE(plan.tts.size(), 0x1000u);
        ASSERT_LE(plan.faults.size(), 3u);
        // The image must stay below the TTS range, or the TTS erase would wipe image bytes.
        ASSERT_LT((plan.image.size() + 255) / 256 * 256, plan.tts_addr());
        for (const PlannedFault &f : plan.faults) {
            sim::FaultRule rule;
            std::string error;
            ASSERT_TRUE(sim::parse_fault_rule(f.text(), rule, error)) << error;
            EXPECT_EQ(rule.kind, f.kind);
            EXPECT_EQ(rule.nth, f.nth);
        }
        classes.insert(plan.fault_class());
        tokens.insert(plan.token);
        page_aligned += plan.image.size() % 256 == 0 ? 1 : 0;
        sector_aligned += plan.image.size() % 4096 == 0 ? 1 : 0;
        inert += !plan.faults.empty() && plan.inert() ? 1 : 0;
    }
    EXPECT_EQ(classes.size(), static_cast<size_t>(kFaultClassCount));
    EXPECT_EQ(tokens, (std::set<std::string>{"1MB", "1MBx", "2MB", "1mb"}));
    EXPECT_GT(page_aligned, 100);
    EXPECT_GT(sector_aligned, 50);
    EXPECT_GT(inert, 20);
}

RunPlan plan_of(size_t image, size_t tts, std::vector<PlannedFault> faults = {}) {
    RunPlan plan;
    plan.image.assign(image, 0x5A);
    plan.tts.assign(tts, 0xA5);
    plan.token = "2MB";
    plan.faults = std::move(faults);
    return plan;
}

TEST(RunPlan, CleanOccasionsCountAnswersAndFramesOfAFaultFreeRun) {
    // 0x1001 image bytes: 17 pages over 2 sectors; 1,000 TTS bytes: 4 pages in 1 sector.
    const RunPlan plan = plan_of(0x8000 + 0x1001, 1000);
    using K = sim::FaultKind;
    EXPECT_EQ(plan.clean_occasions(K::kDrop, "unlock"), 2u);
    EXPECT_EQ(plan.clean_occasions(K::kDrop, "erase"), 3u);
    EXPECT_EQ(plan.clean_occasions(K::kDrop, "page"), 21u);
    EXPECT_EQ(plan.clean_occasions(K::kFailWrite, "page"), 105u);  // five chunks a page
    EXPECT_EQ(plan.clean_occasions(K::kDelay, "check"), 2u);
    EXPECT_EQ(plan.clean_occasions(K::kDup, "reboot"), 1u);
    EXPECT_EQ(plan.clean_occasions(K::kError, "any"), 29u);
    EXPECT_EQ(plan.clean_occasions(K::kUnplug, "any"), 113u);
    EXPECT_EQ(plan.clean_occasions(K::kCorrupt, "write"), 0u);
    EXPECT_EQ(plan.clean_occasions(K::kDrop, "lock"), 0u);
}

TEST(RunPlan, CleanOccasionsOfASkipUnchangedRunFollowItsStartingFlash) {
    RunPlan plan = plan_of(0x8000 + 0x1001, 1000);
    plan.skip_unchanged = true;
    using K = sim::FaultKind;
    // Erased: one survey of each range, then every sector programmed without an erase.
    EXPECT_EQ(plan.clean_occasions(K::kDrop, "check"), 4u);
    EXPECT_EQ(plan.clean_occasions(K::kDrop, "erase"), 0u);
    EXPECT_EQ(plan.clean_occasions(K::kDrop, "page"), 21u);
    plan.start_flash = test_support::expected_flash(plan.image, plan.tts, plan.tts_addr());
    EXPECT_EQ(plan.clean_occasions(K::kDrop, "page"), 0u);
    // The image's second sector differs: both its sectors are surveyed, one is programmed.
    plan.start_flash[0x9000] = 0x00;
    EXPECT_EQ(plan.clean_occasions(K::kDrop, "check"), 6u);
    EXPECT_EQ(plan.clean_occasions(K::kDrop, "erase"), 1u);
    EXPECT_EQ(plan.clean_occasions(K::kDrop, "page"), 1u);
}

TEST(RunPlan, CleanOccasionsOfASkipBlankRunLeaveOutItsBlankPages) {
    RunPlan plan = plan_of(0x8000 + 0x1001, 1000);
    plan.skip_blank = true;
    std::fill(plan.image.begin() + 0x8100, plan.image.begin() + 0x8200, 0xFF);
    using K = sim::FaultKind;
    EXPECT_EQ(plan.clean_occasions(K::kDrop, "erase"), 3u);  // every sector is still erased
    EXPECT_EQ(plan.clean_occasions(K::kDrop, "page"), 20u);
    EXPECT_EQ(plan.clean_occasions(K::kUnplug, "page"), 100u);
}

TEST(RunPlan, InertOnlyWhenNoRuleReachesItsOccasion) {
    using K = sim::FaultKind;
    EXPECT_TRUE(plan_of(0x8100, 1).inert());
    EXPECT_TRUE(plan_of(0x8100, 1, {{K::kDrop, "reboot", 2, {}}}).inert());
    EXPECT_TRUE(plan_of(0x8100, 1, {{K::kCorrupt, "write", 1, 0}}).inert());
    EXPECT_FALSE(plan_of(0x8100, 1, {{K::kDrop, "reboot", 1, {}}}).inert());
    EXPECT_FALSE(
        plan_of(0x8100, 1, {{K::kDrop, "lock", 1, {}}, {K::kFailWrite, "page", 10, {}}}).inert());
}

TEST(RunPlan, FaultClassNamesOneKindOrMixed) {
    using K = sim::FaultKind;
    EXPECT_EQ(plan_of(0x8100, 1).fault_class(), FaultClass::kNone);
    EXPECT_EQ(
        plan_of(0x8100, 1, {{K::kDelay, "page", 1, 3}, {K::kDelay, "check", 1, 300}}).fault_class(),
        FaultClass::kDelay);
    EXPECT_EQ(
        plan_of(0x8100, 1, {{K::kDelay, "page", 1, 3}, {K::kDrop, "check", 1, {}}}).fault_class(),
        FaultClass::kMixed);
    EXPECT_EQ(PlannedFault({K::kError, "any", 7, 33}).text(), "error:any:7:33");
    EXPECT_EQ(PlannedFault({K::kFailWrite, "page", 12, {}}).text(), "fail-write:page:12");
}

}  // namespace
}  // namespace soak
