// Which device a run takes, and what it says when the choice is not obvious or not possible.
#include "host/discovery/device_selection.h"

#include <gtest/gtest.h>

using host::DeviceInfo;
using host::DeviceQuery;
using host::Selection;

namespace {

DeviceInfo device(const std::string &path, const std::string &serial, uint16_t vid = 0x9999,
                  uint16_t pid = 0x8888) {
    DeviceInfo d;
    d.path = path;
    d.serial = serial;
    d.vendor_id = vid;
    d.product_id = pid;
    return d;
}

std::vector<std::string> paths(const Selection &s) {
    std::vector<std::string> out;
    for (const DeviceInfo &d : s.chosen) {
        out.push_back(d.path);
    }
    return out;
}

const std::vector<DeviceInfo> kBench = {device("/dev/hidraw0", "A1", 0x046d, 0xc52b),
                                        device("/dev/hidraw1", "B2"), device("/dev/hidraw2", ""),
                                        device("/dev/hidraw3", "B2"), device("/dev/hidraw4", "C3")};

}  // namespace

TEST(DeviceSelection, WithoutANameTheFirstMatchIsTakenAndEveryOtherMatchNamed) {
    const Selection s = host::select_devices(kBench, DeviceQuery{});
    ASSERT_TRUE(s.complete());
    EXPECT_EQ(paths(s), std::vector<std::string>{"/dev/hidraw1"});
    const std::vector<std::string> want = {
        "4 devices have vendor ID 0x9999 and product ID 0x8888; updating the first, /dev/hidraw1 "
        "(serial B2)",
        "not updated: /dev/hidraw2 (no serial number)", "not updated: /dev/hidraw3 (serial B2)",
        "not updated: /dev/hidraw4 (serial C3)", "--serial or --path chooses the device to update"};
    EXPECT_EQ(s.warnings, want);

    DeviceQuery any;
    any.vendor_id = 0;
    any.product_id = 0xc52b;
    const Selection other = host::select_devices(kBench, any);
    EXPECT_EQ(paths(other), std::vector<std::string>{"/dev/hidraw0"});
    EXPECT_TRUE(other.warnings.empty());
}

TEST(DeviceSelection, NamedDevicesAreTakenInTheOrderNamedAndOnlyOnce) {
    DeviceQuery q;
    q.serials = {"C3"};
    q.paths = {"/dev/hidraw2", "/dev/hidraw4"};
    const Selection s = host::select_devices(kBench, q);
    ASSERT_TRUE(s.complete());
    EXPECT_EQ(paths(s), (std::vector<std::string>{"/dev/hidraw4", "/dev/hidraw2"}));
    EXPECT_TRUE(s.warnings.empty());
}

TEST(DeviceSelection, ASharedSerialTakesTheFirstAndPointsToThePath) {
    DeviceQuery q;
    q.serials = {"B2"};
    const Selection s = host::select_devices(kBench, q);
    ASSERT_TRUE(s.complete());
    EXPECT_EQ(paths(s), std::vector<std::string>{"/dev/hidraw1"});
    ASSERT_EQ(s.warnings.size(), 1u);
    EXPECT_NE(s.warnings[0].find("also found /dev/hidraw3 (serial B2); --path chooses"),
              std::string::npos)
        << s.warnings[0];
}

TEST(DeviceSelection, WhatIsMissingSaysWhatWasFoundInstead) {
    DeviceQuery q;
    q.serials = {"A1", "C3"};  // A1 is there, but with other IDs
    const Selection s = host::select_devices(kBench, q);
    EXPECT_FALSE(s.complete());
    ASSERT_EQ(s.missing.size(), 1u);
    EXPECT_EQ(s.missing[0],
              "looked for the device with serial number 'A1', vendor ID 0x9999 and product ID "
              "0x8888; found instead: /dev/hidraw1 (serial B2), /dev/hidraw2 (no serial number), "
              "/dev/hidraw3 (serial B2), /dev/hidraw4 (serial C3)");

    const Selection none = host::select_devices({}, q);
    EXPECT_NE(none.missing[0].find("found no device with these IDs"), std::string::npos);
    const Selection nothing = host::select_devices({}, DeviceQuery{});
    EXPECT_TRUE(nothing.chosen.empty());
    EXPECT_NE(nothing.missing[0].find("found none"), std::string::npos);
}

// Boards with repeated or no serial numbers are told apart by their ports; a port not present
// is missing like a serial.
TEST(DeviceSelection, APortNamesOneBoardWhateverItsSerial) {
    std::vector<DeviceInfo> fixture = {device("/dev/hidraw5", ""), device("/dev/hidraw6", "X"),
                                       device("/dev/hidraw7", "X")};
    fixture[0].port = "1-2.1";
    fixture[1].port = "1-2.2";
    fixture[2].port = "1-2.3";
    DeviceQuery q;
    q.ports = {"1-2.3", "1-2.1"};
    const Selection s = host::select_devices(fixture, q);
    ASSERT_TRUE(s.complete());
    EXPECT_EQ(paths(s), (std::vector<std::string>{"/dev/hidraw7", "/dev/hidraw5"}));
    EXPECT_TRUE(s.warnings.empty());
    q.ports = {"1-2.4"};
    const Selection none = host::select_devices(fixture, q);
    EXPECT_FALSE(none.complete());
    ASSERT_EQ(none.missing.size(), 1u);
    EXPECT_NE(none.missing[0].find("looked for the device with port '1-2.4'"), std::string::npos)
        << none.missing[0];
}
