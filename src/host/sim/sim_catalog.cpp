#include "host/sim/sim_catalog.h"

#include <cstdio>

#include "host/sim/sim_transport.h"

namespace host {

namespace {

constexpr uint16_t kSimVendorId = 0x9999;
constexpr uint16_t kSimProductId = 0x8888;

std::string sim_path(int number) {
    return "sim:" + std::to_string(number);
}

}  // namespace

std::string sim_serial(int number) {
    char text[16];
    std::snprintf(text, sizeof text, "SIM%04d", number);
    return text;
}

std::unique_ptr<SimCatalog> SimCatalog::create(const SimCatalogSetup &setup, std::string &error) {
    std::vector<sim::FaultSchedule> faults(static_cast<size_t>(setup.devices));
    for (const std::string &text : setup.faults) {
        const size_t slash = text.find('/');
        const std::string rule_text = slash == std::string::npos ? text : text.substr(slash + 1);
        sim::FaultRule rule;
        if (!sim::parse_fault_rule(rule_text, rule, error)) {
            error = "'" + text + "': " + error;
            return nullptr;
        }
        bool applied = false;
        for (int n = 1; n <= setup.devices; n++) {
            if (slash == std::string::npos || text.compare(0, slash, sim_serial(n)) == 0) {
                faults[static_cast<size_t>(n - 1)].add(rule);
                applied = true;
            }
        }
        if (!applied) {
            error = "'" + text + "': no simulated device has the serial number '" +
                    text.substr(0, slash) + "'";
            return nullptr;
        }
    }
    return std::unique_ptr<SimCatalog>(new SimCatalog(setup, std::move(faults)));
}

SimCatalog::SimCatalog(const SimCatalogSetup &setup, std::vector<sim::FaultSchedule> faults)
    : setup_(setup), faults_(std::move(faults)), created_(Clock::now()) {}

std::vector<DeviceInfo> SimCatalog::enumerate(uint16_t vendor_id, uint16_t product_id) {
    std::vector<DeviceInfo> found;
    if (Clock::now() - created_ < setup_.appear_after ||
        (vendor_id != 0 && vendor_id != kSimVendorId) ||
        (product_id != 0 && product_id != kSimProductId)) {
        return found;
    }
    for (int n = 1; n <= setup_.devices; n++) {
        DeviceInfo info;
        info.path = sim_path(n);
        info.vendor_id = kSimVendorId;
        info.product_id = kSimProductId;
        info.serial = sim_serial(n);
        info.manufacturer = "hidiap";
        info.product = "Simulated IAP device";
        info.interface_number = 0;
        found.push_back(std::move(info));
    }
    return found;
}

std::unique_ptr<Transport> SimCatalog::open(const DeviceInfo &device) {
    const Clock::duration age = Clock::now() - created_;
    for (int n = 1; n <= setup_.devices; n++) {
        if (device.path != sim_path(n) || age < setup_.appear_after) {
            continue;
        }
        if (age < setup_.appear_after + setup_.open_after) {
            // The words of the HID back end on Linux, so both paths read the same.
            open_error_ =
                "Failed to open a device with path '" + device.path + "': Permission denied";
            return nullptr;
        }
        open_error_.clear();
        return std::make_unique<SimTransport>(faults_[static_cast<size_t>(n - 1)],
                                              setup_.device_tick, setup_.link);
    }
    open_error_ = "Failed to open a device with path '" + device.path + "': No such device";
    return nullptr;
}

}  // namespace host
