#include <gtest/gtest.h>

#include "device/sim_device.h"
#include "wire_helper.h"

namespace {

using wire::Bytes;

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; i++) {
        b[i] = static_cast<uint8_t>(seed + i * 7);
    }
    return b;
}

sim::SimDevice unlocked() {
    sim::SimDevice dev;
    wire::exchange(dev, 0x82);
    return dev;
}

bool flash_holds(const sim::SimDevice &dev, uint32_t addr, const Bytes &data) {
    return std::equal(data.begin(), data.end(), dev.flash().bytes().begin() + addr);
}

void send_chunk(sim::SimDevice &dev, uint32_t addr, const Bytes &page, size_t off, size_t c) {
    wire::send(dev, 0x93, wire::chunk_payload(addr + static_cast<uint32_t>(off), &page[off], c));
}

// Full 53-byte chunks arrive cut before their trailing byte and CRC, and are still taken.
TEST(PageBuffer, FullPageIsAnsweredOnceAfterItsLastChunk) {
    sim::SimDevice dev = unlocked();
    const Bytes page = pattern(256, 3);
    const size_t sizes[] = {53, 53, 53, 53, 44};
    size_t off = 0;
    for (size_t i = 0; i < 5; i++) {
        send_chunk(dev, 0x3000, page, off, sizes[i]);
        off += sizes[i];
        EXPECT_EQ(dev.answers_ready(), i == 4 ? 1u : 0u) << "after chunk " << i;
    }
    const std::vector<wire::Answer> answers = wire::drain(dev);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].command, 0x93);
    EXPECT_EQ(answers[0].result, sim::kResultOk);
    EXPECT_TRUE(flash_holds(dev, 0x3000, page));
    EXPECT_EQ(dev.frames_received(0x93), 5u);
    EXPECT_EQ(dev.answers_for(0x93), 1u);
}

TEST(PageBuffer, ShortTailChunkClosesThePage) {
    sim::SimDevice dev = unlocked();
    const Bytes tail = pattern(100, 9);
    wire::send_page(dev, 0x4100, tail);
    const std::vector<wire::Answer> answers = wire::drain(dev);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].result, sim::kResultOk);
    EXPECT_TRUE(flash_holds(dev, 0x4100, tail));
    EXPECT_EQ(dev.flash().bytes()[0x4100 + 100], 0xFF);
}

TEST(PageBuffer, MissingChunkFailsThePageInsteadOfWritingAHole) {
    sim::SimDevice dev = unlocked();
    const Bytes page = pattern(256, 1);
    send_chunk(dev, 0x5000, page, 0, 53);
    send_chunk(dev, 0x5000, page, 106, 53);  // 53..105 never came
    send_chunk(dev, 0x5000, page, 159, 53);
    send_chunk(dev, 0x5000, page, 212, 44);
    const std::vector<wire::Answer> answers = wire::drain(dev);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].result, sim::kResultPageIncomplete);
    EXPECT_EQ(dev.flash().bytes()[0x5000], 0xFF);
}

TEST(PageBuffer, PageStartingMidwayIsIncomplete) {
    sim::SimDevice dev = unlocked();
    const Bytes page = pattern(256, 5);
    send_chunk(dev, 0x5000, page, 212, 44);
    const std::vector<wire::Answer> answers = wire::drain(dev);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].result, sim::kResultPageIncomplete);
    EXPECT_EQ(dev.flash().bytes()[0x5000 + 212], 0xFF);
}

TEST(PageBuffer, ChunkCrossingPageOrFlashEndIsRefusedAtOnce) {
    sim::SimDevice dev = unlocked();
    const Bytes data = pattern(53, 2);
    wire::send(dev, 0x93, wire::chunk_payload(0x60E0, data.data(), 53));
    wire::send(dev, 0x93, wire::chunk_payload(0x200000, data.data(), 10));
    wire::send(dev, 0x93, wire::chunk_payload(0xFFFFFFF0, data.data(), 10));
    const std::vector<wire::Answer> answers = wire::drain(dev);
    ASSERT_EQ(answers.size(), 3u);
    for (const wire::Answer &a : answers) {
        EXPECT_EQ(a.result, sim::kResultBadAddress);
    }
    EXPECT_EQ(dev.flash().bytes()[0x60E0], 0xFF);
    EXPECT_EQ(dev.flash().bytes()[0x6100], 0xFF);
}

TEST(PageBuffer, ChunkLengthsOutsideOneToFiftyThreeAreRefused) {
    sim::SimDevice dev = unlocked();
    EXPECT_EQ(wire::exchange(dev, 0x93, wire::chunk_payload(0x7000, nullptr, 0)).result,
              sim::kResultBadLength);
    const Bytes big = pattern(54, 0);
    EXPECT_EQ(wire::exchange(dev, 0x93, wire::chunk_payload(0x7000, big.data(), 54)).result,
              sim::kResultBadLength);
}

TEST(PageBuffer, LockedPageIsAnsweredLockedAndNotWritten) {
    sim::SimDevice dev;
    const Bytes tail = pattern(20, 4);
    wire::send_page(dev, 0x8000, tail);
    const std::vector<wire::Answer> answers = wire::drain(dev);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].result, sim::kResultLocked);
    EXPECT_EQ(dev.flash().bytes()[0x8000], 0xFF);
}

}  // namespace
