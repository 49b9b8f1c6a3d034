#include "host/hid/usb_port.h"

#include <algorithm>
#include <vector>

namespace host {

namespace {

std::vector<std::string> split(const std::string &text, char separator) {
    std::vector<std::string> parts;
    size_t at = 0;
    while (at <= text.size()) {
        const size_t end = std::min(text.find(separator, at), text.size());
        parts.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return parts;
}

bool all_digits(const std::string &text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// "1-2.3": a bus number, a dash, and one or more port numbers joined by dots. A root hub is
// "usb1", an interface "1-2.3:1.0": neither is a port.
bool is_port_name(const std::string &name) {
    const size_t dash = name.find('-');
    if (dash == std::string::npos || !all_digits(name.substr(0, dash))) {
        return false;
    }
    for (const std::string &port : split(name.substr(dash + 1), '.')) {
        if (!all_digits(port)) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string usb_port_of_sysfs_path(const std::string &resolved) {
    std::string port;
    for (const std::string &name : split(resolved, '/')) {
        if (is_port_name(name)) {
            port = name;  // the deepest one: the device itself, below its hubs
        }
    }
    return port;
}

std::string usb_port_of_location_paths(const std::string &paths) {
    for (const std::string &path : split(paths, '\0')) {
        std::vector<std::string> steps = split(path, '#');
        const bool through_root = std::any_of(steps.begin(), steps.end(), [](const std::string &s) {
            return s.rfind("USBROOT(", 0) == 0;
        });
        if (!through_root) {
            continue;
        }
        while (!steps.empty() && steps.back().rfind("USB(", 0) != 0) {
            steps.pop_back();  // the interface's step, and anything else past the last port
        }
        std::string port;
        for (const std::string &s : steps) {
            port += (port.empty() ? "" : "#") + s;
        }
        if (!steps.empty()) {
            return port;
        }
    }
    return "";
}

std::string device_instance_of_interface_path(const std::string &path) {
    const std::string prefix = "\\\\?\\";
    const size_t guid = path.rfind("#{");
    if (path.rfind(prefix, 0) != 0 || guid == std::string::npos || guid <= prefix.size()) {
        return "";
    }
    std::string id = path.substr(prefix.size(), guid - prefix.size());
    std::replace(id.begin(), id.end(), '#', '\\');
    return id;
}

std::string hidraw_sysfs_node(const std::string &device_path) {
    const std::string prefix = "/dev/hidraw";
    if (device_path.rfind(prefix, 0) != 0 || !all_digits(device_path.substr(prefix.size()))) {
        return "";
    }
    return "/sys/class/hidraw/" + device_path.substr(5);
}

}  // namespace host
