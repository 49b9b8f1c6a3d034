#include "host/discovery/device_selection.h"

#include <algorithm>
#include <cstdio>

namespace host {

namespace {

std::string hex_id(uint16_t id) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04x", id);
    return text;
}

bool ids_match(const DeviceInfo &d, const DeviceQuery &q) {
    return (q.vendor_id == 0 || d.vendor_id == q.vendor_id) &&
           (q.product_id == 0 || d.product_id == q.product_id);
}

std::string list_devices(const std::vector<DeviceInfo> &devices) {
    std::string text;
    for (const DeviceInfo &d : devices) {
        text += (text.empty() ? "" : ", ") + describe_device(d);
    }
    return text;
}

// Picks the first device that `named` accepts; the others it accepts become warnings.
template <typename Pred>
void choose_named(const std::vector<DeviceInfo> &candidates, const std::string &what,
                  const std::string &ids, Pred named, Selection &out) {
    std::vector<DeviceInfo> hits;
    std::copy_if(candidates.begin(), candidates.end(), std::back_inserter(hits), named);
    if (hits.empty()) {
        out.missing.push_back("looked for the device with " + what + ", " + ids + "; found " +
                              (candidates.empty() ? "no device with these IDs"
                                                  : "instead: " + list_devices(candidates)));
        return;
    }
    const bool already = std::any_of(out.chosen.begin(), out.chosen.end(),
                                     [&](const DeviceInfo &c) { return c.path == hits[0].path; });
    if (!already) {
        out.chosen.push_back(hits[0]);
    }
    if (hits.size() > 1) {
        out.warnings.push_back(std::to_string(hits.size()) + " devices have " + what +
                               "; updating the first, " + describe_device(hits[0]) +
                               "; also found " +
                               list_devices(std::vector<DeviceInfo>(hits.begin() + 1, hits.end())) +
                               "; --path chooses one");
    }
}

}  // namespace

std::string describe_ids(uint16_t vendor_id, uint16_t product_id) {
    const std::string vendor = vendor_id == 0 ? "any vendor ID" : "vendor ID " + hex_id(vendor_id);
    const std::string product =
        product_id == 0 ? "any product ID" : "product ID " + hex_id(product_id);
    return vendor + " and " + product;
}

std::string describe_device(const DeviceInfo &device) {
    return device.path + " (" +
           (device.serial.empty() ? std::string("no serial number") : "serial " + device.serial) +
           ")";
}

std::string describe_query(const DeviceQuery &query) {
    std::string text = (query.all ? "every HID device with " : "a HID device with ") +
                       describe_ids(query.vendor_id, query.product_id);
    for (const std::string &s : query.serials) {
        text += ", serial number '" + s + "'";
    }
    for (const std::string &p : query.paths) {
        text += ", path '" + p + "'";
    }
    for (const std::string &p : query.ports) {
        text += ", port '" + p + "'";
    }
    return text;
}

Selection select_devices(const std::vector<DeviceInfo> &present, const DeviceQuery &query) {
    std::vector<DeviceInfo> candidates;
    std::copy_if(present.begin(), present.end(), std::back_inserter(candidates),
                 [&](const DeviceInfo &d) { return ids_match(d, query); });
    const std::string ids = describe_ids(query.vendor_id, query.product_id);
    Selection out;
    if (query.all && !candidates.empty()) {
        out.chosen = candidates;
        return out;
    }
    if (query.serials.empty() && query.paths.empty() && query.ports.empty()) {
        if (candidates.empty()) {
            out.missing.push_back("looked for a HID device with " + ids +
                                  "; found none (--list --vid 0 --pid 0 lists every HID device)");
            return out;
        }
        out.chosen.push_back(candidates[0]);
        if (candidates.size() > 1) {
            out.warnings.push_back(std::to_string(candidates.size()) + " devices have " + ids +
                                   "; updating the first, " + describe_device(candidates[0]));
            for (size_t i = 1; i < candidates.size(); i++) {
                out.warnings.push_back("not updated: " + describe_device(candidates[i]));
            }
            out.warnings.push_back("--serial or --path chooses the device to update");
        }
        return out;
    }
    for (const std::string &serial : query.serials) {
        choose_named(
            candidates, "serial number '" + serial + "'", ids,
            [&](const DeviceInfo &d) { return d.serial == serial; }, out);
    }
    for (const std::string &path : query.paths) {
        choose_named(
            candidates, "path '" + path + "'", ids,
            [&](const DeviceInfo &d) { return d.path == path; }, out);
    }
    for (const std::string &port : query.ports) {
        choose_named(
            candidates, "port '" + port + "'", ids,
            [&](const DeviceInfo &d) { return d.port == port; }, out);
    }
    return out;
}

}  // namespace host
