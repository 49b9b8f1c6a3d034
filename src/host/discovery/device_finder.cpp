#include "host/discovery/device_finder.h"

#include <cstdio>
#include <functional>
#include <string>

#include "host/discovery/access_hint.h"
#include "host/events/exit_status.h"
#include "host/platform/env.h"
#include "host/platform/error_lines.h"

namespace host {

namespace {

// Often enough that a device is taken up within a fifth of a second; enumeration costs little.
constexpr std::chrono::milliseconds kPollPeriod{200};

// Calls attempt until it succeeds, `wait` has passed or the user interrupts, sleeping between
// calls; announce runs once, before the first sleep.
bool poll_until(std::chrono::milliseconds wait, const std::function<bool()> &interrupted,
                const std::function<bool()> &attempt, const std::function<void()> &announce) {
    const auto deadline = env().now() + wait;
    for (bool announced = false;; announced = true) {
        if (attempt()) {
            return true;
        }
        const auto now = env().now();
        if (now >= deadline || (interrupted && interrupted())) {
            return false;
        }
        if (!announced) {
            announce();
        }
        env().sleep_until(now + std::min<SteadyClock::duration>(kPollPeriod, deadline - now));
    }
}

std::string seconds_text(std::chrono::milliseconds wait) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", static_cast<double>(wait.count()) / 1000.0);
    return text;
}

std::string or_dash(const std::string &text) {
    return text.empty() ? "-" : text;
}

}  // namespace

OpenedDevices find_and_open(DeviceCatalog &catalog, const DeviceQuery &query,
                            std::chrono::milliseconds wait,
                            const std::function<bool()> &interrupted) {
    OpenedDevices result;
    Selection selection;
    bool refused = false;  // a chosen device was there but would not open
    DeviceInfo refusing;
    std::string open_error;
    const bool found = poll_until(
        wait, interrupted,
        [&] {
            selection = select_devices(catalog.enumerate(query.vendor_id, query.product_id), query);
            refused = false;
            result.devices.clear();
            if (!selection.complete()) {
                return false;
            }
            for (const DeviceInfo &info : selection.chosen) {
                OpenedDevice opened{catalog.open(info), info};
                if (!opened.transport) {
                    refused = true;
                    refusing = info;
                    open_error = catalog.open_error();
                    result.devices.clear();
                    return false;
                }
                result.devices.push_back(std::move(opened));
            }
            return true;
        },
        [&] {
            error_printf("hidiap: waiting up to %s for %s\n", seconds_text(wait).c_str(),
                         describe_query(query).c_str());
        });
    if (found) {
        for (const std::string &line : selection.warnings) {
            error_printf("hidiap: warning: %s\n", line.c_str());
        }
        result.status = kExitSuccess;
        return result;
    }
    if (refused) {
        error_printf("hidiap: cannot open %s: %s\n", describe_device(refusing).c_str(),
                     open_error.c_str());
        error_write(access_hint(refusing.vendor_id, refusing.product_id).c_str());
        result.status = kExitPermission;
        return result;
    }
    for (const std::string &line : selection.missing) {
        error_printf("hidiap: %s\n", line.c_str());
    }
    result.status = kExitNoDevice;
    return result;
}

std::vector<DeviceInfo> wait_for_devices(DeviceCatalog &catalog, uint16_t vendor_id,
                                         uint16_t product_id, std::chrono::milliseconds wait,
                                         const std::function<bool()> &interrupted) {
    std::vector<DeviceInfo> devices;
    poll_until(
        wait, interrupted,
        [&] {
            devices = catalog.enumerate(vendor_id, product_id);
            return !devices.empty();
        },
        [&] {
            error_printf("hidiap: waiting up to %s for a HID device with %s\n",
                         seconds_text(wait).c_str(), describe_ids(vendor_id, product_id).c_str());
        });
    if (devices.empty()) {
        error_printf("hidiap: no HID device with %s\n",
                     describe_ids(vendor_id, product_id).c_str());
    }
    return devices;
}

std::string list_line(const DeviceInfo &d, bool with_port) {
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04x:%04x", d.vendor_id, d.product_id);
    const std::string interface = d.interface_number < 0 ? "-" : std::to_string(d.interface_number);
    return d.path + "\t" + ids + "\t" + or_dash(d.serial) + "\t" + or_dash(d.manufacturer) + "\t" +
           or_dash(d.product) + "\t" + interface + (with_port ? "\t" + or_dash(d.port) : "") + "\n";
}

}  // namespace host
