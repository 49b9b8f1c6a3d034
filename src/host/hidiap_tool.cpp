#include "hidiap_tool.h"

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "console.h"
#include "console_window.h"
#include "debug_trace.h"
#include "device_finder.h"
#include "exit_status.h"
#include "hid_catalog.h"
#include "json_events.h"
#include "options.h"
#include "platform.h"
#include "presentation.h"
#include "run_inputs.h"
#include "run_report.h"
#include "several_devices.h"
#include "sim_catalog.h"
#include "sim_flash_file.h"
#include "sim_transport.h"
#include "update_plan.h"
#include "update_run.h"
#include "usb_timing.h"
#include "wide_text.h"

namespace host {

namespace {

// The simulated link's timing model, when --sim-timing asks for one.
bool parse_link_timing(const Options &o, std::optional<timing::UsbTimingFigures> &link) {
    if (o.sim_timing.empty()) {
        return true;
    }
    timing::UsbTimingFigures figures;
    std::string error;
    if (!timing::parse_usb_timing(o.sim_timing, figures, error)) {
        std::fprintf(stderr, "hidiap: --sim-timing: %s\n", error.c_str());
        return false;
    }
    link = figures;
    return true;
}

// Where devices are found: USB, or the simulated devices (their link timed as `link` says).
// Null when a fault rule is unusable.
std::unique_ptr<DeviceCatalog> make_catalog(const Options &o, const RunTuning &tuning,
                                            const std::optional<timing::UsbTimingFigures> &link) {
    if (!o.simulate) {
        return std::make_unique<HidCatalog>();
    }
    SimCatalogSetup setup;
    setup.link = link;
    setup.devices = o.sim_devices;
    setup.faults = o.sim_faults;
    setup.appear_after = o.sim_appear_after;
    setup.open_after = o.sim_open_after;
    setup.device_tick = tuning.tick_period;
    std::string error;
    std::unique_ptr<SimCatalog> catalog = SimCatalog::create(setup, error);
    if (!catalog) {
        std::fprintf(stderr, "hidiap: --sim-fault: %s\n", error.c_str());
    }
    return catalog;
}

// --list: one line (or, with --json, one device event) per device; nothing is opened.
int list_step(const Options &o, DeviceCatalog &catalog, Presentation &presentation) {
    const std::vector<DeviceInfo> devices =
        wait_for_devices(catalog, o.device.vendor_id, o.device.product_id, o.wait);
    for (const DeviceInfo &d : devices) {
        if (presentation.json()) {
            presentation.events().device(describe(d));
        } else {
            console_write(list_line(d));
        }
    }
    return devices.empty() ? kExitNoDevice : kExitSuccess;
}

void show_device(Transport &device, const DeviceInfo &info, Presentation &presentation) {
    std::wstring product;
    const bool has_product = device.product_string(product);
    if (presentation.json()) {
        DeviceDescription d = describe(info);
        if (has_product) {
            d.product = to_utf8(product);
        }
        presentation.events().device(d);
    } else if (has_product) {
        console_printf("Product String     : %s\n", to_utf8(product).c_str());
    }
}

// The steps before the device: inputs, the plan (all of a dry run), the --sim-flash file.
// Returns -1 to go on to the device, else the exit status.
int before_device(const Options &o, Presentation &presentation, Inputs &inputs) {
    std::string why;
    if (const int refused = load_inputs(o, inputs); refused != 0) {
        presentation.refused(refused, "bad-input", "unusable input files");
        return refused;
    }
    if (o.dry_run) {
        const UpdatePlan plan =
            make_update_plan(inputs.image_length, inputs.tts_length, o.token, send_less_of(o));
        if (presentation.json()) {
            presentation.events().plan(plan);
        } else {
            std::fputs(describe_plan(plan).c_str(), stdout);
        }
        return kExitSuccess;
    }
    if (!o.sim_flash_path.empty() && !sim_flash_path_writable(o.sim_flash_path, why)) {
        std::fprintf(stderr, "hidiap: --sim-flash: cannot write '%s': %s\n",
                     o.sim_flash_path.c_str(), why.c_str());
        presentation.refused(kExitBadInput, "bad-input", "--sim-flash file cannot be written");
        return kExitBadInput;
    }
    return -1;
}

// A simulated device's flash written out; a failure to write it fails a successful run.
void save_sim_flash(const Options &o, Transport &device, RunReport &report) {
    if (o.sim_flash_path.empty() ||
        write_sim_flash(static_cast<SimTransport &>(device), o.sim_flash_path)) {
        return;
    }
    std::fprintf(stderr, "hidiap: cannot write the simulated flash to '%s'\n",
                 o.sim_flash_path.c_str());
    if (report.exit_status == kExitSuccess) {
        report.status = "failed";
        report.exit_status = kExitFailed;
        report.cause = "sim_flash";
        report.reason = "the simulated flash could not be written";
    }
}

// The outcome line (and event) first, then the wait a console window needs.
int end_of_run(const Options &o, const RunReport &report, Presentation &presentation) {
    std::fputs(outcome_line(report).c_str(), stderr);
    std::fflush(stderr);
    presentation.events().outcome(report);
    if (!o.no_wait && interrupt_requested() == 0) {
        wait_for_enter();
    }
    return report.exit_status;
}

// Finds, chooses and opens the devices (one, unless several were asked for). Returns
// kExitSuccess with them in `devices`, or the exit status after saying why there is none.
int open_step(const Options &o, DeviceCatalog &catalog, Presentation &presentation,
              std::vector<OpenedDevice> &devices) {
    OpenedDevices opened = find_and_open(catalog, o.device, o.wait);
    if (opened.devices.empty() && interrupt_requested() != 0) {
        std::fprintf(stderr, "hidiap: interrupted before the update started; nothing was sent\n");
        presentation.refused(interrupt_requested(), "interrupted",
                             "interrupted before the update started");
        return interrupt_requested();
    }
    if (opened.devices.empty()) {
        console_printf("handle get failed\n");
        if (opened.status == kExitPermission) {
            presentation.refused(kExitPermission, "no-permission",
                                 "the device is present but could not be opened");
        } else {
            presentation.refused(kExitNoDevice, "no-device", "no matching device was found");
        }
        return opened.status;
    }
    devices = std::move(opened.devices);
    if (devices.size() == 1) {
        show_device(*devices.front().transport, devices.front().info, presentation);
    }
    return kExitSuccess;
}

// The update of one device, from its opening to the end of the run.
int update_one(std::unique_ptr<Transport> device, const Inputs &inputs, const Options &o,
               const RunTuning &tuning, const std::optional<timing::UsbTimingFigures> &link,
               Presentation &presentation) {
    if (!o.sim_flash_from.empty() &&
        !read_sim_flash(static_cast<SimTransport &>(*device), o.sim_flash_from)) {
        std::fprintf(stderr,
                     "hidiap: --sim-flash-from: cannot use '%s' (missing, unreadable or "
                     "larger than 2 MiB)\n",
                     o.sim_flash_from.c_str());
        presentation.refused(kExitBadInput, "bad-input", "--sim-flash-from file unusable");
        return kExitBadInput;
    }
    // Interrupted while the files were read or the device opened: nothing was sent yet.
    if (const int interrupted = interrupt_requested(); interrupted != 0) {
        std::fprintf(stderr, "hidiap: interrupted before the update started; nothing was sent\n");
        presentation.refused(interrupted, "interrupted", "interrupted before the update started");
        return interrupted;
    }
    presentation.events().plan(
        make_update_plan(inputs.image_length, inputs.tts_length, o.token, send_less_of(o)));
    UpdateSettings settings;
    settings.skip_unchanged = o.skip_unchanged;
    settings.skip_blank = o.skip_blank;
    settings.timing_report = o.timing_report;
    settings.link = link;
    RunReport report = run_update(*device, inputs.layout, presentation.events(),
                                  presentation.progress(), tuning, settings);
    save_sim_flash(o, *device, report);
    device.reset();
    trace_shutdown("device closed");
    return end_of_run(o, report, presentation);
}

int run_steps(const Options &o, const RunTuning &tuning, Presentation &presentation) {
    std::optional<timing::UsbTimingFigures> link;
    if (!parse_link_timing(o, link)) {
        presentation.refused(kExitBadInput, "bad-input", "bad --sim-timing figures");
        return kExitBadInput;
    }
    const std::unique_ptr<DeviceCatalog> catalog = make_catalog(o, tuning, link);
    if (!catalog) {
        presentation.refused(kExitBadInput, "bad-input", "bad --sim-fault rule");
        return kExitBadInput;
    }
    if (o.list) {
        return list_step(o, *catalog, presentation);
    }
    Inputs inputs;
    if (const int status = before_device(o, presentation, inputs); status >= 0) {
        return status;
    }
    std::vector<OpenedDevice> opened;
    if (const int status = open_step(o, *catalog, presentation, opened); status != kExitSuccess) {
        return status;
    }
    if (opened.size() > 1) {
        return update_several(std::move(opened), inputs, o, tuning, presentation);
    }
    return update_one(std::move(opened.front().transport), inputs, o, tuning, link, presentation);
}

int run_parsed(const ParseResult &parsed, const RunTuning &tuning) {
    if (prints_usage_line(parsed)) {
        console_printf("Usage: Drage DFU image file to this exceute file !\r\n");
    }
    if (parsed.kind == ParseResult::Kind::Exit) {
        return parsed.exit_status;
    }
    Presentation presentation(parsed.options);
    return run_steps(parsed.options, tuning, presentation);
}

}  // namespace

int run_tool(int argc, char **argv, const RunTuning &tuning) {
    const ParseResult parsed = parse_command_line(argc, argv);
    const int status = run_parsed(parsed, tuning);
    end_in_own_console(parsed, argc > 0 ? argv[0] : nullptr, status);
    return status;
}

}  // namespace host
