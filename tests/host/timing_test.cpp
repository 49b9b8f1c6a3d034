// The tick schedule and the link's timing model, on clocks the test sets.
#include <gtest/gtest.h>

#include "host/workers/tick_schedule.h"
#include "timing/usb_timing.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(TickSchedule, LateTicksKeepTheGridAndMissedOnesAreNeverMadeUp) {
    const Clock::time_point t0{};
    host::TickSchedule s(10ms, t0);
    for (int k = 1; k <= 100; k++) {
        ASSERT_EQ(s.next_deadline(), t0 + k * 10ms);
        s.ticked(s.next_deadline() + (k % 2 ? 3ms : 1ms));  // woken late, by turns
    }
    EXPECT_EQ(s.next_deadline(), t0 + 1010ms);
    EXPECT_EQ(s.stats().ticks, 100u);
    EXPECT_EQ(s.stats().mean_period, std::chrono::nanoseconds(1001ms - 13ms) / 99);
    EXPECT_EQ(s.stats().max_late, 3ms);
    EXPECT_EQ(s.wait_from(t0), 10ms) << "a wait never exceeds one period";
    // Stopped for 25 ms: the late tick is one tick, and the next is a whole period after it.
    s.ticked(t0 + 1035ms);
    EXPECT_EQ(s.next_deadline(), t0 + 1045ms) << "no burst of the missed ticks";
    s.ticked(t0 + 5s);
    EXPECT_EQ(s.next_deadline(), t0 + 5s + 10ms);
    const host::TickStats stats = s.stats();
    EXPECT_EQ(stats.ticks, 102u);
    EXPECT_EQ(stats.restarts, 2u);
    EXPECT_EQ(stats.dropped, 2u + 395u);
    EXPECT_EQ(stats.max_late, 5s - 1045ms);
}

TEST(UsbTiming, FramesWorkAndTheTheoreticalTimeOfTheLargestUpdate) {
    timing::UsbTimingFigures f;
    std::string error;
    ASSERT_TRUE(timing::parse_usb_timing("usb-fs", f, error));
    const Clock::time_point t0{};
    timing::UsbLinkModel link(f, t0);
    // A page as five chunks written at once: frames 1-5, programmed by 5.8 ms, readable at 6.
    uint8_t chunk[64] = {0x01, 0xA5, 0x42, 0x00, 0x93};
    Clock::time_point ready{};
    for (uint32_t offset = 0; offset < 256; offset += 53) {
        const uint32_t addr = 0x8000 + offset;
        const uint32_t n = offset == 212 ? 44 : 53;
        chunk[5] = static_cast<uint8_t>(addr), chunk[6] = static_cast<uint8_t>(addr >> 8);
        chunk[9] = static_cast<uint8_t>(n);
        ready = link.on_report(t0 + 300us, chunk, sizeof chunk);
    }
    EXPECT_EQ(ready, t0 + 6ms);
    const uint8_t erase[64] = {0x01, 0xA5, 0x0A, 0x00, 0x83, 0x00, 0x90};
    EXPECT_EQ(link.on_report(ready + 100us, erase, sizeof erase), t0 + 53ms);
    // 2,048,000 image bytes and 262,144 TTS bytes.
    EXPECT_EQ(timing::theoretical_update_time(f, 2048000, 262144), 80777ms);
    // Their verification: each range's check, 1 + 102 + 1 and 1 + 13 + 1 frames.
    EXPECT_EQ(timing::theoretical_verify_time(f, 2048000, 262144), 119ms);

    ASSERT_TRUE(
        timing::parse_usb_timing("usb-fs,erase=30ms,page=1.5ms,frame=2ms,crc=10MB/s", f, error));
    EXPECT_EQ(f.erase, 30ms);
    EXPECT_EQ(f.page, 1500us);
    EXPECT_EQ(f.crc_bytes_per_second, 10e6);
    for (const char *bad : {"usb-hs", "usb-fs,erase=fast", "usb-fs,page=-1ms", "usb-fs,speed=1"}) {
        EXPECT_FALSE(timing::parse_usb_timing(bad, f, error)) << bad;
    }
}
