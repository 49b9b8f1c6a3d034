// Whole updates of the engine against the simulated device, driven synchronously: every frame
// crosses as the 64-byte report a wire would carry, answers are fed back, ticks come from here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "console.h"
#include "expected_layout.h"
#include "fault_rules.h"
#include "host_buffers.h"
#include "iap.h"
#include "reference_checksums.h"
#include "sim_device.h"

namespace {

struct Bench;
Bench *bench = nullptr;

// The engine, the device between them, and everything observed.
struct Bench {
    explicit Bench(sim::FaultSchedule faults = {}) : device(std::move(faults)) {
        bench = this;
        console_set_sink([this](std::string_view text) { console.append(text); });
    }
    ~Bench() {
        console_set_sink(nullptr);
        bench = nullptr;
    }

    static void tx(uint8_t *frame, int len) {
        uint8_t report[64] = {0x01};
        std::memcpy(report + 1, frame, static_cast<size_t>(std::min(len, 63)));
        bench->device.receive(report, sizeof report);
    }
    static void event(iap_event_t evt) {
        bench->events.push_back(evt);
        static const char *const lines[] = {"Firmware updated successfully !\r\n",
                                            "IAP_EVT_CMD_RX_TIMEOUT\r\n", "IAP_EVT_CMD_ERROR\r\n"};
        console_write(evt <= IAP_EVT_CMD_ERROR ? lines[evt] : "unknown error !\r\n");
    }

    // Loads the files as the host does and runs the update to its end; returns the ticks used.
    int run(const std::vector<uint8_t> &image, const std::vector<uint8_t> &tts, bool one_mb) {
        std::memset(img_file, 0xFF, IMG_FILE_BUF_SIZE);
        std::memcpy(img_file, image.data(), image.size());
        std::memset(tts_file, 0xFF, TTS_FILE_BUF_SIZE);
        std::memcpy(tts_file, tts.data(), tts.size());
        tts_size = static_cast<int>((tts.size() + 255) & ~size_t{255});
        is_1mb = one_mb ? 1 : 0;
        const uint32_t rounded = static_cast<uint32_t>((image.size() + 255) & ~size_t{255});
        iap = iap_env_t{};
        iap.update_file_num = 2;
        iap_init(&iap, tx, event);
        iap.local_img_buf = img_file;
        iap.local_img_buf_size = static_cast<int>(IMG_FILE_BUF_SIZE);
        iap_start(&iap, 0x8000, rounded - 0x8000, 0x8000);
        int ticks = 0;
        while (iap.state != IAP_ST_IDLE && ticks < 100000) {
            sim::Report answer;
            if (device.pop_answer(answer)) {
                answers_fed++;
                iap_rx_callback(&iap, answer.data() + 1, 63);
                continue;
            }
            iap_timer_callback(&iap);
            device.tick();
            ticks++;
        }
        return ticks;
    }

    sim::SimDevice device;
    iap_env_t iap{};
    std::vector<iap_event_t> events;
    std::string console;
    int answers_fed = 0;
};

sim::FaultSchedule rules(std::initializer_list<const char *> texts) {
    sim::FaultSchedule schedule;
    std::string error;
    EXPECT_TRUE(sim::parse_fault_schedule(std::vector<std::string>(texts.begin(), texts.end()),
                                          schedule, error))
        << error;
    return schedule;
}

std::string crc_line(uint32_t crc) {
    char line[80];
    std::snprintf(line, sizeof line, "[IAP]: Response CRC:%08x local_crc:%08x \r\n", crc, crc);
    return line;
}

uint32_t jamcrc_of(const std::vector<uint8_t> &flash, uint32_t addr, uint32_t len) {
    return test_support::reference_jamcrc(flash.data() + addr, len);
}

class WholeRun : public ::testing::Test {
  protected:
    const std::vector<uint8_t> image = test_support::random_bytes(40000, 1);
    const std::vector<uint8_t> tts = test_support::random_bytes(1000, 2);
    const std::vector<uint8_t> expected = test_support::expected_flash(image, tts, 0x80000);
};

}  // namespace

TEST_F(WholeRun, CleanRunPrintsTheLinesCountsFramesAndFillsTheFlash) {
    Bench b;
    b.run(image, tts, true);
    const uint32_t image_crc = jamcrc_of(expected, 0x8000, 7424);
    const uint32_t tts_crc = jamcrc_of(expected, 0x80000, 1024);
    const std::string lines =
        std::string("[IAP]: flash unlock\r\n") + "[IAP]: Erase @ 0x00008000\r\n" +
        "[IAP]: Erase @ 0x00009000\r\n" + "[IAP]: flash check from 00008000, size 7424 \r\n" +
        crc_line(image_crc) + "[IAP]: flash unlock\r\n" + "[IAP]: Erase @ 0x00080000\r\n" +
        "[IAP]: flash check from 00080000, size 1024 \r\n" + crc_line(tts_crc) +
        "[IAP]: check done!update_done_num:2\r\n" + "[IAP]: flash reboot\r\n" +
        "Firmware updated successfully !\r\n";
    EXPECT_EQ(b.console, lines);
    EXPECT_EQ(b.events, std::vector<iap_event_t>{IAP_EVT_SUCCESS});
    EXPECT_EQ(b.device.frames_received(IAP_CMD_FLASH_UNLOCK), 2u);
    EXPECT_EQ(b.device.frames_received(IAP_CMD_FLASH_ERASE), 3u);
    EXPECT_EQ(b.device.frames_received(IAP_CMD_FLASH_WRITE_PAGE_BUF), 165u);
    EXPECT_EQ(b.device.frames_received(IAP_CMD_FLASH_CHECK), 2u);
    EXPECT_EQ(b.device.frames_received(IAP_CMD_FLASH_REBOOT), 1u);
    EXPECT_EQ(b.device.frames_received_total(), 173u);
    EXPECT_EQ(b.device.answers_sent(), 41u);
    EXPECT_EQ(b.answers_fed, 41);
    EXPECT_TRUE(b.device.rebooted());
    ASSERT_EQ(b.device.flash().bytes().size(), expected.size());
    EXPECT_TRUE(b.device.flash().bytes() == expected) << "flash differs from the layout";
    // Spot checks of the layout itself.
    EXPECT_EQ(expected[0x8000], image[0x8000]);
    EXPECT_EQ(expected[40000], 0xFF);
    EXPECT_EQ(expected[0x80000 + 999], tts[999]);
    EXPECT_EQ(expected[0x7FFF], 0xFF);
}

TEST_F(WholeRun, TokenPlacesTheTtsData) {
    Bench b;
    b.run(image, tts, false);
    EXPECT_EQ(b.events, std::vector<iap_event_t>{IAP_EVT_SUCCESS});
    EXPECT_TRUE(b.device.flash().bytes() == test_support::expected_flash(image, tts, 0x180000));
}

TEST_F(WholeRun, DroppedAnswersAreResentAndTheRunStillSucceeds) {
    Bench b(rules({"drop:unlock:1", "drop:erase:2", "drop:check:1", "drop:reboot:1"}));
    b.run(image, tts, true);
    EXPECT_EQ(b.events, std::vector<iap_event_t>{IAP_EVT_SUCCESS});
    EXPECT_EQ(b.device.frames_received(IAP_CMD_FLASH_UNLOCK), 3u);
    EXPECT_EQ(b.device.frames_received(IAP_CMD_FLASH_CHECK), 3u);
    EXPECT_TRUE(b.device.flash().bytes() == expected);
}

TEST_F(WholeRun, DroppedPageAnswerEndsInTimeout) {
    Bench b(rules({"drop:page:7"}));
    const int ticks = b.run(image, tts, true);
    EXPECT_EQ(b.events, std::vector<iap_event_t>{IAP_EVT_CMD_RX_TIMEOUT});
    EXPECT_EQ(ticks, 14);
    EXPECT_FALSE(b.device.rebooted());
}

TEST_F(WholeRun, ErrorAnswerThenGoodAnswerCarriesOn) {
    Bench b(rules({"error:erase:1:5"}));
    b.run(image, tts, true);
    EXPECT_NE(b.console.find("[IAP]: Command 00000083, RET 05\r\nIAP_EVT_CMD_ERROR\r\n"),
              std::string::npos);
    EXPECT_EQ(b.events, (std::vector<iap_event_t>{IAP_EVT_CMD_ERROR, IAP_EVT_SUCCESS}));
    EXPECT_TRUE(b.device.flash().bytes() == expected);
}

TEST_F(WholeRun, CorruptedFlashByteNeverEndsInSuccess) {
    for (const char *rule : {"corrupt:page:1", "corrupt:page:29:255", "corrupt:page:31:3"}) {
        Bench b(rules({rule}));
        b.run(image, tts, true);
        ASSERT_FALSE(b.events.empty()) << rule;
        EXPECT_EQ(b.events.back(), IAP_EVT_CMD_ERROR) << rule;
        EXPECT_EQ(std::count(b.events.begin(), b.events.end(), IAP_EVT_SUCCESS), 0) << rule;
        EXPECT_FALSE(b.device.rebooted()) << rule;
        EXPECT_EQ(b.iap.crc_flag, IAP_CRC_FAIL) << rule;
    }
}

TEST_F(WholeRun, UnpluggedDeviceEndsInTimeout) {
    Bench b(rules({"unplug:page:40"}));
    b.run(image, tts, true);
    EXPECT_EQ(b.events, std::vector<iap_event_t>{IAP_EVT_CMD_RX_TIMEOUT});
}

TEST(WholeRunLimits, LargestFilesFillTheirRanges) {
    const std::vector<uint8_t> image = test_support::random_bytes(IMG_FILE_BUF_SIZE, 3);
    const std::vector<uint8_t> tts = test_support::random_bytes(TTS_FILE_BUF_SIZE, 4);
    Bench b;
    b.run(image, tts, false);
    EXPECT_EQ(b.events, std::vector<iap_event_t>{IAP_EVT_SUCCESS});
    EXPECT_TRUE(b.device.flash().bytes() == test_support::expected_flash(image, tts, 0x180000));
}
