// Budgets, resends and time-outs counted in ticks.
#include <gtest/gtest.h>

#include <cstring>

#include "engine_fixture.h"

using test_support::EngineHarness;

namespace {

class Ticks : public test_support::EngineFixture {
  protected:
    void SetUp() override {
        use_buffer(0x11, 1);
        iap_start(&h.iap, 0, 0x2000, 0x8000);
    }
};

}  // namespace

TEST_F(Ticks, IdleAndGuardedTicksChangeNothing) {
    EngineHarness idle;
    EXPECT_EQ(idle.ticks(100), 0);
    idle.iap.state_change = 1;
    EXPECT_EQ(iap_timer_callback(&idle.iap), 0u) << "idle wins over the flag";

    h.iap.state_change = 1;
    EXPECT_EQ(iap_timer_callback(&h.iap), 1u);
    EXPECT_EQ(h.iap.tick_cnt, 10u);
    EXPECT_EQ(h.iap.attempt, 3u);
}

TEST_F(Ticks, UnansweredUnlockTimesOutOnTick44AfterFourFrames) {
    h.ticks(10);
    EXPECT_EQ(h.iap.tick_cnt, 0u);
    EXPECT_EQ(h.count_of(IAP_CMD_FLASH_UNLOCK), 1u);
    h.ticks(1);
    EXPECT_EQ(h.count_of(IAP_CMD_FLASH_UNLOCK), 2u);
    EXPECT_EQ(h.iap.attempt, 2u);
    EXPECT_EQ(ticks_to_idle(100) + 11, 44);
    EXPECT_EQ(h.count_of(IAP_CMD_FLASH_UNLOCK), 4u);
    EXPECT_EQ(h.events, std::vector<iap_event_t>{IAP_EVT_CMD_RX_TIMEOUT});
    h.ticks(100);
    EXPECT_EQ(h.events.size(), 1u);
}

TEST_F(Ticks, PageChunksAreNotResentAndTimeOutAfter14Ticks) {
    h.answer(IAP_CMD_FLASH_UNLOCK);
    h.answer(IAP_CMD_FLASH_ERASE);
    h.clear_log();
    h.answer(IAP_CMD_FLASH_WRITE_PAGE_BUF);
    ASSERT_EQ(h.frames.size(), 5u);
    EXPECT_EQ(ticks_to_idle(100), 14);
    EXPECT_EQ(h.frames.size(), 5u) << "nothing is resent";
    EXPECT_EQ(h.events, std::vector<iap_event_t>{IAP_EVT_CMD_RX_TIMEOUT});
}

TEST_F(Ticks, UnansweredCheckTimesOutOnTick1004) {
    EngineHarness one;
    uint8_t small[0x100] = {};
    one.iap.update_file_num = 1;
    one.iap.local_img_buf = small;
    iap_start(&one.iap, 0, 0x100, 0x8000);
    one.answer(IAP_CMD_FLASH_UNLOCK);
    one.answer(IAP_CMD_FLASH_ERASE);
    one.answer(IAP_CMD_FLASH_WRITE_PAGE_BUF);
    one.clear_log();
    int n = 0;
    while (one.iap.state != IAP_ST_IDLE && n < 2000) {
        iap_timer_callback(&one.iap);
        n++;
        if (n == 251) {
            EXPECT_EQ(one.count_of(IAP_CMD_FLASH_CHECK), 1u) << "first resend on tick 251";
        }
    }
    EXPECT_EQ(n, 1004);
    EXPECT_EQ(one.count_of(IAP_CMD_FLASH_CHECK), 3u);
    EXPECT_EQ(one.events, std::vector<iap_event_t>{IAP_EVT_CMD_RX_TIMEOUT});
}

TEST_F(Ticks, RefusedSenderSpendsRetriesOnConsecutiveTicks) {
    h.answer(IAP_CMD_FLASH_UNLOCK);
    // Point the pending erase beyond the flash: resends are refused and leave the budget at 0.
    h.iap.iap_addr = 0x200000;
    h.clear_log();
    EXPECT_EQ(ticks_to_idle(100), 10 + 3 + 1);
    EXPECT_TRUE(h.frames.empty());
    EXPECT_EQ(h.events, std::vector<iap_event_t>{IAP_EVT_CMD_RX_TIMEOUT});
}

TEST_F(Ticks, ResendsUseTheCurrentRecord) {
    h.answer(IAP_CMD_FLASH_UNLOCK);
    h.clear_log();
    h.ticks(11);
    ASSERT_EQ(h.count_of(IAP_CMD_FLASH_ERASE), 1u);
    EXPECT_EQ(h.console, "[IAP]: Erase @ 0x00008000\r\n");
    EXPECT_EQ(h.iap.attempt, 2u);
    h.iap.state = IAP_ST_FLASH_LOCK;
    h.iap.tick_cnt = 0;
    h.clear_log();
    h.ticks(1);
    EXPECT_EQ(h.count_of(IAP_CMD_FLASH_LOCK), 1u);
    h.iap.state = IAP_ST_FLASH_REBOOT;
    h.iap.tick_cnt = 0;
    h.ticks(1);
    EXPECT_EQ(h.count_of(IAP_CMD_FLASH_REBOOT), 1u);
}

TEST_F(Ticks, WholePageWriteRecoveryRewindsToItsSector) {
    h.iap.state = IAP_ST_FLASH_WRITE;
    h.iap.iap_offset = 0x1300;
    h.iap.tick_cnt = 0;
    h.iap.attempt = 1;
    h.clear_log();
    h.ticks(1);
    EXPECT_EQ(h.iap.iap_offset, 0x1000u);
    EXPECT_EQ(h.iap.state, IAP_ST_FLASH_ERASE);
    EXPECT_EQ(h.iap.attempt, 3u);
    EXPECT_EQ(h.iap.state_change, 0u);
    ASSERT_EQ(h.count_of(IAP_CMD_FLASH_ERASE), 1u);
    EXPECT_EQ(h.console, "[IAP]: Erase @ 0x00009000\r\n[IAP]: IAP_ST_FLASH_WRITE time out\r\n");
}

TEST_F(Ticks, LateAnswerAfterAResendIsTakenForThePendingStep) {
    h.ticks(11);  // unlock resent
    h.answer(IAP_CMD_FLASH_UNLOCK);
    h.answer(IAP_CMD_FLASH_UNLOCK);  // the answer to the resend acknowledges the erase
    EXPECT_EQ(h.iap.state, IAP_ST_FLASH_WRITE_PAGE_BUF);
}
