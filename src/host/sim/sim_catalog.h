// The simulated devices as a catalog: N devices with serial numbers SIM0001, SIM0002, ... at
// paths sim:1, sim:2, ..., each with its own flash and fault schedule. For trying discovery
// without hardware they can also appear late, or refuse to open for a while, as a device does
// whose node udev has not yet handed to the user.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device/sim_device.h"
#include "host/link/device_catalog.h"
#include "timing/usb_timing.h"

namespace host {

struct SimCatalogSetup {
    int devices = 1;
    // Rule texts; "SERIAL/RULE" applies to that device only, a bare rule to every device.
    std::vector<std::string> faults;
    std::chrono::milliseconds appear_after{0};  // enumerated only after this
    std::chrono::milliseconds open_after{0};    // then opens fail (permission) this long
    std::chrono::microseconds device_tick{std::chrono::milliseconds(10)};
    std::optional<timing::UsbTimingFigures> link;  // the link's timing; none: answers at once
};

std::string sim_serial(int number);  // 1 -> "SIM0001"

class SimCatalog : public DeviceCatalog {
  public:
    // Null when a rule is malformed or names a serial no simulated device has; error says which.
    static std::unique_ptr<SimCatalog> create(const SimCatalogSetup &setup, std::string &error);

    std::vector<DeviceInfo> enumerate(uint16_t vendor_id, uint16_t product_id) override;
    std::unique_ptr<Transport> open(const DeviceInfo &device) override;
    std::string open_error() const override { return open_error_; }

  private:
    using Clock = std::chrono::steady_clock;
    SimCatalog(const SimCatalogSetup &setup, std::vector<sim::FaultSchedule> faults);

    SimCatalogSetup setup_;
    std::vector<sim::FaultSchedule> faults_;  // one per device
    Clock::time_point created_;
    std::string open_error_;
};

}  // namespace host
