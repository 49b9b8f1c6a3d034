#include <gtest/gtest.h>

#include "device/device_crc.h"
#include "device/sim_device.h"
#include "wire_helper.h"

namespace {

using wire::Bytes;

TEST(DeviceAnswers, AnswerReportHasIdHeadMarkCommandAndValidCrc) {
    sim::SimDevice dev;
    ASSERT_TRUE(wire::send(dev, 0x82));
    sim::Report r;
    ASSERT_TRUE(dev.pop_answer(r));
    EXPECT_EQ(r[0], 0x02);
    EXPECT_EQ(r[1], 0xA5);
    EXPECT_EQ(r[2] | r[3] << 8, 8);
    EXPECT_EQ(r[4], 0x80);
    EXPECT_EQ(r[5], 0x82);
    EXPECT_EQ(r[6], 0x00);
    EXPECT_TRUE(wire::parse(r).valid);
    for (size_t i = 9; i < r.size(); i++) {
        EXPECT_EQ(r[i], 0) << "byte " << i;
    }
    EXPECT_FALSE(dev.pop_answer(r));
}

TEST(DeviceAnswers, EraseAndWriteFollowTheLock) {
    sim::SimDevice dev;
    EXPECT_EQ(wire::exchange(dev, 0x83, wire::addr_payload(0)).result, sim::kResultLocked);
    EXPECT_EQ(wire::exchange(dev, 0x84, wire::write_payload(0, {1, 2})).result, sim::kResultLocked);
    EXPECT_EQ(wire::exchange(dev, 0x82).result, sim::kResultOk);
    EXPECT_FALSE(dev.flash().locked());
    EXPECT_EQ(wire::exchange(dev, 0x84, wire::write_payload(0x10, {1, 2})).result, sim::kResultOk);
    EXPECT_EQ(dev.flash().bytes()[0x11], 2);
    EXPECT_EQ(wire::exchange(dev, 0x81).result, sim::kResultOk);
    EXPECT_EQ(wire::exchange(dev, 0x83, wire::addr_payload(0)).result, sim::kResultLocked);
    EXPECT_EQ(dev.flash().bytes()[0x11], 2);
}

TEST(DeviceAnswers, EraseRefusesUnalignedAndOutsideSectors) {
    sim::SimDevice dev;
    wire::exchange(dev, 0x82);
    EXPECT_EQ(wire::exchange(dev, 0x83, wire::addr_payload(0x800)).result, sim::kResultBadAddress);
    EXPECT_EQ(wire::exchange(dev, 0x83, wire::addr_payload(0x200000)).result,
              sim::kResultBadAddress);
    EXPECT_EQ(wire::exchange(dev, 0x83, wire::addr_payload(0x1FF000)).result, sim::kResultOk);
}

TEST(DeviceAnswers, CheckAnswersJamcrcOfTheRangeAndRefusesOutside) {
    sim::SimDevice dev;
    wire::exchange(dev, 0x82);
    const Bytes data = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    wire::exchange(dev, 0x84, wire::write_payload(0x1000, data));
    const wire::Answer a = wire::exchange(dev, 0x91, wire::check_payload(0x1000, 9));
    EXPECT_TRUE(a.valid);
    EXPECT_EQ(a.result, sim::kResultOk);
    EXPECT_EQ(a.length, 12);
    EXPECT_EQ(a.crc32, 0x340BC6D9u);
    EXPECT_EQ(wire::exchange(dev, 0x91, wire::check_payload(0x1FFFFF, 2)).result,
              sim::kResultBadAddress);
    EXPECT_EQ(wire::exchange(dev, 0x91, wire::check_payload(0xFFFFFFFF, 2)).result,
              sim::kResultBadAddress);
}

TEST(DeviceAnswers, BadCrcOfAWholeFrameIsAnsweredWithErrorAndNothingDone) {
    sim::SimDevice dev;
    Bytes f = wire::frame(0x82);
    f.back() ^= 0x01;
    const sim::Report r = wire::report(f);
    ASSERT_TRUE(dev.receive(r.data(), r.size()));
    const std::vector<wire::Answer> answers = wire::drain(dev);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].command, 0x82);
    EXPECT_EQ(answers[0].result, sim::kResultBadCrc);
    EXPECT_TRUE(dev.flash().locked());
    EXPECT_EQ(dev.frames_received(0x82), 1u);
}

TEST(DeviceAnswers, UnknownCommandsAndWrongPayloadLengthsAreRefused) {
    sim::SimDevice dev;
    EXPECT_EQ(wire::exchange(dev, 0x55).result, sim::kResultUnknownCmd);
    EXPECT_EQ(wire::exchange(dev, 0x82, {0}).result, sim::kResultBadLength);
    EXPECT_TRUE(dev.flash().locked());
    wire::exchange(dev, 0x82);
    EXPECT_EQ(wire::exchange(dev, 0x83, {0, 0}).result, sim::kResultBadLength);
    EXPECT_EQ(wire::exchange(dev, 0x91, wire::addr_payload(0)).result, sim::kResultBadLength);
    Bytes lying = wire::write_payload(0, {1, 2, 3});
    lying[4] = 2;  // count says 2, three bytes follow
    EXPECT_EQ(wire::exchange(dev, 0x84, lying).result, sim::kResultBadLength);
    EXPECT_EQ(dev.flash().bytes()[0], 0xFF);
}

TEST(DeviceAnswers, WholePageWriteCutByTheReportProgramsWhatArrivedAndSaysSo) {
    sim::SimDevice dev;
    wire::exchange(dev, 0x82);
    Bytes data(256);
    for (size_t i = 0; i < data.size(); i++) {
        data[i] = static_cast<uint8_t>(i);
    }
    const wire::Answer a = wire::exchange(dev, 0x84, wire::write_payload(0x2000, data));
    EXPECT_EQ(a.result, sim::kResultTruncated);
    for (size_t i = 0; i < 53; i++) {
        ASSERT_EQ(dev.flash().bytes()[0x2000 + i], data[i]) << i;
    }
    EXPECT_EQ(dev.flash().bytes()[0x2000 + 53], 0xFF);
    EXPECT_EQ(dev.flash().bytes()[0x2000 + 255], 0xFF);
}

TEST(DeviceAnswers, RebootAnswersOkMarksRebootedAndRelocks) {
    sim::SimDevice dev;
    wire::exchange(dev, 0x82);
    EXPECT_FALSE(dev.rebooted());
    EXPECT_EQ(wire::exchange(dev, 0x86).result, sim::kResultOk);
    EXPECT_TRUE(dev.rebooted());
    EXPECT_TRUE(dev.flash().locked());
}

TEST(DeviceAnswers, CountersTrackFramesAndAnswersPerCommand) {
    sim::SimDevice dev;
    wire::send(dev, 0x82);
    wire::send(dev, 0x83, wire::addr_payload(0));
    wire::send(dev, 0x83, wire::addr_payload(0x1000));
    EXPECT_EQ(dev.frames_received(0x83), 2u);
    EXPECT_EQ(dev.frames_received_total(), 3u);
    EXPECT_EQ(dev.answers_for(0x83), 2u);
    EXPECT_EQ(dev.answers_sent(), 3u);
    EXPECT_EQ(dev.answers_ready(), 3u);
}

}  // namespace
