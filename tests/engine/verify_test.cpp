// Verification only: the check command of each range, and not one frame that changes the flash.
#include <gtest/gtest.h>

#include <cstring>

#include "engine_fixture.h"
#include "globals/iap_globals.h"
#include "reference_checksums.h"

namespace {

class Verify : public test_support::EngineFixture {
  protected:
    void SetUp() override {
        use_buffer(0x5A, 2);
        std::memset(tts_file, 0x33, 1024);
        tts_size = 1024;
        is_1mb = 1;
    }
    uint32_t image_crc() const { return test_support::reference_jamcrc(buf, 0x2000); }
    uint32_t tts_crc() const { return test_support::reference_jamcrc(tts_file, 1024); }
    // Only check frames may have been sent.
    void expect_only_checks() const {
        for (const test_support::Frame &f : h.frames) {
            EXPECT_EQ(f[3], IAP_CMD_FLASH_CHECK);
        }
    }
};

}  // namespace

TEST_F(Verify, BothRangesMatchingEndsInSuccessWithoutWriting) {
    iap_verify_start(&h.iap, 0, 0x2000, 0x8000);
    ASSERT_EQ(h.frames.size(), 1u);
    EXPECT_EQ(h.frames[0],
              test_support::make_frame(IAP_CMD_FLASH_CHECK, {0x00, 0x80, 0, 0, 0x00, 0x20, 0, 0}));
    h.answer(IAP_CMD_FLASH_CHECK, 0, image_crc());
    EXPECT_EQ(h.iap.state, IAP_ST_FLASH_VERIFY_RANGE);
    EXPECT_EQ(h.iap.iap_addr, 0x80000u) << "on to the TTS range";
    EXPECT_EQ(h.frames.size(), 1u) << "its check goes out with the next tick";
    h.ticks(1);
    ASSERT_EQ(h.frames.size(), 2u);
    h.answer(IAP_CMD_FLASH_CHECK, 0, tts_crc());
    EXPECT_EQ(h.iap.state, IAP_ST_IDLE);
    EXPECT_EQ(h.events, std::vector<iap_event_t>{IAP_EVT_SUCCESS});
    EXPECT_EQ(h.count_of(IAP_CMD_FLASH_CHECK), 2u);
    expect_only_checks();
    EXPECT_TRUE(h.iap.verify[0].match && h.iap.verify[1].match);
}

// A differing first range does not stop the second from being compared: a record carries both.
TEST_F(Verify, DifferingRangeIsReportedAfterBothWereCompared) {
    iap_verify_start(&h.iap, 0, 0x2000, 0x8000);
    h.answer(IAP_CMD_FLASH_CHECK, 0, 0xDEADBEEF);
    h.ticks(1);
    h.answer(IAP_CMD_FLASH_CHECK, 0, tts_crc());
    EXPECT_EQ(h.events, std::vector<iap_event_t>{IAP_EVT_CMD_ERROR});
    EXPECT_EQ(h.iap.crc_flag, IAP_CRC_FAIL);
    EXPECT_EQ(h.iap.verify[0].device_crc, 0xDEADBEEFu);
    EXPECT_EQ(h.iap.verify[0].host_crc, image_crc());
    EXPECT_FALSE(h.iap.verify[0].match);
    EXPECT_TRUE(h.iap.verify[1].match);
    expect_only_checks();
}

TEST_F(Verify, SkipUnchangedNamesTheSectorsThatDiffer) {
    h.iap.skip_unchanged = 1;
    iap_verify_start(&h.iap, 0, 0x2000, 0x8000);
    h.answer(IAP_CMD_FLASH_CHECK, 0, 0x1);
    EXPECT_EQ(h.iap.state, IAP_ST_FLASH_VERIFY_SECTOR);
    h.ticks(1);
    h.answer(IAP_CMD_FLASH_CHECK, 0, test_support::reference_jamcrc(buf, 0x1000));
    h.ticks(1);
    h.answer(IAP_CMD_FLASH_CHECK, 0, 0x2);  // the second sector differs
    EXPECT_NE(h.console.find("[IAP]: 1 of 2 sectors differ from 0x00008000\r\n"),
              std::string::npos);
    EXPECT_EQ(h.iap.verify[0].sector_differs[0], 0x2u);
    EXPECT_EQ(h.iap.state, IAP_ST_FLASH_VERIFY_RANGE);
    expect_only_checks();
}

// The check's budget, resends and time-out: 250 ticks, three resends, then the time-out.
TEST_F(Verify, UnansweredCheckIsResentAndTimesOut) {
    iap_verify_start(&h.iap, 0, 0x2000, 0x8000);
    EXPECT_EQ(ticks_to_idle(2000), 1004);
    EXPECT_EQ(h.count_of(IAP_CMD_FLASH_CHECK), 4u);
    EXPECT_EQ(h.events, std::vector<iap_event_t>{IAP_EVT_CMD_RX_TIMEOUT});
}

// A check's answer is one that names the check command and arrived after that check was sent: a
// duplicate of the image range's answer, whose checksum the TTS range would have too, must not
// vouch for the TTS range, nor may an answer to another command.
TEST_F(Verify, OnlyAnAnswerToTheCheckSentCountsForIt) {
    std::memset(tts_file, 0x5A, 1024);  // the TTS range's checksum is the image range's
    tts_size = 1024;
    const uint32_t same = test_support::reference_jamcrc(buf, 1024);
    iap_verify_start(&h.iap, 0, 1024, 0x8000);
    h.answer(IAP_CMD_FLASH_CHECK, 0, same);
    h.answer(IAP_CMD_FLASH_CHECK, 0, same);  // the device sent it twice
    EXPECT_EQ(h.iap.verify[1].done, 0) << "taken before the TTS range's check was sent";
    h.ticks(1);
    EXPECT_EQ(h.count_of(IAP_CMD_FLASH_CHECK), 2u);
    h.answer(IAP_CMD_FLASH_UNLOCK, 0, same);  // an answer to another command
    EXPECT_EQ(h.iap.verify[1].done, 0);
    h.answer(IAP_CMD_FLASH_CHECK, 0, 0xDEADBEEF);  // what the TTS range holds
    EXPECT_EQ(h.events, std::vector<iap_event_t>{IAP_EVT_CMD_ERROR});
    EXPECT_TRUE(h.iap.verify[0].match);
    EXPECT_FALSE(h.iap.verify[1].match);
    EXPECT_EQ(h.iap.verify[1].device_crc, 0xDEADBEEFu);
}
