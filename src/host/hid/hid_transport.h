// The real device, through HIDAPI.
#pragma once

#include <atomic>
#include <memory>

#include "host/link/transport.h"

struct hid_device_;

namespace host {

// Keeps HIDAPI initialised for as long as any holder lives: the catalog and each open device.
class HidLibrary {
  public:
    HidLibrary();  // says on standard error when the library cannot start
    ~HidLibrary();
    bool started() const { return started_; }
    HidLibrary(const HidLibrary &) = delete;
    HidLibrary &operator=(const HidLibrary &) = delete;

  private:
    bool started_;
};

class HidTransport : public Transport {
  public:
    HidTransport(hid_device_ *handle, std::shared_ptr<HidLibrary> library);
    ~HidTransport() override;

    int write(const uint8_t *report, size_t len) override;
    int read(uint8_t *buf, size_t len, int timeout_ms) override;
    bool product_string(std::wstring &out) override;
    bool disconnected() const override { return disconnected_; }

  private:
    hid_device_ *hid_handle_;
    std::shared_ptr<HidLibrary> library_;
    std::atomic<bool> disconnected_{false};
};

}  // namespace host
