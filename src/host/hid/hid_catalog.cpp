#include "host/hid/hid_catalog.h"

#include <hidapi.h>

#include <set>
#include <vector>

#ifdef _WIN32
#include <windows.h>
// clang-format off
#include <initguid.h>
#include <devpkey.h>
// clang-format on
#include <cfgmgr32.h>

#include <cwchar>
#endif

#include "host/hid/hid_transport.h"
#include "host/hid/usb_port.h"
#include "host/platform/env.h"
#include "host/platform/wide_text.h"

namespace host {

namespace {

std::string narrow(const wchar_t *text) {
    return text == nullptr ? std::string() : to_utf8(text);
}

#ifdef _WIN32
// The location path of the USB device the HID interface belongs to: up from the HID collection
// through the USB interface to the device, the first node with a path through a USB root hub.
std::string port_of(const std::string &interface_path) {
    const std::string id = device_instance_of_interface_path(interface_path);
    std::wstring instance(id.begin(), id.end());  // ASCII
    DEVPROPTYPE type = 0;
    DEVINST node = 0;
    if (id.empty() ||
        CM_Locate_DevNodeW(&node, instance.data(), CM_LOCATE_DEVNODE_NORMAL) != CR_SUCCESS) {
        return "";
    }
    for (int up = 0; up < 4; up++) {
        ULONG bytes = 0;
        (void)CM_Get_DevNode_PropertyW(node, &DEVPKEY_Device_LocationPaths, &type, nullptr, &bytes,
                                       0);
        std::vector<WCHAR> list(bytes / sizeof(WCHAR) + 1);
        if (bytes > 0 && CM_Get_DevNode_PropertyW(node, &DEVPKEY_Device_LocationPaths, &type,
                                                  reinterpret_cast<PBYTE>(list.data()), &bytes,
                                                  0) == CR_SUCCESS) {
            std::string paths;
            for (const WCHAR *s = list.data(); *s != 0; s += std::wcslen(s) + 1) {
                paths += (paths.empty() ? "" : std::string(1, '\0')) + to_utf8(s);
            }
            const std::string port = usb_port_of_location_paths(paths);
            if (!port.empty()) {
                return port;
            }
        }
        DEVINST parent = 0;
        if (CM_Get_Parent(&parent, node, 0) != CR_SUCCESS) {
            break;
        }
        node = parent;
    }
    return "";
}
#else
// The kernel's port name of the USB device above the hidraw node, through sysfs.
std::string port_of(const std::string &device_path) {
    const std::string node = hidraw_sysfs_node(device_path);
    if (node.empty()) {
        return "";
    }
    const base::Result<std::string> resolved = env().real_path(node);
    return resolved.ok() ? usb_port_of_sysfs_path(*resolved) : "";
}
#endif

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
        info.port = port_of(path);
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
