#include "several_devices.h"

#include <cstdio>

#include "device_fleet.h"
#include "exit_status.h"
#include "json_events.h"
#include "platform.h"
#include "sim_flash_file.h"
#include "update_plan.h"

namespace host {

DeviceDescription describe(const DeviceInfo &info) {
    DeviceDescription d;
    d.path = info.path;
    d.serial = info.serial;
    d.manufacturer = info.manufacturer;
    d.product = info.product;
    d.vendor_id = info.vendor_id;
    d.product_id = info.product_id;
    d.interface_number = info.interface_number;
    return d;
}

namespace {

// --sim-flash-from: every simulated device starts with the same flash.
bool preload_sim_flash(const Options &o, std::vector<OpenedDevice> &devices) {
    if (o.sim_flash_from.empty()) {
        return true;
    }
    for (OpenedDevice &d : devices) {
        if (!read_sim_flash(static_cast<SimTransport &>(*d.transport), o.sim_flash_from)) {
            std::fprintf(stderr,
                         "hidiap: --sim-flash-from: cannot use '%s' (missing, unreadable or "
                         "larger than 2 MiB)\n",
                         o.sim_flash_from.c_str());
            return false;
        }
    }
    return true;
}

// --sim-flash: one file per device; a failure to write one fails that device.
void save_sim_flashes(const Options &o, std::vector<OpenedDevice> &devices,
                      std::vector<DeviceResult> &results) {
    if (o.sim_flash_path.empty()) {
        return;
    }
    for (size_t i = 0; i < devices.size(); i++) {
        const std::string path = per_device_path(o.sim_flash_path, results[i].tag);
        if (write_sim_flash(static_cast<SimTransport &>(*devices[i].transport), path)) {
            continue;
        }
        std::fprintf(stderr, "hidiap: cannot write the simulated flash to '%s'\n", path.c_str());
        if (results[i].succeeded()) {
            results[i].report.status = "failed";
            results[i].report.exit_status = kExitFailed;
            results[i].report.cause = "sim_flash";
            results[i].report.reason = "the simulated flash could not be written";
        }
    }
}

}  // namespace

std::string per_device_path(const std::string &path, const std::string &serial) {
    const size_t slash = path.find_last_of("/\\");
    const size_t name = slash == std::string::npos ? 0 : slash + 1;
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || dot <= name) {
        return path + "." + serial;
    }
    return path.substr(0, dot) + "." + serial + path.substr(dot);
}

int update_several(std::vector<OpenedDevice> devices, const Inputs &inputs, const Options &o,
                   const RunTuning &tuning, Presentation &presentation) {
    if (!preload_sim_flash(o, devices)) {
        presentation.refused(kExitBadInput, "bad-input", "--sim-flash-from file unusable");
        return kExitBadInput;
    }
    // Interrupted while the files were read or the devices opened: nothing was sent yet.
    if (const int interrupted = interrupt_requested(); interrupted != 0) {
        std::fprintf(stderr, "hidiap: interrupted before the update started; nothing was sent\n");
        presentation.refused(interrupted, "interrupted", "interrupted before the update started");
        return interrupted;
    }
    std::vector<FleetDevice> fleet;
    for (const OpenedDevice &d : devices) {
        fleet.push_back({d.transport.get(), describe(d.info), nullptr});
    }
    // In JSON mode every device has its own emitter, which puts its tag in each event.
    std::vector<std::unique_ptr<JsonEvents>> json;
    if (presentation.json()) {
        const std::vector<std::string> tags = device_tags(fleet);
        for (size_t i = 0; i < fleet.size(); i++) {
            json.push_back(std::make_unique<JsonEvents>(stdout, tags[i]));
            fleet[i].events = json.back().get();
        }
    }
    const UpdatePlan plan =
        make_update_plan(inputs.image_length, inputs.tts_length, o.token, send_less_of(o));
    FleetSettings settings;
    settings.tick_period = tuning.tick_period;
    settings.stall_limit = tuning.stall_limit;
    settings.skip_unchanged = o.skip_unchanged;
    settings.skip_blank = o.skip_blank;
    settings.json = presentation.json();
    settings.plan = &plan;
    settings.show_progress = presentation.progress() != nullptr;
    settings.columns = settings.show_progress ? stderr_columns() : 0;
    settings.interrupt_status = interrupt_requested;

    std::vector<DeviceResult> results = update_fleet(fleet, inputs.layout, settings);
    save_sim_flashes(o, devices, results);
    devices.clear();
    print_fleet_summary(stderr, results);
    if (!o.no_wait && interrupt_requested() == 0) {
        wait_for_enter();
    }
    return fleet_exit_status(results);
}

}  // namespace host
