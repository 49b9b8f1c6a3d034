// A HID device's USB port path, from what the system says about where the device sits. Pure, so
// that both systems' forms are tested on strings (no USB needed).
#pragma once

#include <string>

namespace host {

// The kernel's name of the USB device a sysfs path lies under, "1-2.3" (bus 1, hub port 2, its
// port 3), from the resolved path of /sys/class/hidraw/hidrawN:
// /sys/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2.3/1-2.3:1.0/0003:1234:5678.0001/hidraw/hidraw0.
// "" when no component is such a name (a device that is not on USB).
std::string usb_port_of_sysfs_path(const std::string &resolved);

// The location path of the USB device from SetupAPI's list of a device's location paths (its
// strings separated by NULs, as DEVPKEY_Device_LocationPaths gives them), the one through the
// USB root hub: "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)". The interface's own step
// ("#USBMI(0)") is left out, so that every interface of a board names one port. "" when none
// goes through a USB root hub.
std::string usb_port_of_location_paths(const std::string &paths);

// The device instance ID of a Windows device interface path, the node the configuration manager
// finds: \\?\HID#VID_9999&PID_8888#7&1a2b3c&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}
// -> HID\VID_9999&PID_8888\7&1a2b3c&0&0000. "" for a path of another form.
std::string device_instance_of_interface_path(const std::string &path);

// The sysfs node of a hidraw device node ("/dev/hidraw3" -> "/sys/class/hidraw/hidraw3"); ""
// for a path of another form.
std::string hidraw_sysfs_node(const std::string &device_path);

}  // namespace host
