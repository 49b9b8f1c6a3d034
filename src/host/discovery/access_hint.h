// What to tell a user whose device is there but may not be opened by them.
#pragma once

#include <cstdint>
#include <string>

namespace host {

// Lines for standard error: on Linux the udev rule for these IDs, how to install it and reload
// udev, and that replugging the device applies it.
std::string access_hint(uint16_t vendor_id, uint16_t product_id);

}  // namespace host
