#include "host/hid/hid_catalog.h"

#include <hidapi.h>

#include <set>

#include "host/hid/hid_transport.h"
#include "host/platform/wide_text.h"

namespace host {

namespace {

std::string narrow(const wchar_t *text) {
    return text == nullptr ? std::string() : to_utf8(text);
}

}  // namespace

HidLibrary &HidCatalog::library() {
    if (!library_) {
        library_ = std::make_shared<HidLibrary>();
    }
    return *library_;
}

std::vector<DeviceInfo> HidCatalog::enumerate(uint16_t vendor_id, uint16_t product_id) {
    std::vector<DeviceInfo> found;
    if (!library().started()) {
        return found;
    }
    // hidraw lists a node once per top-level collection; it is one device to open and update.
    std::set<std::string> seen;
    hid_device_info *all = hid_enumerate(vendor_id, product_id);
    for (const hid_device_info *d = all; d != nullptr; d = d->next) {
        const std::string path = d->path == nullptr ? std::string() : d->path;
        if (!seen.insert(path).second) {
            continue;
        }
        DeviceInfo info;
        info.path = path;
        info.vendor_id = d->vendor_id;
        info.product_id = d->product_id;
        info.serial = narrow(d->serial_number);
        info.manufacturer = narrow(d->manufacturer_string);
        info.product = narrow(d->product_string);
        info.interface_number = d->interface_number;
        found.push_back(std::move(info));
    }
    hid_free_enumeration(all);
    return found;
}

std::unique_ptr<Transport> HidCatalog::open(const DeviceInfo &device) {
    library();
    hid_device *handle = hid_open_path(device.path.c_str());
    if (handle == nullptr) {
        const wchar_t *why = hid_error(nullptr);
        open_error_ = why == nullptr ? "cannot open " + device.path : to_utf8(why);
        return nullptr;
    }
    open_error_.clear();
    return std::make_unique<HidTransport>(handle, library_);
}

}  // namespace host
