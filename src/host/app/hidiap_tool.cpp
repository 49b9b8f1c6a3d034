#include "host/app/hidiap_tool.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "console/console.h"
#include "host/app/console_window.h"
#include "host/app/options.h"
#include "host/app/package_steps.h"
#include "host/app/presentation.h"
#include "host/app/record_setup.h"
#include "host/app/shell_completion.h"
#include "host/app/slot_steps.h"
#include "host/app/unit_steps.h"
#include "host/app/version.h"
#include "host/discovery/device_finder.h"
#include "host/events/exit_status.h"
#include "host/hid/hid_catalog.h"
#include "host/inputs/older_firmware.h"
#include "host/inputs/run_inputs.h"
#include "host/inputs/update_plan.h"
#include "host/library/run_records.h"
#include "host/library/update_steps.h"
#include "host/platform/debug_trace.h"
#include "host/platform/env.h"
#include "host/platform/journal_stderr.h"
#include "host/platform/platform.h"
#include "host/records/record_fields.h"
#include "host/sim/sim_catalog.h"
#include "host/sim/sim_flash_file.h"
#include "host/station/service_notifier.h"
#include "host/station/station.h"
#if defined(HIDIAP_HAVE_STATUS_PAGE)
#include "host/status/status_server.h"
#endif
#include "host/update/update_run.h"
#include "timing/usb_timing.h"

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
std::unique_ptr<DeviceCatalog> make_catalog(const Options &o, const UpdateSettings &settings) {
    if (!o.simulate) {
        return std::make_unique<HidCatalog>();
    }
    SimCatalogSetup setup;
    setup.link = settings.link;
    setup.devices = o.sim_devices;
    setup.faults = o.sim_faults;
    setup.appear_after = o.sim_appear_after;
    setup.open_after = o.sim_open_after;
    setup.device_tick = settings.tick_period;
    std::string error;
    if (!o.sim_arrivals.empty()) {
        if (!parse_sim_arrivals(o.sim_arrivals, setup.arrivals, error)) {
            std::fprintf(stderr, "hidiap: --sim-arrivals: %s\n", error.c_str());
            return nullptr;
        }
        setup.devices = static_cast<int>(setup.arrivals.size());
    }
    if (!o.sim_ports.empty() &&
        !parse_sim_ports(o.sim_ports, static_cast<size_t>(setup.devices), setup.ports, error)) {
        std::fprintf(stderr, "hidiap: --sim-ports: %s\n", error.c_str());
        return nullptr;
    }
    if (!o.sim_serials.empty()) {
        // The same list's form; an empty entry is a board without a serial number.
        for (size_t at = 0; at <= o.sim_serials.size();) {
            const size_t end = std::min(o.sim_serials.find(',', at), o.sim_serials.size());
            setup.serials.push_back(o.sim_serials.substr(at, end - at));
            at = end + 1;
        }
        if (setup.serials.size() != static_cast<size_t>(setup.devices)) {
            std::fprintf(stderr,
                         "hidiap: --sim-serials: %zu serial numbers for %d simulated "
                         "boards: one per board (empty for none)\n",
                         setup.serials.size(), setup.devices);
            return nullptr;
        }
    }
    setup.flash_from = o.sim_flash_from;  // each board's first flash, not each opening's
    setup.flash_to = o.sim_flash_path;
    if (o.sim_reboot_away_ms >= 0) {
        setup.reboot_away = std::chrono::milliseconds(o.sim_reboot_away_ms);
    }
    std::unique_ptr<SimCatalog> catalog = SimCatalog::create(setup, error);
    if (!catalog) {
        std::fprintf(stderr, "hidiap: %s\n", error.c_str());
    }
    return catalog;
}

// What the update is told: the clock it was given, everything else from the command line.
UpdateSettings update_settings(const Options &o, const UpdateSettings &base,
                               const Presentation &presentation) {
    UpdateSettings s = base;
    s.skip_unchanged = o.skip_unchanged;
    s.skip_blank = o.skip_blank;
    s.verify = o.verify;
    s.timing_report = o.timing_report;
    s.json = presentation.json();
    s.show_progress = presentation.show_progress();
    s.columns = s.show_progress ? stderr_columns() : 0;
    s.interrupt_status = interrupt_requested;
    return s;
}

// Whether the user asked the tool to stop: what the layers below ask instead of the signals.
bool user_asked_to_stop() {
    return interrupt_requested() != 0;
}

// Interrupted while the files were read or the devices opened: nothing was sent yet. Returns
// the interruption's exit status, or 0 when there was none.
int interrupted_before_start(Presentation &presentation) {
    const int interrupted = interrupt_requested();
    if (interrupted != 0) {
        std::fprintf(stderr, "hidiap: interrupted before the update started; nothing was sent\n");
        presentation.refused(Status::Interrupted, interrupted,
                             "interrupted before the update started");
    }
    return interrupted;
}

// --list: one line (or, with --json, one device event) per device; nothing is opened.
int list_step(const Options &o, DeviceCatalog &catalog, Presentation &presentation) {
    const std::vector<DeviceInfo> devices = wait_for_devices(
        catalog, o.device.vendor_id, o.device.product_id, o.wait, user_asked_to_stop);
    for (const DeviceInfo &d : devices) {
        if (presentation.json()) {
            presentation.events().device(d);
        } else {
            console_write(list_line(d, o.list_ports));
        }
    }
    return devices.empty() ? kExitNoDevice : kExitSuccess;
}

// The steps before the device: inputs (from the package when one was given), the plan (all of
// a dry run), the --sim-flash file. Returns -1 to go on to the device, else the exit status.
int before_device(const Options &o, Presentation &presentation, Inputs &inputs,
                  const PackageInputs *package) {
    if (!load_inputs(input_request(o), inputs, package)) {
        presentation.refused(Status::BadInput, kExitBadInput, "unusable input files");
        return kExitBadInput;
    }
    presentation.set_inputs(inputs_to_json(
        inputs.facts, package != nullptr ? package->manifest.firmware_version : std::string(),
        package != nullptr ? &package->signature : nullptr,
        package != nullptr ? std::optional<uint64_t>(package->manifest.security_counter)
                           : std::nullopt));
    if (o.dry_run) {
        const UpdatePlan plan = make_update_plan(inputs.image_length, inputs.tts_length, o.token,
                                                 send_less_of(o.skip_blank, o.skip_unchanged));
        if (presentation.json()) {
            if (o.verify) {
                presentation.verify_plan(plan);
            } else {
                presentation.events().plan(plan);
            }
        } else {
            std::fputs((o.verify ? describe_verify_plan(plan) : describe_plan(plan)).c_str(),
                       stdout);
            std::fputs(describe_inputs(inputs.facts).c_str(), stdout);
            if (package != nullptr) {
                std::fputs(describe_signature(package->signature).c_str(), stdout);
                std::fputs(describe_versions(package->manifest).c_str(), stdout);
            }
        }
        if (has_unit_fields(o, package)) {
            return unit_dry_run(o, package, inputs);
        }
        return kExitSuccess;
    }
    if (const base::Status writable =
            o.sim_flash_path.empty() ? base::Status() : sim_flash_path_writable(o.sim_flash_path);
        !writable.ok()) {
        std::fprintf(stderr, "hidiap: --sim-flash: cannot write '%s': %s\n",
                     o.sim_flash_path.c_str(), writable.message().c_str());
        presentation.refused(Status::BadInput, kExitBadInput, "--sim-flash file cannot be written");
        return kExitBadInput;
    }
    return -1;
}

// Finds, chooses and opens the devices (one, unless several were asked for). Returns
// kExitSuccess with them in `devices`, or the exit status after saying why there is none.
int open_step(const Options &o, DeviceCatalog &catalog, Presentation &presentation,
              std::vector<OpenedDevice> &devices) {
    OpenedDevices opened = find_and_open(catalog, o.device, o.wait, user_asked_to_stop);
    if (opened.devices.empty()) {
        if (const int interrupted = interrupted_before_start(presentation); interrupted != 0) {
            return interrupted;
        }
        console_printf("handle get failed\n");
        if (opened.status == kExitPermission) {
            presentation.refused(Status::NoPermission, kExitPermission,
                                 "the device is present but could not be opened");
        } else {
            presentation.refused(Status::NoDevice, kExitNoDevice, "no matching device was found");
        }
        return opened.status;
    }
    devices = std::move(opened.devices);
    return kExitSuccess;
}

// Who presents each device's events: in JSON mode the tool's own stream for one device, and an
// emitter of its own for each of several, which puts the device's tag in every event.
std::vector<std::unique_ptr<JsonEvents>> json_presenters(std::vector<UpdateDevice> &devices,
                                                         Presentation &presentation) {
    std::vector<std::unique_ptr<JsonEvents>> emitters;
    if (!presentation.json()) {
        return emitters;
    }
    if (devices.size() == 1) {
        devices.front().events = &presentation.events();
        return emitters;
    }
    const std::vector<std::string> tags = device_tags(devices);
    for (size_t i = 0; i < devices.size(); i++) {
        emitters.push_back(presentation.device_emitter(tags[i]));
        devices[i].events = emitters.back().get();
    }
    return emitters;
}

// The update of the opened devices, one or several, to the end of the run.
int update_step(std::vector<OpenedDevice> opened, const Inputs &inputs, const Options &o,
                const UpdateSettings &settings, RunRecords &records, Presentation &presentation) {
    std::vector<UpdateDevice> devices;
    for (const OpenedDevice &d : opened) {
        devices.push_back({d.transport.get(), d.info, nullptr});
    }
    const auto emitters = json_presenters(devices, presentation);
    int interrupted = 0;
    const std::optional<std::vector<DeviceResult>> ran =
        update_opened(devices, inputs, o.token, settings, [&] {
            interrupted = interrupted_before_start(presentation);
            return interrupted != 0;
        });
    if (!ran) {
        return interrupted;
    }
    const std::vector<DeviceResult> &results = *ran;
    opened.clear();
    trace_shutdown("device closed");
    if (results.size() > 1) {
        print_fleet_summary(stderr, results);
    }
    records.finish();
    if (!o.no_wait && interrupt_requested() == 0) {
        wait_for_enter();
    }
    return fleet_exit_status(results);
}

// --station: boards updated as they appear until stopped or counted; the table and the totals at
// the end, and no wait for Enter.
int station_step(const Options &o, DeviceCatalog &catalog, const Inputs &inputs,
                 const UpdateSettings &settings, RunRecords &records, Presentation &presentation,
                 const PackageInputs *package, const StationJob *job, UnitSupply *units) {
    count_repeated_interrupts();
    StationSetup setup;
    setup.units = units;
    setup.query = o.device;
    setup.count = o.count;
    setup.verify_only = o.verify;
    setup.json = presentation.json();
    setup.status_block = stderr_is_terminal() && !o.no_progress && !presentation.json();
    setup.columns = setup.status_block ? stderr_columns() : 0;
    setup.rows = setup.status_block ? stderr_rows() : 0;
    setup.settings = settings;
    setup.settings.settle = nullptr;
    // At a terminal for both, the panel stands alone: each board's lines go to its own log.
    setup.logs_only = setup.status_block && stdout_is_terminal();
    setup.log_dir = !o.log_dir.empty() ? o.log_dir
                    : setup.logs_only  ? env().user_state_folder() + "/hidiap/logs"
                                       : "";
    setup.on_result = o.on_result;
    setup.on_result_timeout =
        std::chrono::milliseconds(static_cast<int64_t>(o.on_result_timeout * 1000));
    setup.fields = field_pairs(o.fields);
    setup.fields_json = record_fields_object(setup.fields);
    setup.firmware_version = package != nullptr ? package->manifest.firmware_version : "";
    if (!o.slots_file.empty() && !load_slot_map(o.slots_file, setup.slots)) {
        presentation.refused(Status::BadInput, kExitBadInput, "the --slots file cannot be used");
        return kExitBadInput;
    }
    if (records.enabled()) {
        setup.keep_record = [&records](const DeviceInfo &d, RunReport &r, const BoardPlace &p) {
            return records.keep(d, r, p.slot, p.log);
        };
        setup.records_waiting = [&records] { return records.waiting(); };
    }
    setup.interrupt_status = interrupt_requested;
    setup.interrupt_requests = interrupt_requests;
    const std::string name = o.station_name.empty() ? env().host_name() : o.station_name;
    ServiceNotifier service(name);
    setup.observers.push_back(&service);
#if defined(HIDIAP_HAVE_STATUS_PAGE)
    std::unique_ptr<StatusBoard> board;
    std::unique_ptr<StatusServer> server;
    if (!o.status_listen.empty()) {
        const base::Result<ListenAddress> address = parse_listen_address(o.status_listen);
        std::function<unsigned()> waiting;
        if (records.enabled()) {
            waiting = [&records] { return records.waiting(); };
        }
        board = std::make_unique<StatusBoard>(name, waiting);
        board->set_slots(setup.slots);
        server = std::make_unique<StatusServer>(*board);
        const base::Status listening =
            address.ok() ? server->start(*address) : base::Status(address.error());
        if (!listening.ok()) {
            std::fprintf(stderr, "hidiap: %s; nothing was sent\n", listening.message().c_str());
            return kExitBadInput;
        }
        setup.observers.push_back(board.get());
    }
#else
    if (!o.status_listen.empty()) {
        std::fprintf(stderr,
                     "hidiap: --status-listen: this build has no status page; nothing "
                     "was sent\n");
        return kExitBadInput;
    }
#endif
    if (job != nullptr) {
        // Counted in the database at each board, so that the stations sharing the job stop
        // together; a database that cannot say stops the station rather than overrun the job.
        setup.job_allowed = job->count;
        auto said = std::make_shared<bool>(false);  // the database's failure is said once
        setup.job_done = [&records, job, said
#if defined(HIDIAP_HAVE_STATUS_PAGE)
                          ,
                          &board
#endif
        ]() -> uint64_t {
            const base::Result<uint64_t> done = records.job_successes(job->id);
            if (!done.ok()) {
                if (!*said) {
                    *said = true;
                    std::fprintf(stderr, "hidiap: --job: %s; no further board is taken\n",
                                 done.message().c_str());
                }
                return job->count;
            }
#if defined(HIDIAP_HAVE_STATUS_PAGE)
            if (board) {
                board->job(job->count, *done);
            }
#endif
            return *done;
        };
        setup.job_done();
    }
    const UpdatePlan plan = make_update_plan(inputs.image_length, inputs.tts_length, o.token);
    if (presentation.json()) {
        presentation.events().plan(plan);
    }
    std::vector<DeviceResult> results;
    StationTotals totals;
    double seconds = 0;
    {
        Station station(catalog, inputs.layout, plan, setup);
        records.set_notes([&station](const std::string &line) { station.note(line); });
        if (units != nullptr && o.timing_report) {
            units->report_timing([&station](const std::string &line) { station.note(line); });
        }
        results = station.run();
        // Both may still be saying a line on their own threads; these wait until they are done.
        records.set_notes(nullptr);
        if (units != nullptr) {
            units->report_timing(nullptr);
        }
        totals = station.totals();
        seconds = station.seconds();
    }
    if (!results.empty()) {
        print_fleet_summary(stderr, results);
    }
    std::fputs(station_totals_line(totals, seconds).c_str(), stderr);
    if (units != nullptr) {
        std::fputs(units->finish().c_str(), stderr);
    }
    std::fflush(stderr);
    records.finish();
    return fleet_exit_status(results);
}

// completion SHELL: the script on standard output.
int completion_step(const Options &o) {
    std::fputs(completion_script(o.completion).c_str(), stdout);
    return kExitSuccess;
}

int run_steps(const Options &given, const UpdateSettings &base, Presentation &presentation) {
    Options o = given;
    if (!o.completion.empty()) {
        return completion_step(o);
    }
    if (!o.show_package.empty()) {
        return show_package_step(o);
    }
    if (!o.make_key.empty()) {
        return make_key_step(o);
    }
    if (!o.make_package.empty()) {
        return make_package_step(o);
    }
    if (!o.sign_package.empty()) {
        return sign_package_step(o);
    }
    if (!o.record_setup.empty()) {
        return record_setup_step(o);
    }
    if (!o.make_job.empty()) {
        return make_job_step(o);
    }
    PackageKeys keys;
    const std::vector<TrustedKey> &trusted = keys.trusted;
    if (!o.list && o.learn_slots.empty()) {
        if (const int refused = keys_step(o, keys); refused != 0) {
            presentation.refused(Status::BadInput, refused, "a trusted key is unusable");
            return refused;
        }
    }
    // A firmware package is taken apart and checked before anything else: its members are the
    // files, its token and IDs the command line's, its product the only one updated.
    PackageInputs package;
    const PackageInputs *from_package = nullptr;
    if (!o.package_path.empty()) {
        if (const base::Status opened = open_package_step(o, package, keys); !opened.ok()) {
            const std::string reason = "the firmware package was refused: " + opened.message();
            presentation.refused(Status::BadInput, kExitBadInput, reason.c_str());
            return kExitBadInput;
        }
        from_package = &package;
    } else if (!o.list && o.learn_slots.empty() && !trusted.empty()) {
        std::fputs(loose_files_refusal(trusted).c_str(), stderr);
        presentation.refused(Status::BadInput, kExitBadInput,
                             "keys are trusted: only a signed firmware package runs");
        return kExitBadInput;
    }
    // Refused before the HID library is touched: a station must not update a board it cannot
    // keep a record of. A dry run keeps no record and leaves the destination as it is.
    RunRecords records;
    if (!o.record_file.empty() && !o.dry_run &&
        !records.open({o.record_file, o.record_spool, o.station_name, o.timing_report, o.fields})) {
        presentation.refused(Status::BadInput, kExitBadInput, "--record file cannot be used");
        return kExitBadInput;
    }
    StationJob job;
    if (!o.job.empty()) {
        if (const int refused = job_step(o, keys, records, job); refused != 0) {
            presentation.refused(Status::BadInput, refused, "the job does not allow this run");
            return refused;
        }
    }
    UpdateSettings settings = update_settings(o, base, presentation);
    settings.expected_product = package.manifest.product;
    if (!parse_link_timing(o, settings.link)) {
        presentation.refused(Status::BadInput, kExitBadInput, "bad --sim-timing figures");
        return kExitBadInput;
    }
    const std::unique_ptr<DeviceCatalog> catalog = make_catalog(o, settings);
    if (!catalog) {
        presentation.refused(Status::BadInput, kExitBadInput,
                             "bad --sim-fault, --sim-arrivals or --sim-flash-from");
        return kExitBadInput;
    }
    if (!o.learn_slots.empty()) {
        return learn_slots_step(o, *catalog);
    }
    if (o.list) {
        return list_step(o, *catalog, presentation);
    }
    Inputs inputs;
    if (const int status = before_device(o, presentation, inputs, from_package); status >= 0) {
        return status;
    }
    if (records.enabled()) {
        // Loose files are not compared (with a key trusted they do not run at all).
        keep_records(records, settings, HIDIAP_VERSION, o.token, inputs, from_package,
                     o.allow_older);
    }
    std::unique_ptr<UnitSupply> units;
    if (has_unit_fields(o, from_package)) {
        if (const int refused = unit_step(o, from_package, inputs, records, units); refused != 0) {
            presentation.refused(Status::BadInput, refused, "the unit values cannot be allocated");
            return refused;
        }
    }
    if (o.station) {
        return station_step(o, *catalog, inputs, settings, records, presentation, from_package,
                            o.job.empty() ? nullptr : &job, units.get());
    }
    std::vector<OpenedDevice> opened;
    if (const int status = open_step(o, *catalog, presentation, opened); status != kExitSuccess) {
        return status;
    }
    return update_step(std::move(opened), inputs, o, settings, records, presentation);
}

int run_parsed(const ParseResult &parsed, const UpdateSettings &base) {
    if (prints_usage_line(parsed)) {
        console_printf("Usage: Drage DFU image file to this exceute file !\r\n");
    }
    if (parsed.kind == ParseResult::Kind::Exit) {
        return parsed.exit_status;
    }
    Presentation presentation(parsed.options);
    return run_steps(parsed.options, base, presentation);
}

}  // namespace

int run_tool(int argc, char **argv, const UpdateSettings &base) {
    // A fault of the program is said and ends the run with its own status, never an abort.
    try {
        // Under a service manager, the journal files each line of standard error by its priority.
        if (stderr_is_journal()) {
            prefix_stderr_lines();
        }
        const ParseResult parsed = parse_command_line(argc, argv);
        const int status = run_parsed(parsed, base);
        end_in_own_console(parsed, argc > 0 ? argv[0] : nullptr, status);
        return status;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "hidiap: internal error: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "hidiap: internal error: an unknown exception\n");
    }
    return kExitInternalError;
}

}  // namespace host
