// Finds, chooses and opens the device to update, waiting for it when asked; and lists devices.
// Everything it has to say goes to standard error, except the list itself.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/discovery/device_selection.h"
#include "host/link/device_catalog.h"

namespace host {

struct OpenedDevice {
    std::unique_ptr<Transport> transport;
    DeviceInfo info;
};

struct OpenedDevices {
    int status = 0;                     // kExitSuccess, kExitNoDevice or kExitPermission
    std::vector<OpenedDevice> devices;  // every chosen device, open; empty unless kExitSuccess
};

// Opens every device the query chooses: one, unless several are named or all are asked for;
// all of them must be present and open. With a zero wait it looks once. Otherwise it polls a
// few times a second until they are present and open, the wait is over or `interrupted` says
// the user asked to stop; a device that is there but refuses to open is tried again on every
// poll (its node's permissions are set a moment after it appears).
OpenedDevices find_and_open(DeviceCatalog &catalog, const DeviceQuery &query,
                            std::chrono::milliseconds wait,
                            const std::function<bool()> &interrupted);

// The devices with the IDs (0 for any), waiting like find_and_open for at least one; says on
// standard error when there is none.
std::vector<DeviceInfo> wait_for_devices(DeviceCatalog &catalog, uint16_t vendor_id,
                                         uint16_t product_id, std::chrono::milliseconds wait,
                                         const std::function<bool()> &interrupted);

// One line of --list: path, vvvv:pppp, serial, manufacturer, product, interface number,
// separated by tabs; "-" stands for what a device does not declare. with_port: the USB port path
// follows as a seventh column (the list command; --list keeps its six).
std::string list_line(const DeviceInfo &device, bool with_port = false);

}  // namespace host
