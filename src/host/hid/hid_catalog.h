// The USB HID devices, through HIDAPI.
#pragma once

#include <memory>

#include "host/link/device_catalog.h"

namespace host {

class HidLibrary;

class HidCatalog : public DeviceCatalog {
  public:
    // HIDAPI is initialised on first use (a dry run never touches it) and shut down when the
    // catalog and every device it opened are gone.
    std::vector<DeviceInfo> enumerate(uint16_t vendor_id, uint16_t product_id) override;
    std::unique_ptr<Transport> open(const DeviceInfo &device) override;
    std::string open_error() const override { return open_error_; }

  private:
    HidLibrary &library();
    std::shared_ptr<HidLibrary> library_;
    std::string open_error_;
};

}  // namespace host
