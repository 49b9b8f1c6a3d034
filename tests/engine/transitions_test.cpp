// Answers move the engine through its steps; errors and answers mid-transition do not.
#include <gtest/gtest.h>

#include <cstring>

#include "engine_fixture.h"
#include "globals/iap_globals.h"
#include "reference_checksums.h"

using test_support::EngineHarness;

namespace {

class Transitions : public test_support::EngineFixture {
  protected:
    void SetUp() override {
        use_buffer(0x5A, 2);
        std::memset(tts_file, 0x33, 1024);
        tts_size = 1024;
        is_1mb = 1;
    }
    void start(uint32_t size = 0x2000) {
        iap_start(&h.iap, 0, size, 0x8000);
        h.clear_log();
    }
    // A one-page range, answered up to its check.
    void start_one_page_run_to_its_check() {
        start(0x100);
        h.answer(IAP_CMD_FLASH_UNLOCK);
        h.answer(IAP_CMD_FLASH_ERASE);
        h.answer(IAP_CMD_FLASH_WRITE_PAGE_BUF);
    }
};

}  // namespace

TEST_F(Transitions, StartArmsUnlock) {
    EXPECT_EQ(iap_start(&h.iap, 0, 0x2000, 0x8001), 1u) << "an unaligned flash address is accepted";
    EXPECT_EQ(h.iap.state, IAP_ST_FLASH_UNLOCK);
    EXPECT_EQ(h.iap.iap_offset, 0u);
    EXPECT_EQ(h.iap.attempt, 3u);
    EXPECT_EQ(h.iap.crc_flag, IAP_CRC_IDLE);
    EXPECT_EQ(h.iap.tick_cnt, 10u);
    EXPECT_EQ(h.iap.state_change, 0u);
    ASSERT_EQ(h.frames.size(), 1u);
    EXPECT_EQ(h.frames[0][3], IAP_CMD_FLASH_UNLOCK);
    EXPECT_EQ(h.iap.update_file_num, 2) << "init and start leave the buffer count alone";
}

TEST_F(Transitions, StartRefusals) {
    EXPECT_EQ(iap_start(&h.iap, 0x8001, 0x100, 0x8000), 1u);
    EXPECT_EQ(h.console, "[IAP]: Invalid start address 00008001!");
    EXPECT_EQ(h.iap.state, IAP_ST_IDLE);
    EXPECT_TRUE(h.frames.empty());

    start();
    h.iap.tick_cnt = 7;
    iap_start(&h.iap, 0, 0x100, 0x9000);
    EXPECT_EQ(h.console, "[IAP]: IAP is busy!");
    EXPECT_EQ(h.iap.size, 0x2000u);
    EXPECT_EQ(h.iap.tick_cnt, 7u);
    EXPECT_TRUE(h.frames.empty());
}

TEST_F(Transitions, UnlockEraseAndPagesUpToTheSectorBoundary) {
    start();
    h.answer(IAP_CMD_FLASH_UNLOCK);
    EXPECT_EQ(h.iap.state, IAP_ST_FLASH_ERASE);
    ASSERT_EQ(h.count_of(IAP_CMD_FLASH_ERASE), 1u);
    h.answer(IAP_CMD_FLASH_ERASE);
    EXPECT_EQ(h.iap.state, IAP_ST_FLASH_WRITE_PAGE_BUF);
    EXPECT_EQ(h.count_of(IAP_CMD_FLASH_WRITE_PAGE_BUF), 5u);
    for (int page = 1; page < 16; page++) {
        h.answer(IAP_CMD_FLASH_WRITE_PAGE_BUF);
    }
    EXPECT_EQ(h.iap.iap_offset, 0x0F00u);
    h.clear_log();
    h.answer(IAP_CMD_FLASH_WRITE_PAGE_BUF);
    EXPECT_EQ(h.iap.iap_offset, 0x1000u);
    EXPECT_EQ(h.iap.state, IAP_ST_FLASH_ERASE);
    EXPECT_EQ(h.console, "[IAP]: Erase @ 0x00009000\r\n");
    EXPECT_EQ(h.iap.attempt, 3u);
}

TEST_F(Transitions, AnyAnswerNotMarkedAsResultAdvances) {
    start();
    uint8_t odd[10] = {0, 0, 0, 0x7F, 0x99, 0x42};
    iap_rx_callback(&h.iap, odd, sizeof odd);
    EXPECT_EQ(h.iap.state, IAP_ST_FLASH_ERASE);
}

TEST_F(Transitions, LastPageLeadsToCheckAndMatchChainsToTts) {
    start(0x200);
    h.answer(IAP_CMD_FLASH_UNLOCK);
    h.answer(IAP_CMD_FLASH_ERASE);
    h.answer(IAP_CMD_FLASH_WRITE_PAGE_BUF);
    h.clear_log();
    h.answer(IAP_CMD_FLASH_WRITE_PAGE_BUF);
    EXPECT_EQ(h.iap.state, IAP_ST_FLASH_CHECK);
    EXPECT_EQ(h.iap.tick_cnt, 250u);
    EXPECT_EQ(h.console, "[IAP]: flash check from 00008000, size 512 \r\n");

    const uint32_t crc = test_support::reference_jamcrc(buf, 0x200);
    h.clear_log();
    h.answer(IAP_CMD_FLASH_CHECK, 0, crc);
    EXPECT_EQ(h.iap.update_done_num, 1);
    EXPECT_EQ(h.iap.state, IAP_ST_FLASH_UNLOCK);
    EXPECT_EQ(h.iap.local_img_buf, tts_file);
    EXPECT_EQ(h.iap.local_img_buf_size, 0x40000);
    EXPECT_EQ(h.iap.addr, 0u);
    EXPECT_EQ(h.iap.size, 1024u);
    EXPECT_EQ(h.iap.iap_addr, 0x80000u);
    EXPECT_EQ(h.iap.crc_flag, IAP_CRC_IDLE);
    EXPECT_EQ(h.count_of(IAP_CMD_FLASH_UNLOCK), 1u);
    char expected[128];
    std::snprintf(expected, sizeof expected,
                  "[IAP]: Response CRC:%08x local_crc:%08x \r\n[IAP]: flash unlock\r\n", crc, crc);
    EXPECT_EQ(h.console, expected);
}

TEST_F(Transitions, TtsAddressFollowsTheToken) {
    is_1mb = 0;
    start_one_page_run_to_its_check();
    h.answer(IAP_CMD_FLASH_CHECK, 0, test_support::reference_jamcrc(buf, 0x100));
    EXPECT_EQ(h.iap.iap_addr, 0x180000u);
}

TEST_F(Transitions, LastBufferRebootsAndSucceeds) {
    h.iap.update_file_num = 1;
    start_one_page_run_to_its_check();
    h.clear_log();
    h.answer(IAP_CMD_FLASH_CHECK, 0, test_support::reference_jamcrc(buf, 0x100));
    EXPECT_EQ(h.iap.state, IAP_ST_FLASH_REBOOT);
    EXPECT_NE(h.console.find("[IAP]: check done!update_done_num:1\r\n[IAP]: flash reboot\r\n"),
              std::string::npos);
    EXPECT_TRUE(h.events.empty());
    h.answer(IAP_CMD_FLASH_REBOOT);
    EXPECT_EQ(h.iap.state, IAP_ST_IDLE);
    EXPECT_EQ(h.events, std::vector<iap_event_t>{IAP_EVT_SUCCESS});
}

TEST_F(Transitions, ChecksumMismatchEndsInError) {
    h.iap.update_file_num = 1;
    start_one_page_run_to_its_check();
    h.clear_log();
    h.answer(IAP_CMD_FLASH_CHECK, 0, test_support::reference_jamcrc(buf, 0x100) ^ 1);
    EXPECT_EQ(h.iap.state, IAP_ST_IDLE);
    EXPECT_EQ(h.iap.crc_flag, IAP_CRC_FAIL);
    EXPECT_EQ(h.events, std::vector<iap_event_t>{IAP_EVT_CMD_ERROR});
    EXPECT_TRUE(h.frames.empty()) << "no reboot after a mismatch";
    // The run is over: later answers and ticks change nothing.
    h.answer(IAP_CMD_FLASH_REBOOT);
    h.ticks(2000);
    EXPECT_EQ(h.events.size(), 1u);
    EXPECT_EQ(h.iap.state, IAP_ST_IDLE);
}

TEST_F(Transitions, ShortCheckAnswerCannotPassForTheRightCrc) {
    h.iap.update_file_num = 1;
    start_one_page_run_to_its_check();
    // Bytes past the answer's length must not be read, even when they hold the right CRC.
    const uint32_t crc = test_support::reference_jamcrc(buf, 0x100);
    uint8_t a[10] = {0xA5,
                     10,
                     0,
                     0x80,
                     IAP_CMD_FLASH_CHECK,
                     0,
                     static_cast<uint8_t>(crc),
                     static_cast<uint8_t>(crc >> 8),
                     static_cast<uint8_t>(crc >> 16),
                     static_cast<uint8_t>(crc >> 24)};
    iap_rx_callback(&h.iap, a, 6);
    EXPECT_EQ(h.iap.crc_flag, IAP_CRC_FAIL);
    EXPECT_EQ(h.events, std::vector<iap_event_t>{IAP_EVT_CMD_ERROR});
}

TEST_F(Transitions, ErrorAnswersReportWithoutLeavingTheStep) {
    for (iap_state_t s : {IAP_ST_IDLE, IAP_ST_FLASH_UNLOCK, IAP_ST_FLASH_ERASE, IAP_ST_FLASH_WRITE,
                          IAP_ST_FLASH_WRITE_PAGE_BUF, IAP_ST_FLASH_CHECK, IAP_ST_FLASH_LOCK,
                          IAP_ST_FLASH_REBOOT}) {
        h.clear_log();
        h.iap.state = s;
        h.iap.tick_cnt = 6;
        h.iap.attempt = 2;
        h.answer(IAP_CMD_FLASH_ERASE, 0x05);
        EXPECT_EQ(h.console, "[IAP]: Command 00000083, RET 05\r\n") << "state " << s;
        EXPECT_EQ(h.events, std::vector<iap_event_t>{IAP_EVT_CMD_ERROR}) << "state " << s;
        EXPECT_EQ(h.iap.state, s);
        EXPECT_EQ(h.iap.tick_cnt, 6u);
        EXPECT_EQ(h.iap.attempt, 2u);
        EXPECT_TRUE(h.frames.empty());
    }
}

TEST_F(Transitions, ErrorThenGoodAnswerCarriesOn) {
    start();
    h.answer(IAP_CMD_FLASH_UNLOCK, 0xE1);
    EXPECT_EQ(h.iap.state, IAP_ST_FLASH_UNLOCK);
    h.answer(IAP_CMD_FLASH_UNLOCK);
    EXPECT_EQ(h.iap.state, IAP_ST_FLASH_ERASE);
}

TEST_F(Transitions, AnswersDuringATransitionAreDropped) {
    start();
    h.iap.state_change = 1;
    h.answer(IAP_CMD_FLASH_UNLOCK);
    h.answer(IAP_CMD_FLASH_UNLOCK, 0x07);
    EXPECT_EQ(h.iap.state, IAP_ST_FLASH_UNLOCK);
    EXPECT_TRUE(h.frames.empty());
    EXPECT_TRUE(h.events.empty());
    EXPECT_TRUE(h.console.empty());
}

TEST_F(Transitions, IdleAndUnknownStatesIgnoreAcknowledgements) {
    h.answer(IAP_CMD_FLASH_UNLOCK);
    h.iap.state = static_cast<iap_state_t>(0xFF);  // no state has this value
    h.answer(IAP_CMD_FLASH_UNLOCK);
    EXPECT_TRUE(h.frames.empty());
    EXPECT_TRUE(h.events.empty());
}

TEST_F(Transitions, LockAndWholePageStates) {
    h.iap.state = IAP_ST_FLASH_LOCK;
    h.answer(IAP_CMD_FLASH_LOCK);
    EXPECT_EQ(h.iap.state, IAP_ST_IDLE);
    EXPECT_TRUE(h.events.empty());

    start(0x1200);
    h.iap.state = IAP_ST_FLASH_WRITE;
    h.iap.iap_offset = 0x0E00;
    h.answer(IAP_CMD_FLASH_WRITE);
    EXPECT_EQ(h.iap.state, IAP_ST_FLASH_WRITE);
    EXPECT_EQ(h.count_of(IAP_CMD_FLASH_WRITE), 1u);
    h.answer(IAP_CMD_FLASH_WRITE);
    EXPECT_EQ(h.iap.state, IAP_ST_FLASH_ERASE);
    h.iap.state = IAP_ST_FLASH_WRITE;
    h.iap.iap_offset = 0x1100;
    h.answer(IAP_CMD_FLASH_WRITE);
    EXPECT_EQ(h.iap.state, IAP_ST_FLASH_CHECK);
}

TEST_F(Transitions, RebootAnswerWithoutAVerifiedBufferIsAnError) {
    start();
    h.iap.state = IAP_ST_FLASH_REBOOT;
    h.answer(IAP_CMD_FLASH_REBOOT);
    EXPECT_EQ(h.events, std::vector<iap_event_t>{IAP_EVT_CMD_ERROR});
}

TEST_F(Transitions, SurveyAsksForWholeSectorsAndExpectsErasedBytesPastTheRange) {
    h.iap.skip_unchanged = 1;
    start(0x1100);  // one sector and one page: the survey covers two whole sectors
    h.answer(IAP_CMD_FLASH_UNLOCK);
    EXPECT_EQ(h.iap.state, IAP_ST_FLASH_SURVEY_RANGE);
    EXPECT_EQ(h.iap.tick_cnt, 250u);
    ASSERT_EQ(h.frames.size(), 1u);
    EXPECT_EQ(h.frames[0], test_support::make_frame(IAP_CMD_FLASH_CHECK,
                                                    {0x00, 0x80, 0x00, 0x00, 0x00, 0x20, 0, 0}));
    std::vector<uint8_t> flash(buf, buf + 0x1100);
    flash.resize(0x2000, 0xFF);
    h.clear_log();
    h.answer(IAP_CMD_FLASH_CHECK, 0, test_support::reference_jamcrc(flash.data(), flash.size()));
    EXPECT_EQ(h.console,
              "[IAP]: 2 of 2 sectors unchanged from 0x00008000, skipped\r\n"
              "[IAP]: flash check from 00008000, size 4352 \r\n");
    EXPECT_EQ(h.iap.state, IAP_ST_FLASH_CHECK);
    EXPECT_EQ(h.count_of(IAP_CMD_FLASH_ERASE), 0u);
    EXPECT_EQ(h.iap.survey[0].unchanged, 2u);
}

// The survey takes only an answer that names the check command: a duplicated unlock answer is
// not the range's checksum. Its sector checks go out at once, one per answer.
TEST_F(Transitions, SurveyTakesOnlyTheAnswersToItsChecks) {
    h.iap.skip_unchanged = 1;
    start(0x2000);
    h.answer(IAP_CMD_FLASH_UNLOCK);
    h.answer(IAP_CMD_FLASH_UNLOCK);
    EXPECT_EQ(h.iap.state, IAP_ST_FLASH_SURVEY_RANGE);
    h.answer(IAP_CMD_FLASH_CHECK, 0, 0x12345678);  // neither the data nor erased: ask each sector
    EXPECT_EQ(h.count_of(IAP_CMD_FLASH_CHECK), 2u);
    h.answer(IAP_CMD_FLASH_CHECK, 0, test_support::reference_jamcrc(buf, 0x1000));
    EXPECT_EQ(h.iap.state, IAP_ST_FLASH_SURVEY_SECTOR);
    EXPECT_EQ(h.iap.survey_sector, 1u);
    h.answer(IAP_CMD_FLASH_CHECK, 0, 0x12345678);  // sector 1 differs
    EXPECT_EQ(h.count_of(IAP_CMD_FLASH_CHECK), 3u);
    EXPECT_NE(h.console.find("[IAP]: 1 of 2 sectors unchanged from 0x00008000, skipped\r\n"
                             "[IAP]: Erase @ 0x00009000\r\n"),
              std::string::npos)
        << h.console;
}

TEST_F(Transitions, SurveyedSectorThatDiffersIsTheOnlyOneProgrammed) {
    h.iap.skip_unchanged = 1;
    start(0x2000);
    h.answer(IAP_CMD_FLASH_UNLOCK);
    h.answer(IAP_CMD_FLASH_CHECK, 0, 0x12345678);  // neither the data nor erased: ask each sector
    EXPECT_EQ(h.iap.state, IAP_ST_FLASH_SURVEY_SECTOR);
    h.ticks(1);  // each sector's check goes out with the tick after the answer before it
    h.answer(IAP_CMD_FLASH_CHECK, 0, 0x12345678);  // sector 0 differs
    h.ticks(1);
    h.answer(IAP_CMD_FLASH_CHECK, 0, test_support::reference_jamcrc(buf + 0x1000, 0x1000));
    EXPECT_EQ(h.count_of(IAP_CMD_FLASH_CHECK), 3u);
    EXPECT_NE(h.console.find("[IAP]: Survey @ 0x00009000\r\n"), std::string::npos);
    EXPECT_NE(h.console.find("[IAP]: 1 of 2 sectors unchanged from 0x00008000, skipped\r\n"
                             "[IAP]: Erase @ 0x00008000\r\n"),
              std::string::npos);
    for (int page = 0; page < 16; page++) {
        h.answer(IAP_CMD_FLASH_ERASE);
    }
    EXPECT_EQ(h.iap.state, IAP_ST_FLASH_WRITE_PAGE_BUF);
    h.answer(IAP_CMD_FLASH_WRITE_PAGE_BUF);
    EXPECT_EQ(h.iap.state, IAP_ST_FLASH_CHECK) << "the unchanged sector is not erased";
    EXPECT_EQ(h.count_of(IAP_CMD_FLASH_ERASE), 1u);
    EXPECT_EQ(h.count_of(IAP_CMD_FLASH_WRITE_PAGE_BUF), 16u * 5u);
}

namespace {

// Flash address of each page sent since the log was cleared (its first chunk's), in order.
std::vector<uint32_t> page_addresses(const EngineHarness &h) {
    std::vector<uint32_t> out;
    for (const auto &f : h.frames_of(IAP_CMD_FLASH_WRITE_PAGE_BUF)) {
        const uint32_t a = f[4] | f[5] << 8 | f[6] << 16 | static_cast<uint32_t>(f[7]) << 24;
        if ((a & 0xFF) == 0) {
            out.push_back(a);
        }
    }
    return out;
}

}  // namespace

TEST_F(Transitions, BlankPagesAreNotSentButEverySectorIsErased) {
    h.iap.skip_blank = 1;
    std::memset(buf, 0xFF, 0x200);            // the first two pages of sector 0
    std::memset(buf + 0x0F00, 0xFF, 0x100);   // its last page
    std::memset(buf + 0x1000, 0xFF, 0x1000);  // all of sector 1
    start(0x2000);
    h.answer(IAP_CMD_FLASH_UNLOCK);
    h.answer(IAP_CMD_FLASH_ERASE);
    EXPECT_EQ(h.iap.iap_offset, 0x200u) << "progress counts the pages left out";
    for (int page = 0; page < 13; page++) {
        h.answer(IAP_CMD_FLASH_WRITE_PAGE_BUF);
    }
    EXPECT_EQ(h.iap.state, IAP_ST_FLASH_ERASE);
    EXPECT_EQ(h.iap.iap_offset, 0x1000u);
    h.answer(IAP_CMD_FLASH_ERASE);  // nothing of sector 1 to send: on to the check
    EXPECT_EQ(h.iap.state, IAP_ST_FLASH_CHECK);
    EXPECT_EQ(h.count_of(IAP_CMD_FLASH_ERASE), 2u);
    const std::vector<uint32_t> pages = page_addresses(h);
    ASSERT_EQ(pages.size(), 13u);
    EXPECT_EQ(pages.front(), 0x8200u);
    EXPECT_EQ(pages.back(), 0x8E00u);
    EXPECT_NE(h.console.find("[IAP]: Erase @ 0x00009000\r\n[IAP]: flash check from 00008000"),
              std::string::npos);
}

TEST_F(Transitions, SurveyedSectorThatReadsErasedIsProgrammedWithoutAnErase) {
    h.iap.skip_unchanged = 1;
    h.iap.skip_blank = 1;
    std::memset(buf + 0x1000, 0xFF, 0x800);  // sector 1: its first half blank
    start(0x2000);
    h.answer(IAP_CMD_FLASH_UNLOCK);
    h.answer(IAP_CMD_FLASH_CHECK, 0, 0x12345678);  // neither the data nor erased: ask each sector
    std::vector<uint8_t> erased(0x1000, 0xFF);
    h.ticks(1);
    h.answer(IAP_CMD_FLASH_CHECK, 0, 0x12345678);  // sector 0 holds other data
    h.ticks(1);
    h.clear_log();
    h.answer(IAP_CMD_FLASH_CHECK, 0, test_support::reference_jamcrc(erased.data(), 0x1000));
    EXPECT_EQ(h.count_of(IAP_CMD_FLASH_ERASE), 1u) << "sector 0 is erased";
    h.answer(IAP_CMD_FLASH_ERASE);
    for (int page = 0; page < 16; page++) {
        h.answer(IAP_CMD_FLASH_WRITE_PAGE_BUF);
    }
    EXPECT_EQ(h.iap.state, IAP_ST_FLASH_WRITE_PAGE_BUF) << "sector 1 is not erased";
    EXPECT_EQ(h.iap.iap_offset, 0x1800u);
    for (int page = 0; page < 8; page++) {
        h.answer(IAP_CMD_FLASH_WRITE_PAGE_BUF);
    }
    EXPECT_EQ(h.iap.state, IAP_ST_FLASH_CHECK);
    EXPECT_EQ(h.count_of(IAP_CMD_FLASH_ERASE), 1u);
    EXPECT_EQ(page_addresses(h).size(), 24u);
    EXPECT_EQ(h.console.find("Erase @ 0x00009000"), std::string::npos);
}
