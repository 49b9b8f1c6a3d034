// Finding devices and opening one: the same seam for the HIDAPI devices and the simulated ones,
// so that listing, choosing and waiting work, and are tested, the same way for both.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/link/transport.h"

namespace host {

struct DeviceInfo {
    std::string path;  // the back end's own name for the device; opens exactly this one
    uint16_t vendor_id = 0;
    uint16_t product_id = 0;
    std::string serial;  // empty when the device declares none
    std::string manufacturer;
    std::string product;
    int interface_number = -1;  // -1 when the back end does not know it
    // The USB port path: the bus and the chain of hub ports ("1-2.3"); on Windows the device's
    // location path. It stays when the device re-enumerates; "" when the back end cannot tell.
    std::string port;
};

class DeviceCatalog {
  public:
    virtual ~DeviceCatalog() = default;
    // Every device present now with these IDs; 0 stands for any ID. One entry per path.
    virtual std::vector<DeviceInfo> enumerate(uint16_t vendor_id, uint16_t product_id) = 0;
    // Opens the device for the update. Null when it cannot be opened; open_error() says why.
    virtual std::unique_ptr<Transport> open(const DeviceInfo &device) = 0;
    virtual std::string open_error() const = 0;
};

}  // namespace host
