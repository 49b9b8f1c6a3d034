#include <gtest/gtest.h>

#include <random>

#include "device/sim_device.h"
#include "wire_helper.h"

namespace {

// Feeds a device anything at all; it must neither crash nor touch memory it does not own
// (run under the sanitizers to see the latter), and every answer it gives must be well formed.
void feed(sim::SimDevice &dev, const wire::Bytes &report) {
    dev.receive(report.data(), report.size());
    dev.tick();
    sim::Report r;
    while (dev.pop_answer(r)) {
        ASSERT_TRUE(wire::parse(r).valid);
    }
}

TEST(Robustness, RandomReportsOfRandomLengths) {
    std::mt19937 rng(20240601);
    sim::SimDevice dev;
    for (int i = 0; i < 20000; i++) {
        wire::Bytes report(rng() % 100);
        for (uint8_t &b : report) {
            b = static_cast<uint8_t>(rng());
        }
        feed(dev, report);
    }
    EXPECT_EQ(dev.flash().bytes().size(), 0x200000u);
}

TEST(Robustness, RandomFramesWithValidFramingReachEveryCommand) {
    std::mt19937 rng(99);
    const uint8_t commands[] = {0x81, 0x82, 0x83, 0x84, 0x86, 0x91, 0x93, 0x00, 0xFF};
    sim::SimDevice dev(sim::FaultSchedule({{sim::FaultKind::kDup, sim::kAnyCommand, 5},
                                           {sim::FaultKind::kDelay, sim::kAnyCommand, 9, 2},
                                           {sim::FaultKind::kCorrupt, 0x93, 1, 200},
                                           {sim::FaultKind::kCorrupt, 0x84, 1, 255}}));
    wire::send(dev, 0x82);
    for (int i = 0; i < 20000; i++) {
        wire::Bytes payload(rng() % 300);
        for (uint8_t &b : payload) {
            b = static_cast<uint8_t>(rng());
        }
        // Plausible addresses and counts now and then, so the deeper paths run too.
        if (payload.size() >= 6 && rng() % 2 == 0) {
            payload[2] = static_cast<uint8_t>(rng() % 0x21);
            payload[3] = 0;
            const size_t count = payload.size() - 6 - rng() % 2;
            payload[4] = static_cast<uint8_t>(count);
            payload[5] = static_cast<uint8_t>(count >> 8);
        }
        wire::Bytes frame = wire::frame(commands[rng() % 9], payload);
        if (rng() % 4 == 0) {
            frame[1 + rng() % 2] = static_cast<uint8_t>(rng());
        }
        const sim::Report r = wire::report(frame);
        feed(dev, wire::Bytes(r.begin(), r.end()));
    }
    EXPECT_GT(dev.answers_sent(), 1000u);
}

}  // namespace
