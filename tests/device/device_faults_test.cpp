#include <gtest/gtest.h>

#include "device/sim_device.h"
#include "wire_helper.h"

namespace {

using sim::FaultKind;
using sim::FaultRule;
using wire::Bytes;

sim::SimDevice with(std::initializer_list<FaultRule> rules) {
    return sim::SimDevice(sim::FaultSchedule(std::vector<FaultRule>(rules)));
}

Bytes pattern(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; i++) {
        b[i] = static_cast<uint8_t>(i * 13 + 1);
    }
    return b;
}

TEST(DeviceFaults, DropLosesOnlyTheNthAnswerButTheCommandIsDone) {
    sim::SimDevice dev = with({{FaultKind::kDrop, 0x83, 2, 0}});
    wire::send(dev, 0x82);
    wire::send(dev, 0x83, wire::addr_payload(0));
    EXPECT_EQ(wire::drain(dev).size(), 2u);
    wire::exchange(dev, 0x84, wire::write_payload(0x1000, {0}));
    wire::send(dev, 0x83, wire::addr_payload(0x1000));
    EXPECT_EQ(dev.answers_ready(), 0u);
    EXPECT_EQ(dev.flash().bytes()[0x1000], 0xFF);  // erased all the same
    wire::send(dev, 0x83, wire::addr_payload(0x2000));
    EXPECT_EQ(dev.answers_ready(), 1u);
    EXPECT_EQ(dev.answers_for(0x83), 2u);
}

TEST(DeviceFaults, ErrorRefusesTheCommandAndAnswersTheResult) {
    sim::SimDevice dev = with({{FaultKind::kError, 0x82, 1, 0x42}, {FaultKind::kError, 0x86, 1}});
    const wire::Answer a = wire::exchange(dev, 0x82);
    EXPECT_EQ(a.result, 0x42);
    EXPECT_TRUE(dev.flash().locked());
    EXPECT_EQ(wire::exchange(dev, 0x82).result, sim::kResultOk);
    EXPECT_EQ(wire::exchange(dev, 0x86).result, 0x10);
    EXPECT_FALSE(dev.rebooted());
}

TEST(DeviceFaults, ErrorOnAPageLeavesItUnwritten) {
    sim::SimDevice dev = with({{FaultKind::kError, 0x93, 2, 0x33}});
    wire::send(dev, 0x82);
    wire::send_page(dev, 0x0000, pattern(256));
    wire::send_page(dev, 0x0100, pattern(256));
    const std::vector<wire::Answer> answers = wire::drain(dev);
    ASSERT_EQ(answers.size(), 3u);
    EXPECT_EQ(answers[1].result, sim::kResultOk);
    EXPECT_EQ(answers[2].result, 0x33);
    EXPECT_EQ(dev.flash().bytes()[0x0001], pattern(256)[1]);
    EXPECT_EQ(dev.flash().bytes()[0x0101], 0xFF);
}

TEST(DeviceFaults, DupSendsTheAnswerTwice) {
    sim::SimDevice dev = with({{FaultKind::kDup, sim::kAnyCommand, 2, 0}});
    wire::send(dev, 0x82);
    wire::send(dev, 0x81);
    const std::vector<wire::Answer> answers = wire::drain(dev);
    ASSERT_EQ(answers.size(), 3u);
    EXPECT_EQ(answers[1].command, 0x81);
    EXPECT_EQ(answers[2].command, 0x81);
    EXPECT_EQ(dev.answers_sent(), 3u);
    EXPECT_EQ(dev.answers_for(0x81), 2u);
}

TEST(DeviceFaults, DelayHoldsTheAnswerForItsTicks) {
    sim::SimDevice dev = with({{FaultKind::kDelay, 0x82, 1, 3}});
    wire::send(dev, 0x82);
    EXPECT_EQ(dev.answers_ready(), 0u);
    EXPECT_EQ(dev.answers_held(), 1u);
    EXPECT_FALSE(dev.flash().locked());
    dev.tick();
    dev.tick();
    EXPECT_EQ(dev.answers_ready(), 0u);
    dev.tick();
    EXPECT_EQ(dev.answers_held(), 0u);
    const std::vector<wire::Answer> answers = wire::drain(dev);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].command, 0x82);
}

TEST(DeviceFaults, CorruptFlipsABitOfTheProgrammedPage) {
    sim::SimDevice dev =
        with({{FaultKind::kCorrupt, 0x93, 1, 0}, {FaultKind::kCorrupt, 0x84, 1, 7}});
    wire::send(dev, 0x82);
    const Bytes data = pattern(256);
    wire::send_page(dev, 0x0000, data);
    wire::send(dev, 0x84, wire::write_payload(0x0200, Bytes(data.begin(), data.begin() + 16)));
    for (const wire::Answer &a : wire::drain(dev)) {
        EXPECT_EQ(a.result, sim::kResultOk);
    }
    EXPECT_EQ(dev.flash().bytes()[0x0000], data[0] ^ 0x01);
    EXPECT_EQ(dev.flash().bytes()[0x0001], data[1]);
    EXPECT_EQ(dev.flash().bytes()[0x0207], data[7] ^ 0x01);
}

TEST(DeviceFaults, UnplugFailsThisAndEveryLaterWriteAndLosesAnswers) {
    sim::SimDevice dev = with({{FaultKind::kDelay, 0x82, 1, 5}, {FaultKind::kUnplug, 0x83, 1}});
    EXPECT_TRUE(wire::send(dev, 0x82));
    EXPECT_TRUE(wire::send(dev, 0x81));
    EXPECT_FALSE(wire::send(dev, 0x83, wire::addr_payload(0)));
    EXPECT_TRUE(dev.unplugged());
    EXPECT_EQ(dev.answers_ready(), 0u);
    EXPECT_EQ(dev.answers_held(), 0u);
    EXPECT_FALSE(wire::send(dev, 0x82));
    for (int i = 0; i < 10; i++) {
        dev.tick();
    }
    EXPECT_EQ(dev.answers_ready(), 0u);
    EXPECT_EQ(dev.frames_received_total(), 2u);
}

TEST(DeviceFaults, FailWriteLosesOnlyThatFrame) {
    sim::SimDevice dev = with({{FaultKind::kFailWrite, 0x82, 1}});
    EXPECT_FALSE(wire::send(dev, 0x82));
    EXPECT_EQ(dev.frames_received(0x82), 0u);
    EXPECT_TRUE(dev.flash().locked());
    EXPECT_EQ(dev.answers_ready(), 0u);
    EXPECT_EQ(wire::exchange(dev, 0x82).result, sim::kResultOk);
    EXPECT_FALSE(dev.flash().locked());
}

TEST(DeviceFaults, FailedPageChunkMakesThePageIncomplete) {
    sim::SimDevice dev = with({{FaultKind::kFailWrite, 0x93, 3}});
    wire::send(dev, 0x82);
    wire::drain(dev);
    wire::send_page(dev, 0x0000, pattern(256));
    const std::vector<wire::Answer> answers = wire::drain(dev);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].result, sim::kResultPageIncomplete);
    EXPECT_EQ(dev.flash().bytes()[0x0000], 0xFF);
}

TEST(DeviceFaults, PageRulesCountAnsweredPagesNotChunks) {
    sim::SimDevice dev = with({{FaultKind::kDrop, 0x93, 2}});
    wire::send(dev, 0x82);
    wire::drain(dev);
    wire::send_page(dev, 0x0000, pattern(256));
    EXPECT_EQ(wire::drain(dev).size(), 1u);
    wire::send_page(dev, 0x0100, pattern(256));
    EXPECT_EQ(wire::drain(dev).size(), 0u);
    EXPECT_EQ(dev.flash().bytes()[0x0101], pattern(256)[1]);
}

}  // namespace
