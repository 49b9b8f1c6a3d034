#include "host/hid/hid_transport.h"

#include <hidapi.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "host/platform/wide_text.h"

namespace host {

HidLibrary::HidLibrary() : started_(hid_init() == 0) {
    // Without a working HID library no device can be found; say why rather than only that none
    // was (some Windows emulations have no HID support at all).
    if (!started_) {
        const wchar_t *reason = hid_error(nullptr);
        std::fprintf(stderr,
                     "hidiap: the HID library could not start (%s); no device can be used\n",
                     reason != nullptr ? to_utf8(reason).c_str() : "no reason given");
    }
}

HidLibrary::~HidLibrary() {
    hid_exit();
}

HidTransport::HidTransport(hid_device *handle, std::shared_ptr<HidLibrary> library)
    : hid_handle_(handle), library_(std::move(library)) {}

HidTransport::~HidTransport() {
    // Callers stop every thread that uses the device before it is destroyed.
    hid_close(hid_handle_);
}

int HidTransport::write(const uint8_t *report, size_t len) {
    return hid_write(hid_handle_, report, len);
}

int HidTransport::read(uint8_t *buf, size_t len, int timeout_ms) {
    errno = 0;
    const int res = hid_read_timeout(hid_handle_, buf, len, timeout_ms);
    // A signal (Ctrl-C) cutting the wait short is not a failure of the device.
    if (res < 0 && errno == EINTR) {
        return 0;
    }
    // Otherwise a failure means the node reported an error or hang-up, which on hidraw happens
    // only when the device is gone: every later read fails the same way at once.
    if (res < 0) {
        disconnected_ = true;
    }
    return res;
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
