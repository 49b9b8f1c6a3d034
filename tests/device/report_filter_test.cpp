#include <gtest/gtest.h>

#include "device/sim_device.h"
#include "wire_helper.h"

namespace {

// Offers a report and expects it to be ignored: written, not received, not answered.
void expect_rejected(const uint8_t *report, size_t len) {
    sim::SimDevice dev;
    EXPECT_TRUE(dev.receive(report, len));
    EXPECT_EQ(dev.reports_rejected(), 1u);
    EXPECT_EQ(dev.frames_received_total(), 0u);
    EXPECT_EQ(dev.answers_ready(), 0u);
    EXPECT_TRUE(dev.flash().locked());
}

TEST(ReportFilter, WrongReportIdIsIgnored) {
    sim::Report r = wire::report(wire::frame(0x82));
    r[0] = 0x02;
    expect_rejected(r.data(), r.size());
}

TEST(ReportFilter, WrongHeadIsIgnored) {
    sim::Report r = wire::report(wire::frame(0x82));
    r[1] = 0x5A;
    expect_rejected(r.data(), r.size());
}

TEST(ReportFilter, ReportsTooShortForTheirFrameAreIgnored) {
    const sim::Report r = wire::report(wire::frame(0x83, wire::addr_payload(0)));
    expect_rejected(r.data(), 0);
    expect_rejected(nullptr, 64);
    expect_rejected(r.data(), 6);
    expect_rejected(r.data(), 10);  // frame of 10 bytes needs 11 with the ID
}

TEST(ReportFilter, DeclaredLengthBelowAFrameIsIgnored) {
    sim::Report r = wire::report(wire::frame(0x82));
    r[2] = 5;
    expect_rejected(r.data(), r.size());
}

TEST(ReportFilter, ExactLengthReportAndBytesPastTheReportAreFine) {
    sim::SimDevice dev;
    const wire::Bytes f = wire::frame(0x82);
    sim::Report r = wire::report(f);
    EXPECT_TRUE(dev.receive(r.data(), f.size() + 1));
    wire::Bytes longer(r.begin(), r.end());
    longer.resize(200, 0xEE);
    EXPECT_TRUE(dev.receive(longer.data(), longer.size()));
    EXPECT_EQ(dev.frames_received(0x82), 2u);
    EXPECT_EQ(dev.answers_ready(), 2u);
    EXPECT_EQ(dev.reports_rejected(), 0u);
}

}  // namespace
