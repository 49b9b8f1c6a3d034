#include "hid_transport.h"

#include <hidapi/hidapi.h>

#include <cstdio>
#include <string>

#include "wide_text.h"

namespace host {

std::unique_ptr<HidTransport> HidTransport::open(unsigned short vendor_id,
                                                 unsigned short product_id) {
    // Without a working HID library no device can be found; say why rather than only that none
    // was (some Windows emulations have no HID support at all).
    if (hid_init() != 0) {
        const wchar_t *reason = hid_error(nullptr);
        std::fprintf(stderr,
                     "hidiap: the HID library could not start (%s); no device can be used\n",
                     reason != nullptr ? to_utf8(reason).c_str() : "no reason given");
        return nullptr;
    }
    hid_device *handle = hid_open(vendor_id, product_id, nullptr);
    if (handle == nullptr) {
        hid_exit();
        return nullptr;
    }
    return std::unique_ptr<HidTransport>(new HidTransport(handle));
}

HidTransport::~HidTransport() {
    // Callers stop every thread that uses the device before it is destroyed.
    hid_close(hid_handle_);
    hid_exit();
}

int HidTransport::write(const uint8_t *report, size_t len) {
    return hid_write(hid_handle_, report, len);
}

int HidTransport::read(uint8_t *buf, size_t len, int timeout_ms) {
    return hid_read_timeout(hid_handle_, buf, len, timeout_ms);
}

bool HidTransport::product_string(std::wstring &out) {
    wchar_t wstr[255];
    wstr[0] = L'\0';
    if (hid_get_product_string(hid_handle_, wstr, 255) != 0) {
        return false;
    }
    wstr[254] = L'\0';
    out = wstr;
    return true;
}

}  // namespace host
