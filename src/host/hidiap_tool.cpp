#include "hidiap_tool.h"

#include <cstdio>
#include <memory>
#include <string>

#include "console.h"
#include "console_window.h"
#include "debug_trace.h"
#include "exit_status.h"
#include "hid_transport.h"
#include "json_events.h"
#include "options.h"
#include "platform.h"
#include "presentation.h"
#include "run_inputs.h"
#include "run_report.h"
#include "sim_flash_file.h"
#include "sim_transport.h"
#include "update_plan.h"
#include "update_run.h"
#include "wide_text.h"

namespace host {

namespace {

constexpr unsigned short kVendorId = 0x9999;
constexpr unsigned short kProductId = 0x8888;

std::unique_ptr<Transport> open_device(const Options &o, const sim::FaultSchedule &faults,
                                       const RunTuning &tuning) {
    if (o.simulate) {
        return std::make_unique<SimTransport>(faults, tuning.tick_period);
    }
    return HidTransport::open(kVendorId, kProductId);
}

void show_device(Transport &device, bool simulated, Presentation &presentation) {
    std::wstring product;
    const bool has_product = device.product_string(product);
    if (presentation.json()) {
        DeviceDescription d;
        d.path = simulated ? "simulated" : "";
        d.product = has_product ? to_utf8(product) : "";
        d.vendor_id = kVendorId;
        d.product_id = kProductId;
        presentation.events().device(d);
    } else if (has_product) {
        console_printf("Product String     : %s\n", to_utf8(product).c_str());
    }
}

// The steps before the device: fault rules, inputs, the plan (all of a dry run), the --sim-flash
// file. Returns -1 to go on to the device, else the exit status.
int before_device(const Options &o, Presentation &presentation, sim::FaultSchedule &faults,
                  Inputs &inputs) {
    std::string why;
    if (!sim::parse_fault_schedule(o.sim_faults, faults, why)) {
        std::fprintf(stderr, "hidiap: --sim-fault: %s\n", why.c_str());
        presentation.refused(kExitBadInput, "bad-input", "bad --sim-fault rule");
        return kExitBadInput;
    }
    if (const int refused = load_inputs(o, inputs); refused != 0) {
        presentation.refused(refused, "bad-input", "unusable input files");
        return refused;
    }
    if (o.dry_run) {
        const UpdatePlan plan = make_update_plan(inputs.image_length, inputs.tts_length, o.token);
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

int run_steps(const Options &o, const RunTuning &tuning, Presentation &presentation) {
    sim::FaultSchedule faults;
    Inputs inputs;
    if (const int status = before_device(o, presentation, faults, inputs); status >= 0) {
        return status;
    }
    std::unique_ptr<Transport> device = open_device(o, faults, tuning);
    if (!device) {
        console_printf("handle get failed\n");
        presentation.refused(kExitNoDevice, "no-device", "no device with the IDs was found");
        return kExitNoDevice;
    }
    show_device(*device, o.simulate, presentation);
    // Interrupted while the files were read or the device opened: nothing was sent yet.
    if (const int interrupted = interrupt_requested(); interrupted != 0) {
        std::fprintf(stderr, "hidiap: interrupted before the update started; nothing was sent\n");
        presentation.refused(interrupted, "interrupted", "interrupted before the update started");
        return interrupted;
    }
    presentation.events().plan(make_update_plan(inputs.image_length, inputs.tts_length, o.token));
    RunReport report =
        run_update(*device, inputs.layout, presentation.events(), presentation.progress(), tuning);
    save_sim_flash(o, *device, report);
    device.reset();
    trace_shutdown("device closed");
    return end_of_run(o, report, presentation);
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
