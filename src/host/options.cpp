#include "options.h"

#include <CLI/CLI.hpp>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "exit_status.h"

namespace host {

namespace {

// A USB ID in hex, with or without 0x: at most four digits once leading zeros are dropped.
bool parse_usb_id(const std::string &text, uint16_t &out) {
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits = digits.substr(2);
    }
    if (digits.empty()) {
        return false;
    }
    unsigned long value = 0;
    for (char c : digits) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return false;
        }
        const int digit = std::isdigit(static_cast<unsigned char>(c))
                              ? c - '0'
                              : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
        value = value * 16 + static_cast<unsigned long>(digit);
        if (value > 0xFFFF) {
            return false;
        }
    }
    out = static_cast<uint16_t>(value);
    return true;
}

std::chrono::milliseconds to_milliseconds(double seconds) {
    return std::chrono::milliseconds(static_cast<long long>(seconds * 1000.0 + 0.5));
}

ParseResult refuse(ParseResult result, const std::string &message) {
    std::fprintf(stderr, "hidiap: %s\n", message.c_str());
    result.kind = ParseResult::Kind::Exit;
    result.exit_status = kExitBadInput;
    return result;
}

constexpr const char *kExitStatusHelp =
    "Exit status: 0 updated and verified (or --list listed a device); 1 the update failed; "
    "2 bad command line or input files; 3 no matching device; 4 a matching device is present "
    "but may not be opened (permissions: see the udev rule in the README).";

}  // namespace

bool prints_usage_line(int argc, char **argv) {
    for (int i = 1; i < argc; i++) {
        for (const char *quiet : {"--list", "--help", "-h", "--version"}) {
            if (std::strcmp(argv[i], quiet) == 0) {
                return false;
            }
        }
    }
    return argc != 1;
}

ParseResult parse_command_line(int argc, char **argv) {
    ParseResult result;
    Options &o = result.options;
    CLI::App app{
        "Updates the flash of a USB HID device (vendor 0x9999, product 0x8888): "
        "programs IMAGE from flash 0x8000 and TTS at 0x80000 (TOKEN starting with 1MB) "
        "or 0x180000, verifies both by CRC-32 and reboots the device.",
        "hidiap"};
    app.footer(kExitStatusHelp);
    app.set_version_flag("--version", "hidiap 0.1.0");
    app.add_option("IMAGE", o.image_path, "firmware image (raw flash image, first 32 KiB skipped)");
    app.add_option("TTS", o.tts_path, "TTS data file");
    app.add_option("TOKEN", o.token, "flash-size token: 1MB... puts TTS at 0x80000, else 0x180000");
    std::string vid_text;
    std::string pid_text;
    double wait_seconds = 0;
    app.add_flag("--list", o.list,
                 "list the HID devices with the IDs (all with --vid 0 --pid 0), one per line: "
                 "path, vvvv:pppp, serial, manufacturer, product, interface; opens none");
    app.add_option("--vid", vid_text, "vendor ID in hex, 0x optional (default 9999; 0: any)")
        ->type_name("HEX");
    app.add_option("--pid", pid_text, "product ID in hex, 0x optional (default 8888; 0: any)")
        ->type_name("HEX");
    app.add_option("--serial", o.device.serials, "update the device with this serial number")
        ->type_name("SERIAL")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->expected(1)
        ->allow_extra_args(false);
    app.add_option("--path", o.device.paths, "update the device at this path (see --list)")
        ->type_name("PATH")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->expected(1)
        ->allow_extra_args(false);
    app.add_option("--wait", wait_seconds,
                   "wait up to SECONDS for the device to appear and become usable")
        ->type_name("SECONDS")
        ->check(CLI::Range(0.0, 86400.0));
    app.add_flag("--simulate", o.simulate, "run against the built-in simulated device");
    app.add_option("--sim-devices", o.sim_devices,
                   "how many simulated devices are present (serials SIM0001, ..., paths sim:1, "
                   "...; default 1)")
        ->type_name("N")
        ->check(CLI::Range(1, 99));
    int appear_ms = 0;
    int open_ms = 0;
    app.add_option("--sim-appear-after", appear_ms,
                   "the simulated devices appear only this many milliseconds after the start")
        ->type_name("MS")
        ->check(CLI::Range(0, 86400000));
    app.add_option("--sim-open-after", open_ms,
                   "after they appear, opening them fails (permission) for this many milliseconds")
        ->type_name("MS")
        ->check(CLI::Range(0, 86400000));
    app.add_option("--sim-fault", o.sim_faults,
                   "inject a fault into the simulated devices: [SERIAL/]KIND:COMMAND:N[:ARG] "
                   "(repeatable; with SERIAL/ only into that device)")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->expected(1)
        ->allow_extra_args(false);
    app.add_option("--sim-flash", o.sim_flash_path,
                   "after a simulated run, write the device's 2 MiB flash to this file");
    app.add_flag("--no-wait", o.no_wait, "exit after the outcome without waiting for Enter");
    app.add_flag("--no-progress", o.no_progress,
                 "do not draw the progress line (drawn on standard error when it is a terminal)");
    try {
        app.parse(argc, argv);
        if (!o.list) {
            for (const char *name : {"IMAGE", "TTS", "TOKEN"}) {
                if (app.get_option(name)->count() == 0) {
                    throw CLI::RequiredError(name);
                }
            }
        }
    } catch (const CLI::CallForHelp &e) {
        result.kind = ParseResult::Kind::Exit;
        result.exit_status = app.exit(e);
        return result;
    } catch (const CLI::CallForVersion &e) {
        result.kind = ParseResult::Kind::Exit;
        result.exit_status = app.exit(e);
        return result;
    } catch (const CLI::ParseError &e) {
        std::fprintf(stderr, "hidiap: %s\n", e.what());
        std::fprintf(stderr, "usage: hidiap [OPTIONS] IMAGE TTS TOKEN (see --help)\n");
        result.kind = ParseResult::Kind::Exit;
        result.exit_status = kExitBadInput;
        return result;
    }
    if (!vid_text.empty() && !parse_usb_id(vid_text, o.device.vendor_id)) {
        return refuse(result, "--vid: '" + vid_text + "' is not a hex ID from 0 to ffff");
    }
    if (!pid_text.empty() && !parse_usb_id(pid_text, o.device.product_id)) {
        return refuse(result, "--pid: '" + pid_text + "' is not a hex ID from 0 to ffff");
    }
    o.wait = to_milliseconds(wait_seconds);
    o.sim_appear_after = std::chrono::milliseconds(appear_ms);
    o.sim_open_after = std::chrono::milliseconds(open_ms);
    const bool sim_options =
        !o.sim_faults.empty() || !o.sim_flash_path.empty() || app.count("--sim-devices") != 0 ||
        app.count("--sim-appear-after") != 0 || app.count("--sim-open-after") != 0;
    if (sim_options && !o.simulate) {
        return refuse(result,
                      "--sim-fault, --sim-flash and the other --sim- options need --simulate");
    }
    if (!o.list && o.device.serials.size() + o.device.paths.size() > 1) {
        return refuse(result,
                      "one device is updated per run; name it with one --serial or one --path");
    }
    return result;
}

}  // namespace host
