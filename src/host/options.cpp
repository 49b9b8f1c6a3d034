#include "options.h"

#include <CLI/CLI.hpp>
#include <cstdio>

#include "exit_status.h"

namespace host {

ParseResult parse_command_line(int argc, char **argv) {
    ParseResult result;
    result.any_arguments = argc > 1;
    Options &o = result.options;
    CLI::App app{
        "Updates the flash of a USB HID device (vendor 0x9999, product 0x8888): "
        "programs IMAGE from flash 0x8000 and TTS at 0x80000 (TOKEN starting with 1MB) "
        "or 0x180000, verifies both by CRC-32 and reboots the device.",
        "hidiap"};
    app.footer(
        "Exit status:\n"
        "  0    the update ended in success: every range verified by CRC-32, reboot answered\n"
        "  1    the update failed: time-out, refused command, checksum mismatch, device\n"
        "       disconnected, no progress\n"
        "  2    bad command line or unusable input files (nothing was sent to a device)\n"
        "  3    no device with vendor ID 0x9999 and product ID 0x8888 was found\n"
        "  4    a device matched but could not be opened: permissions\n"
        "  130  interrupted (Ctrl-C)\n"
        "  143  terminated (SIGTERM)");
    app.set_version_flag("--version", "hidiap " HIDIAP_VERSION);
    // On Windows a path may begin with '/', which must not be read as a "/option".
    app.allow_windows_style_options(false);
    app.add_option("IMAGE", o.image_path, "firmware image (raw flash image, first 32 KiB skipped)")
        ->required();
    app.add_option("TTS", o.tts_path, "TTS data file")->required();
    app.add_option("TOKEN", o.token, "flash-size token: 1MB... puts TTS at 0x80000, else 0x180000")
        ->required();
    // The tool has always ignored anything past its third argument; it still does, with a
    // warning, rather than refusing a command line that used to work.
    app.add_option("EXTRA", o.extra_args)->group("");
    app.add_flag("--simulate", o.simulate, "run against the built-in simulated device");
    app.add_option("--sim-fault", o.sim_faults,
                   "inject a fault into the simulated device: KIND:COMMAND:N[:ARG] (repeatable)")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->expected(1)
        ->allow_extra_args(false);
    app.add_option("--sim-flash", o.sim_flash_path,
                   "after a simulated run, write the device's 2 MiB flash to this file");
    app.add_flag("--no-wait", o.no_wait, "exit after the outcome without waiting for Enter");
    app.add_flag("--no-progress", o.no_progress,
                 "do not draw the progress line (drawn on standard error when it is a terminal)");
    app.add_flag("--json", o.json,
                 "write JSON Lines events to standard output instead of the text lines");
    app.add_flag("--dry-run", o.dry_run,
                 "check the inputs and print the update plan with its expected time; "
                 "no device is opened");
    app.add_flag("--skip-unchanged", o.skip_unchanged,
                 "ask the device for the CRC-32 of each range's sectors first and erase and "
                 "program only the sectors that differ");
    app.add_option("--sim-timing", o.sim_timing,
                   "give the simulated link USB full-speed timing: "
                   "usb-fs[,erase=45ms,page=0.8ms,frame=1ms,crc=20MB/s]");
    app.add_option("--sim-flash-from", o.sim_flash_from,
                   "start the simulated device with this flash content (at most 2 MiB; the rest "
                   "erased)");
    app.add_flag("--timing-report", o.timing_report,
                 "after the outcome, report on standard error the update's time and the tick "
                 "period achieved");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        result.kind = ParseResult::Kind::Exit;
        result.asked_for_information = true;
        result.exit_status = app.exit(e);
        return result;
    } catch (const CLI::CallForVersion &e) {
        result.kind = ParseResult::Kind::Exit;
        result.asked_for_information = true;
        result.exit_status = app.exit(e);
        return result;
    } catch (const CLI::ParseError &e) {
        std::fprintf(stderr, "hidiap: %s\n", e.what());
        std::fprintf(stderr, "usage: hidiap [OPTIONS] IMAGE TTS TOKEN (see --help)\n");
        result.kind = ParseResult::Kind::Exit;
        result.exit_status = kExitBadInput;
        return result;
    }
    if ((!o.sim_faults.empty() || !o.sim_flash_path.empty() || !o.sim_timing.empty() ||
         !o.sim_flash_from.empty()) &&
        !o.simulate) {
        std::fprintf(stderr,
                     "hidiap: --sim-fault, --sim-flash, --sim-flash-from and --sim-timing need "
                     "--simulate\n");
        result.kind = ParseResult::Kind::Exit;
        result.exit_status = kExitBadInput;
    }
    if (!o.extra_args.empty()) {
        std::string ignored;
        for (const std::string &a : o.extra_args) {
            ignored += " '" + a + "'";
        }
        std::fprintf(stderr, "hidiap: warning: arguments past the third are ignored:%s\n",
                     ignored.c_str());
    }
    return result;
}

bool prints_usage_line(const ParseResult &parsed) {
    return parsed.any_arguments && !parsed.asked_for_information && !parsed.options.dry_run &&
           !parsed.options.json;
}

}  // namespace host
