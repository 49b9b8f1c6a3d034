// The real device, through HIDAPI.
#pragma once

#include <memory>

#include "transport.h"

struct hid_device_;

namespace host {

class HidTransport : public Transport {
  public:
    ~HidTransport() override;
    // Initialises HIDAPI and opens the first device with the IDs. Returns null when none is
    // found (HIDAPI is shut down again on that path) or when HIDAPI cannot start (said on
    // standard error).
    static std::unique_ptr<HidTransport> open(unsigned short vendor_id, unsigned short product_id);

    int write(const uint8_t *report, size_t len) override;
    int read(uint8_t *buf, size_t len, int timeout_ms) override;
    bool product_string(std::wstring &out) override;

  private:
    explicit HidTransport(hid_device_ *handle) : hid_handle_(handle) {}
    hid_device_ *hid_handle_;
};

}  // namespace host
