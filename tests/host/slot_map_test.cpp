// Where a board sits: its port path from the system's words for it (both systems' forms, on
// strings), and the fixture's slot map that names the ports.
#include "host/station/slot_map.h"

#include <gtest/gtest.h>

#include "host/hid/usb_port.h"

namespace {

using host::Slot;

TEST(UsbPort, SysfsPathsNameTheUsbDeviceBelowItsHubs) {
    const struct {
        const char *resolved;
        const char *port;
    } cases[] = {
        // A board behind a hub: the interface (1-2.3:1.0) and the root hub (usb1) are not ports.
        {"/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2.3/1-2.3:1.0/0003:9999:8888.0001/"
         "hidraw/hidraw0",
         "1-2.3"},
        // dummy_hcd's gadget on the second virtual bus.
        {"/sys/devices/platform/dummy_hcd.1/usb2/2-1/2-1:1.0/0003:9999:8888.0004/hidraw/hidraw3",
         "2-1"},
        {"/sys/devices/pci0000:00/0000:00:14.0/usb3/3-10.4.1/3-10.4.1:1.2/0003:1:2.0009/hidraw/"
         "hidraw9",
         "3-10.4.1"},
        // Not on USB (uhid, Bluetooth): no port.
        {"/sys/devices/virtual/misc/uhid/0003:9999:8888.0002/hidraw/hidraw1", ""},
        {"/sys/devices/pci0000:00/0000:00:1f.0/PNP0C09:00/0018:06CB:7E7E.0003/hidraw/hidraw2", ""},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(host::usb_port_of_sysfs_path(c.resolved), c.port) << c.resolved;
    }
    EXPECT_EQ(host::hidraw_sysfs_node("/dev/hidraw12"), "/sys/class/hidraw/hidraw12");
    for (const char *other : {"sim:1", "/dev/hidraw", "/dev/hidraw1x", "1-2:1.0"}) {
        EXPECT_EQ(host::hidraw_sysfs_node(other), "") << other;
    }
}

TEST(UsbPort, WindowsLocationPathsKeepTheUsbChainWithoutTheInterface) {
    using namespace std::string_literals;
    // SetupAPI's list of a USB interface's paths: the ACPI one first, then the one through the
    // root hub, which ends in the interface's own step.
    const std::string interface =
        "ACPI(_SB_)#ACPI(PCI0)#ACPI(XHC_)#ACPI(RHUB)#ACPI(HS02)\0"
        "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)#USBMI(0)"s;
    EXPECT_EQ(host::usb_port_of_location_paths(interface),
              "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)");
    EXPECT_EQ(host::usb_port_of_location_paths("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(7)"),
              "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(7)");
    // Two interfaces of one board name one port.
    EXPECT_EQ(host::usb_port_of_location_paths("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(7)#USBMI(2)"),
              "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(7)");
    EXPECT_EQ(host::usb_port_of_location_paths("ACPI(_SB_)#ACPI(PCI0)"), "");
    // The node behind HIDAPI's path, whose parents' location paths these are.
    EXPECT_EQ(
        host::device_instance_of_interface_path(
            R"(\\?\hid#vid_9999&pid_8888#7&1a2b3c&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030})"),
        R"(hid\vid_9999&pid_8888\7&1a2b3c&0&0000)");
    EXPECT_EQ(host::device_instance_of_interface_path("/dev/hidraw0"), "");
    EXPECT_EQ(host::usb_port_of_location_paths(""), "");
}

TEST(SlotMap, ReadWithCommentsAndBlankLinesAndWrittenBackTheSame) {
    const base::Result<std::vector<Slot>> slots = host::parse_slot_map(
        "# left fixture, hub A\n"
        "left-1   1-2.1\n"
        "\n"
        "\tleft-2\t1-2.2   # the one with the loose clip\r\n"
        "right-1 PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)\n");
    ASSERT_TRUE(slots.ok()) << slots.message();
    ASSERT_EQ(slots->size(), 3u) << "the # inside a Windows location path starts no comment";
    EXPECT_EQ((*slots)[2].port, "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)");
    EXPECT_EQ((*slots)[1].name, "left-2");
    EXPECT_EQ((*slots)[1].port, "1-2.2");
    EXPECT_EQ(host::slot_on_port(*slots, "1-2.2"), &(*slots)[1]);
    EXPECT_EQ(host::slot_on_port(*slots, "1-2.3"), nullptr);
    EXPECT_EQ(host::slot_on_port(*slots, ""), nullptr);
    const base::Result<std::vector<Slot>> again = host::parse_slot_map(host::slot_map_text(*slots));
    ASSERT_TRUE(again.ok());
    ASSERT_EQ(again->size(), 3u);
    EXPECT_EQ((*again)[0].name, "left-1");
    EXPECT_EQ((*again)[0].port, "1-2.1");
}

TEST(SlotMap, ANameOrAPortTwiceOrALineOfOneWordIsRefusedByItsLine) {
    const struct {
        const char *text;
        const char *why;
    } cases[] = {
        {"a 1-1\na 1-2\n", "line 2: the slot 'a' is named twice"},
        {"a 1-1\n# b\nb 1-1\n", "line 3: the port 1-1 is in two slots"},
        {"a\n", "line 1: not a slot's name and its port path"},
        {"a 1-1 extra\n", "line 1: not a slot's name and its port path"},
    };
    for (const auto &c : cases) {
        const base::Result<std::vector<Slot>> slots = host::parse_slot_map(c.text);
        ASSERT_FALSE(slots.ok()) << c.text;
        EXPECT_EQ(slots.message(), c.why);
    }
}

}  // namespace
