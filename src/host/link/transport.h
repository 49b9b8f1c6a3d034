// The seam between the tool and a device: 64-byte output reports out, input reports in.
// Implementations: the HIDAPI device and the in-process simulated device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/result.h"

namespace host {

constexpr size_t kReportSize = 64;

class Transport {
  public:
    virtual ~Transport() = default;
    // Writes one output report (report ID first). Returns the bytes written, or -1 on failure.
    // Calls are serialised by the caller; one reader may run at the same time.
    virtual int write(const uint8_t *report, size_t len) = 0;
    // Reads one input report (report ID first), waiting at most timeout_ms. Returns its length,
    // 0 when nothing arrived in time, or -1 when the device failed or is gone.
    virtual int read(uint8_t *buf, size_t len, int timeout_ms) = 0;
    // The device's product string, or false when it has none.
    virtual bool product_string(std::wstring &out) = 0;
    // True once the device is known to be gone (unplugged, unbound): nothing more can reach it.
    virtual bool disconnected() const { return false; }
    // The update of this device is over: nothing more will be written to it. A device that
    // keeps what it now holds where the tool's user looks for it (a simulated board writes its
    // flash to the file --sim-flash names) does so now, and a failure to is the update's.
    // `name` tells the device from the others of the run ("" when it is updated alone).
    virtual base::Status keep_after_update(const std::string &name) {
        (void)name;
        return {};
    }
};

}  // namespace host
