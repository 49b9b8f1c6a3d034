// Whole updates of the engine against the simulated device, driven synchronously: every frame
// crosses as the 64-byte report a wire would carry, answers are fed back, ticks come from here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "console/console.h"
#include "device/fault_rules.h"
#include "device/sim_device.h"
#include "engine/iap.h"
#include "expected_layout.h"
#include "globals/iap_globals.h"
#include "reference_checksums.h"

namespace {

struct Bench;
Bench *bench = nullptr;

// The engine, the device between them, and everything observed.
struct Bench {
    explicit Bench(sim::FaultSchedule faults = {})
        : device(std::move(faults)),
          capture([this](std::string_view text) { console.append(text); }) {
        bench = this;
    }
    ~Bench() { bench = nullptr; }

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
        iap.skip_unchanged = skip_unchanged ? 1 : 0;
        iap.skip_blank = skip_blank ? 1 : 0;
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
    ConsoleSinkScope capture;  // the console text goes into `console`
    int answers_fed = 0;
    bool skip_unchanged = false;
    bool skip_blank = false;
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

// --skip-unchanged: whatever the flash held before, it must end exactly as a full update leaves
// it, and faults during the survey must end as the same faults do in the check step.
namespace {

using Flash = std::vector<uint8_t>;

// Gives the device's flash the content of a flash that another history left behind.
void preset_flash(sim::SimDevice &device, const Flash &content) {
    sim::FlashModel &flash = device.flash();
    flash.unlock();
    for (uint32_t s = 0; s < content.size(); s += sim::FlashModel::kSectorSize) {
        flash.erase_sector(s);
        flash.program(s, content.data() + s, sim::FlashModel::kSectorSize);
    }
    flash.lock();
}

struct Update {
    std::vector<uint8_t> image;
    std::vector<uint8_t> tts;
    bool one_mb;
    uint32_t tts_addr() const { return one_mb ? 0x80000 : 0x180000; }
};

Update random_update(std::mt19937 &rng, uint32_t seed) {
    const uint32_t image_len = 0x8000 + 1 + rng() % 0x12000;
    const uint32_t tts_len = 1 + rng() % 0x3000;
    return Update{test_support::random_bytes(image_len, seed * 2 + 1),
                  test_support::random_bytes(tts_len, seed * 2 + 2), rng() % 2 == 0};
}

// Starting flashes: erased, identical, one sector changed, many changed, and what an interrupted
// update of these files over an older version leaves (new sectors up to a page mid-sector, the
// rest of that sector erased, the old version beyond).
std::vector<std::pair<std::string, Flash>> starting_flashes(std::mt19937 &rng, const Update &u,
                                                            const Flash &target) {
    const uint32_t kSector = sim::FlashModel::kSectorSize;
    std::vector<std::pair<std::string, Flash>> out;
    out.emplace_back("erased", Flash(target.size(), 0xFF));
    out.emplace_back("identical", target);
    const uint32_t image_sectors =
        (static_cast<uint32_t>(u.image.size()) - 0x8000 + kSector - 1) / kSector;
    Flash one = target;
    const uint32_t changed = 0x8000 + rng() % image_sectors * kSector;
    one[changed + rng() % kSector] ^= 0x5A;
    out.emplace_back("one sector changed", one);
    Flash many = target;
    for (uint32_t s = 0; s < target.size(); s += kSector) {
        if (rng() % 3 == 0) {
            const Flash noise = test_support::random_bytes(kSector, rng());
            std::copy(noise.begin(), noise.end(), many.begin() + s);
        }
    }
    out.emplace_back("many changed", many);
    Update older = u;
    older.image = test_support::random_bytes(u.image.size(), rng());
    Flash interrupted = test_support::expected_flash(older.image, older.tts, older.tts_addr());
    const uint32_t stop = 0x8000 + rng() % (static_cast<uint32_t>(u.image.size()) - 0x8000);
    const uint32_t page_end = (stop & ~0xFFu) + 0x100;
    std::copy(target.begin(), target.begin() + page_end, interrupted.begin());
    std::fill(interrupted.begin() + page_end,
              interrupted.begin() + ((page_end + kSector - 1) & ~(kSector - 1)), 0xFF);
    out.emplace_back("interrupted", interrupted);
    return out;
}

}  // namespace

TEST(SkipUnchanged, LeavesTheFlashAFullUpdateLeavesFromAnyStart) {
    std::mt19937 rng(20261208);
    for (uint32_t seed = 0; seed < 6; seed++) {
        const Update u = random_update(rng, seed);
        const Flash target = test_support::expected_flash(u.image, u.tts, u.tts_addr());
        for (const auto &[name, start] : starting_flashes(rng, u, target)) {
            SCOPED_TRACE("seed " + std::to_string(seed) + ", " + name + ", image " +
                         std::to_string(u.image.size()) + ", TTS " + std::to_string(u.tts.size()));
            Bench full;
            preset_flash(full.device, start);
            full.run(u.image, u.tts, u.one_mb);
            Bench skip;
            skip.skip_unchanged = true;
            preset_flash(skip.device, start);
            skip.run(u.image, u.tts, u.one_mb);
            ASSERT_EQ(full.events, std::vector<iap_event_t>{IAP_EVT_SUCCESS});
            ASSERT_EQ(skip.events, std::vector<iap_event_t>{IAP_EVT_SUCCESS});
            EXPECT_TRUE(skip.device.flash().bytes() == full.device.flash().bytes());
            if (name == "identical") {
                EXPECT_EQ(skip.device.frames_received(IAP_CMD_FLASH_ERASE), 0u);
                EXPECT_EQ(skip.device.frames_received(IAP_CMD_FLASH_WRITE_PAGE_BUF), 0u);
                EXPECT_EQ(skip.iap.survey[0].unchanged, skip.iap.survey[0].sectors);
            } else if (name == "one sector changed") {
                EXPECT_EQ(skip.device.frames_received(IAP_CMD_FLASH_ERASE), 1u);
            }
        }
    }
}

TEST(SkipUnchanged, SurveyFaultsEndAsInTheCheckStepNeverInAFalseSuccess) {
    const Update u{test_support::random_bytes(0x8000 + 5 * 0x1000 + 300, 7),
                   test_support::random_bytes(700, 8), true};
    const Flash target = test_support::expected_flash(u.image, u.tts, u.tts_addr());
    Flash start = target;
    start[0xA123] ^= 1;  // one sector of the image differs: the survey asks sector by sector
    const auto run = [&](std::initializer_list<const char *> faults, bool skip) {
        auto b = std::make_unique<Bench>(rules(faults));
        b->skip_unchanged = skip;
        preset_flash(b->device, start);
        b->run(u.image, u.tts, u.one_mb);
        return b;
    };
    // Four silences of one step: a time-out after the check's 1,004 ticks, whichever check
    // answer is missing (1: the range survey, 2: the first sector's, 8: the verification).
    for (int first : {1, 2, 8}) {
        std::vector<std::string> texts;
        for (int i = 0; i < 4; i++) {
            texts.push_back("drop:check:" + std::to_string(first + i));
        }
        Bench b(rules({texts[0].c_str(), texts[1].c_str(), texts[2].c_str(), texts[3].c_str()}));
        b.skip_unchanged = true;
        preset_flash(b.device, start);
        EXPECT_EQ(b.run(u.image, u.tts, u.one_mb), 1004) << first;
        EXPECT_EQ(b.events, std::vector<iap_event_t>{IAP_EVT_CMD_RX_TIMEOUT}) << first;
        EXPECT_FALSE(b.device.rebooted());
    }
    EXPECT_EQ(run({"drop:check:1", "drop:check:2", "drop:check:3", "drop:check:4"}, false)->events,
              std::vector<iap_event_t>{IAP_EVT_CMD_RX_TIMEOUT});
    // One dropped or refused survey answer is resent and the update goes on.
    for (const char *rule : {"drop:check:1", "drop:check:4", "error:check:1", "error:check:5"}) {
        const auto b = run({rule}, true);
        EXPECT_EQ(b->events.back(), IAP_EVT_SUCCESS) << rule;
        EXPECT_TRUE(b->device.flash().bytes() == target) << rule;
    }
    // Duplicated answers shift every later answer onto the wrong step (the survey sends its
    // sector checks at once, for speed): the run may fail, but it may succeed only with the flash
    // a full update leaves.
    for (int n = 1; n <= 9; n++) {
        for (const std::string kind : {"dup:check:", "delay:check:"}) {
            const std::string rule = kind + std::to_string(n) + (kind[1] == 'e' ? ":30" : "");
            const auto b = run({rule.c_str()}, true);
            ASSERT_FALSE(b->events.empty()) << rule;
            if (b->events.back() == IAP_EVT_SUCCESS) {
                EXPECT_TRUE(b->device.flash().bytes() == target) << rule;
            } else {
                EXPECT_FALSE(b->device.rebooted()) << rule;
            }
        }
    }
}

// --skip-blank: blank pages are not sent, yet from any start (erased, unchanged, partly changed,
// half programmed) the flash ends as a full update leaves it, and a device whose erase does not
// erase fails the check.
namespace {

// Real images hold erased space: blank single pages and whole blank sectors.
void punch_blank(std::vector<uint8_t> &file, std::mt19937 &rng) {
    for (size_t at = 0; at < file.size(); at += 0x100) {
        const bool sector_blank = (at / 0x1000) % 3 == rng() % 3;
        if (sector_blank || rng() % 4 == 0) {
            std::fill(file.begin() + at, file.begin() + std::min(file.size(), at + 0x100), 0xFF);
        }
    }
}

uint32_t blank_pages_in(const Flash &flash, uint32_t addr, uint32_t len) {
    uint32_t blank = 0;
    for (uint32_t at = addr; at < addr + len; at += 0x100) {
        blank += std::all_of(flash.begin() + at, flash.begin() + at + 0x100,
                             [](uint8_t b) { return b == 0xFF; });
    }
    return blank;
}

}  // namespace

TEST(SkipBlank, LeavesTheFlashAFullUpdateLeavesAndSendsOnlyPagesThatAreNotBlank) {
    std::mt19937 rng(20261209);
    for (uint32_t seed = 0; seed < 4; seed++) {
        Update u = random_update(rng, seed + 100);
        punch_blank(u.image, rng);
        punch_blank(u.tts, rng);
        const Flash target = test_support::expected_flash(u.image, u.tts, u.tts_addr());
        const uint32_t image_len = ((static_cast<uint32_t>(u.image.size()) + 255) & ~255u) - 0x8000;
        const uint32_t tts_len = (static_cast<uint32_t>(u.tts.size()) + 255) & ~255u;
        const uint32_t pages = (image_len + tts_len) / 0x100;
        const uint32_t blank = blank_pages_in(target, 0x8000, image_len) +
                               blank_pages_in(target, u.tts_addr(), tts_len);
        ASSERT_GT(blank, 0u);
        for (const auto &[name, start] : starting_flashes(rng, u, target)) {
            Bench full;
            preset_flash(full.device, start);
            full.run(u.image, u.tts, u.one_mb);
            for (const bool survey : {false, true}) {
                SCOPED_TRACE("seed " + std::to_string(seed) + ", " + name +
                             (survey ? ", --skip-unchanged" : ", --skip-blank"));
                Bench b;
                b.skip_blank = true;
                b.skip_unchanged = survey;
                preset_flash(b.device, start);
                b.run(u.image, u.tts, u.one_mb);
                ASSERT_EQ(b.events, std::vector<iap_event_t>{IAP_EVT_SUCCESS});
                EXPECT_TRUE(b.device.flash().bytes() == full.device.flash().bytes());
                const uint32_t sent = b.device.frames_received(IAP_CMD_FLASH_WRITE_PAGE_BUF);
                if (!survey) {
                    EXPECT_EQ(sent, (pages - blank) * 5);
                } else if (name == "erased") {
                    EXPECT_EQ(sent, (pages - blank) * 5);
                    EXPECT_EQ(b.device.frames_received(IAP_CMD_FLASH_ERASE), 0u);
                }
            }
        }
    }
}

TEST(SkipBlank, AnEraseAnsweredButNotDoneEndsInACrcMismatchNeverASuccess) {
    std::mt19937 rng(7);
    Update u{test_support::random_bytes(0x8000 + 3 * 0x1000, 3), test_support::random_bytes(500, 4),
             true};
    punch_blank(u.image, rng);
    const Flash older = test_support::random_bytes(0x200000, 5);
    for (const bool survey : {false, true}) {
        for (const char *rule : {"no-erase:erase:1", "no-erase:erase:2", "no-erase:erase:3"}) {
            Bench b(rules({rule}));
            b.skip_blank = true;
            b.skip_unchanged = survey;
            preset_flash(b.device, older);
            b.run(u.image, u.tts, u.one_mb);
            EXPECT_EQ(b.events, std::vector<iap_event_t>{IAP_EVT_CMD_ERROR}) << rule << survey;
            EXPECT_EQ(b.iap.crc_flag, IAP_CRC_FAIL) << rule << survey;
            EXPECT_FALSE(b.device.rebooted()) << rule << survey;
        }
    }
}
