// Which of the devices present the user means. Pure: no I/O, so every rule is unit-tested.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/link/device_catalog.h"

namespace host {

constexpr uint16_t kDefaultVendorId = 0x9999;
constexpr uint16_t kDefaultProductId = 0x8888;

struct DeviceQuery {
    uint16_t vendor_id = kDefaultVendorId;  // 0 matches any
    uint16_t product_id = kDefaultProductId;
    std::vector<std::string> serials;  // each names one device by its exact serial number
    std::vector<std::string> paths;    // each names one device by its back end path
    std::vector<std::string> ports;    // each names one device by its USB port path
    bool all = false;                  // every device with the IDs (no names)
};

struct Selection {
    // Named devices in the order named, every match for `all`, or else the first match.
    std::vector<DeviceInfo> chosen;
    // Lines for standard error. warnings: other devices that matched but were not chosen.
    // missing: what was looked for and found missing, and what was found instead; when it is
    // not empty the selection failed, even if some named devices were found.
    std::vector<std::string> warnings;
    std::vector<std::string> missing;
    bool complete() const { return !chosen.empty() && missing.empty(); }
};

Selection select_devices(const std::vector<DeviceInfo> &present, const DeviceQuery &query);

// "vendor ID 0x9999 and product ID 0x8888", "any vendor ID and product ID 0x8888", ...
std::string describe_ids(uint16_t vendor_id, uint16_t product_id);
// "sim:2 (serial SIM0002)", or "(no serial number)" in place of the serial.
std::string describe_device(const DeviceInfo &device);
// What a wait is for: the IDs, and the serial numbers or paths when some are named.
std::string describe_query(const DeviceQuery &query);

}  // namespace host
