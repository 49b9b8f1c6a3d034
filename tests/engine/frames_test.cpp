// The request side: CRC-16, frame layout, the worked frames, page chunking and sender guards.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "engine_harness.h"
#include "globals/iap_globals.h"

using test_support::EngineHarness;
using test_support::Frame;
using test_support::make_frame;

namespace {

Frame bytes(std::initializer_list<int> list) {
    Frame f;
    for (int b : list) {
        f.push_back(static_cast<uint8_t>(b));
    }
    return f;
}

void fill_pattern(uint8_t *buf, size_t len) {
    for (size_t i = 0; i < len; i++) {
        buf[i] = static_cast<uint8_t>(i * 7 + 3);
    }
}

uint16_t chunk_len(const Frame &f) {
    return static_cast<uint16_t>(f[8] | f[9] << 8);
}
uint32_t chunk_addr(const Frame &f) {
    return static_cast<uint32_t>(f[4] | f[5] << 8 | f[6] << 16 | f[7] << 24);
}

}  // namespace

TEST(Crc16, KnownValuesAndContinuation) {
    const uint8_t text[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(crc16_compute(text, 9, nullptr), 0x29B1);
    EXPECT_EQ(crc16_compute(text, 0, nullptr), 0xFFFF);
    const uint16_t head = crc16_compute(text, 4, nullptr);
    EXPECT_EQ(crc16_compute(text + 4, 5, &head), 0x29B1);

    std::mt19937 rng(7);
    for (size_t len = 0; len < 300; len += 13) {
        std::vector<uint8_t> buf(len);
        for (auto &b : buf) {
            b = static_cast<uint8_t>(rng());
        }
        EXPECT_EQ(crc16_compute(buf.data(), static_cast<uint32_t>(len), nullptr),
                  test_support::reference_crc16(buf.data(), len))
            << "length " << len;
    }
}

TEST(Frames, WorkedExamples) {
    EngineHarness h;
    iap_flash_unlock(&h.iap);
    iap_flash_reboot(&h.iap);
    iap_flash_lock(&h.iap);
    h.iap.state = IAP_ST_FLASH_ERASE;
    h.iap.iap_addr = 0x8000;
    h.iap.iap_offset = 0;
    iap_flash_erase(&h.iap);
    h.iap.size = 0x10000;
    iap_flash_check(&h.iap);
    ASSERT_EQ(h.frames.size(), 5u);
    EXPECT_EQ(h.frames[0], bytes({0xA5, 0x06, 0x00, 0x82, 0x99, 0xD1}));
    EXPECT_EQ(h.frames[1], bytes({0xA5, 0x06, 0x00, 0x86, 0x1D, 0x91}));
    EXPECT_EQ(h.frames[2], bytes({0xA5, 0x06, 0x00, 0x81, 0xFA, 0xE1}));
    EXPECT_EQ(h.frames[3], bytes({0xA5, 0x0A, 0x00, 0x83, 0x00, 0x80, 0x00, 0x00, 0x7F, 0xFB}));
    EXPECT_EQ(h.frames[4], bytes({0xA5, 0x0E, 0x00, 0x91, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00, 0x01,
                                  0x00, 0x84, 0x82}));
    EXPECT_EQ(h.console,
              "[IAP]: flash unlock\r\n[IAP]: flash reboot\r\n[IAP]: flash lock\r\n"
              "[IAP]: Erase @ 0x00008000\r\n[IAP]: flash check from 00008000, size 65536 \r\n");
    EXPECT_EQ(h.iap.tick_cnt, 250u);
}

TEST(Frames, CommandTxMatchesIndependentBuilder) {
    EngineHarness h;
    std::vector<uint8_t> payload(266);
    fill_pattern(payload.data(), payload.size());
    for (int len : {0, 1, 8, 57, 266}) {
        h.clear_log();
        iap_command_tx(&h.iap, 0x42, len ? payload.data() : nullptr, len);
        ASSERT_EQ(h.frames.size(), 1u);
        EXPECT_EQ(h.frames[0],
                  make_frame(0x42, std::vector<uint8_t>(payload.begin(), payload.begin() + len)));
    }
    // A payload that does not fit the work area is refused rather than overrunning it.
    h.clear_log();
    iap_command_tx(&h.iap, 0x42, payload.data(), 267);
    iap_command_tx(&h.iap, 0x42, payload.data(), -1);
    EXPECT_TRUE(h.frames.empty());
}

TEST(Frames, FullPageGoesOutAsFiveChunks) {
    EngineHarness h;
    uint8_t buf[0x300];
    fill_pattern(buf, sizeof buf);
    h.iap.local_img_buf = buf;
    h.iap.addr = 0x100;
    h.iap.size = 512;
    h.iap.iap_addr = 0x8000;
    h.iap.iap_offset = 0;
    h.iap.tick_cnt = 0;
    iap_flash_write_page_buf(&h.iap);
    ASSERT_EQ(h.frames.size(), 5u);
    const uint16_t lens[] = {53, 53, 53, 53, 44};
    uint32_t offset = 0;
    for (size_t i = 0; i < 5; i++) {
        const Frame &f = h.frames[i];
        EXPECT_EQ(f[3], IAP_CMD_FLASH_WRITE_PAGE_BUF);
        EXPECT_EQ(chunk_len(f), lens[i]);
        EXPECT_EQ(chunk_addr(f), 0x8000 + offset);
        EXPECT_EQ(f[1] | f[2] << 8, lens[i] + 13);
        EXPECT_EQ(f.size(), lens[i] + 13u);
        EXPECT_EQ(0, std::memcmp(f.data() + 10, buf + 0x100 + offset, lens[i]));
        EXPECT_EQ(f[10 + lens[i]], 0x00) << "trailing byte";
        std::vector<uint8_t> payload(f.begin() + 4, f.end() - 2);
        EXPECT_EQ(f, make_frame(IAP_CMD_FLASH_WRITE_PAGE_BUF, payload));
        offset += lens[i];
    }
    EXPECT_EQ(h.frames[0].size(), 66u);
    EXPECT_EQ(h.iap.tick_cnt, 10u);
    EXPECT_TRUE(h.console.empty());
}

TEST(Frames, ShortTailAndNothingLeft) {
    EngineHarness h;
    uint8_t buf[512];
    fill_pattern(buf, sizeof buf);
    h.iap.local_img_buf = buf;
    h.iap.addr = 0;
    h.iap.size = 356;
    h.iap.iap_addr = 0x80000;
    h.iap.iap_offset = 256;
    iap_flash_write_page_buf(&h.iap);
    ASSERT_EQ(h.frames.size(), 2u);
    EXPECT_EQ(chunk_len(h.frames[0]), 53);
    EXPECT_EQ(chunk_len(h.frames[1]), 47);
    EXPECT_EQ(chunk_addr(h.frames[1]), 0x80000u + 256 + 53);

    h.clear_log();
    h.iap.tick_cnt = 3;
    h.iap.iap_offset = 512;
    iap_flash_write_page_buf(&h.iap);
    EXPECT_TRUE(h.frames.empty());
    EXPECT_EQ(h.iap.tick_cnt, 10u) << "an empty page still arms the budget";
}

TEST(Frames, SenderGuards) {
    EngineHarness h;
    uint8_t buf[0x200] = {};
    h.iap.local_img_buf = buf;
    h.iap.size = 0x200;
    h.iap.state = IAP_ST_FLASH_ERASE;
    h.iap.iap_addr = 0x1FF000;
    iap_flash_erase(&h.iap);
    EXPECT_EQ(h.count_of(IAP_CMD_FLASH_ERASE), 1u);

    h.clear_log();
    h.iap.tick_cnt = 4;
    h.iap.iap_addr = 0x200000;
    iap_flash_erase(&h.iap);
    h.iap.iap_addr = 0xFFFFF800;  // would wrap below the limit in 32 bits
    iap_flash_erase(&h.iap);
    h.iap.iap_addr = 0x8000;
    h.iap.state = IAP_ST_FLASH_WRITE_PAGE_BUF;
    iap_flash_erase(&h.iap);
    EXPECT_TRUE(h.frames.empty());
    EXPECT_TRUE(h.console.empty());
    EXPECT_EQ(h.iap.tick_cnt, 4u) << "a refused sender leaves the budget alone";

    h.iap.iap_addr = 0x200001;
    iap_flash_write_page_buf(&h.iap);
    h.iap.iap_addr = 0x1FFF01;
    iap_flash_write_page(&h.iap);
    EXPECT_TRUE(h.frames.empty());

    h.iap.iap_addr = 0x1FFF00;
    iap_flash_write_page(&h.iap);
    ASSERT_EQ(h.count_of(IAP_CMD_FLASH_WRITE), 1u);
    EXPECT_EQ(h.frames[0].size(), 256u + 12);
    EXPECT_EQ(h.frames[0][1] | h.frames[0][2] << 8, 268);
}
