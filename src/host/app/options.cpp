#include "host/app/options.h"

#include <CLI/CLI.hpp>
#include <cctype>
#include <cstdio>

#include "host/app/version.h"
#include "host/events/exit_status.h"
#include "host/inputs/input_sources.h"
#include "host/records/database_uri.h"
#include "host/records/record_writer.h"

#if defined(_WIN32)
#define TRUSTED_KEYS_FOLDER_TEXT "%ProgramData%\\hidiap\\trusted-keys"
#define SPOOL_FOLDER_TEXT "%LOCALAPPDATA%\\hidiap"
#else
#define TRUSTED_KEYS_FOLDER_TEXT "/etc/hidiap/trusted-keys"
#define SPOOL_FOLDER_TEXT "$XDG_STATE_HOME/hidiap"
#endif

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

}  // namespace

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
        "Input formats: IMAGE may be raw, Intel HEX, S-record or ELF (its loadable segments at\n"
        "their load addresses), TTS raw, Intel HEX or S-record, recognised by content. Address A\n"
        "of such a file is flash address A, as offset A of a raw image, the rest 0xFF; 'OTA file\n"
        "size is N' then shows the size of that equivalent raw image, the end of its last data\n"
        "byte. Data below 0x8000 is not programmed.\n"
        "\n"
        "Firmware package: 'hidiap [OPTIONS] PACKAGE' runs a zip archive written by\n"
        "--make-package OUT IMAGE TTS TOKEN; the SHA-256 of both files, given in its manifest\n"
        "package.json, is checked before any device is opened. When a public key is trusted\n"
        "(--trust, or a .pub file in " TRUSTED_KEYS_FOLDER_TEXT
        "), only packages signed by\n"
        "a trusted key run. --make-key NAME makes a key pair; --make-package ... --sign\n"
        "NAME.key signs a package.\n"
        "\n"
        "Exit status:\n"
        "  0    the update ended in success: every range verified by CRC-32, reboot answered\n"
        "       (on every device, when several are updated); for --list: at least one device\n"
        "       was listed; for --verify: both ranges already hold the files; for --station:\n"
        "       every handled board was updated or already current\n"
        "  1    the update failed (on any device): time-out, refused command, checksum\n"
        "       mismatch, device disconnected, no progress, a package for another product;\n"
        "       for --verify: a range differs\n"
        "  2    bad command line, unusable input files, a refused package or an unusable\n"
        "       --record file (nothing was sent to a device)\n"
        "  3    no matching device was found (default IDs: vendor 0x9999, product 0x8888)\n"
        "  4    a device matched but could not be opened: permissions\n"
        "  130  interrupted (Ctrl-C)\n"
        "  143  terminated (SIGTERM)");
    app.set_version_flag("--version", "hidiap " HIDIAP_VERSION);
    // On Windows a path may begin with '/', which must not be read as a "/option".
    app.allow_windows_style_options(false);
    app.add_option("IMAGE", o.image_path,
                   "firmware image: a raw flash image, or Intel HEX, S-record or ELF (recognised "
                   "by content; addresses are flash addresses); the first 32 KiB are skipped. "
                   "Alone, a firmware package (see --make-package)");
    app.add_option("TTS", o.tts_path,
                   "TTS data file: raw, Intel HEX or S-record (addresses at or above the TTS "
                   "address are flash addresses, lower ones offsets into the TTS data)");
    app.add_option("TOKEN", o.token, "flash-size token: 1MB... puts TTS at 0x80000, else 0x180000");
    // The tool has always ignored anything past its third argument; it still does, with a
    // warning, rather than refusing a command line that used to work.
    app.add_option("EXTRA", o.extra_args)->group("");
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
    app.add_flag("--all", o.device.all,
                 "update every device with the IDs at once; each line on standard output is "
                 "then led by the device's tag, and a summary goes to standard error");
    app.add_option("--serial", o.device.serials,
                   "update the device with this serial number (repeat to update several at once)")
        ->type_name("SERIAL")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->expected(1)
        ->allow_extra_args(false);
    app.add_option("--path", o.device.paths,
                   "update the device at this path (see --list; repeat to update several)")
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
                   "after a simulated run, write the device's 2 MiB flash to this file (with "
                   "several devices, one file each: the serial number goes before the extension, "
                   "flash.SIM0002.bin)");
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
                 "program only the sectors that differ; a sector that reads as erased is not "
                 "erased again (implies --skip-blank)");
    app.add_flag("--skip-blank", o.skip_blank,
                 "do not send a page whose 256 bytes are all 0xFF into a sector just erased (it "
                 "reads so already); every sector is still erased and each range checked");
    app.add_flag("--verify", o.verify,
                 "only ask the device for the CRC-32 of each range and compare it with the "
                 "files: nothing is erased, written or rebooted; exit 0 when both match, 1 when "
                 "one differs (with --skip-unchanged the differing sectors are named)");
    app.add_option("--record", o.record_file,
                   "append one record per handled device to FILE, durably, before the device is "
                   "reported done: JSON Lines, an SQLite database when FILE ends in .sqlite or "
                   ".db, or a PostgreSQL database for a postgresql:// URI, its records spooled "
                   "on this disk while it is away (fields in the README; keep passwords in "
                   "~/.pgpass, not on the command line)")
        ->type_name("FILE|URI");
    app.add_option("--record-spool", o.record_spool,
                   "with --record URI: the spool file where records wait for the database "
                   "(default: one of its own under " SPOOL_FOLDER_TEXT ")")
        ->type_name("FILE");
    app.add_option("--record-setup", o.record_setup,
                   "create the records table and its yield view in the PostgreSQL database URI, "
                   "or upgrade them; run once by the database's owner")
        ->type_name("URI");
    app.add_option("--station-name", o.station_name,
                   "the station named in every record (default: this machine's host name)")
        ->type_name("TEXT");
    app.add_flag("--station", o.station,
                 "production station: until stopped (Ctrl-C: no new boards; again: interrupt "
                 "them), update every matching board as it is plugged in, beside the others; "
                 "each is verified first, a board already holding the files is reported current, "
                 "and one coming back after its reboot is not updated twice");
    app.add_option("--count", o.count, "--station: stop after N boards were handled")
        ->type_name("N")
        ->check(CLI::Range(1u, 1000000u));
    app.add_option("--sim-arrivals", o.sim_arrivals,
                   "simulated boards that appear at these times, in milliseconds from the start: "
                   "0,500,1000x4 (x4: four at once); serials SIM0001, ... in that order")
        ->type_name("LIST");
    app.add_option("--sim-reboot-away", o.sim_reboot_away_ms,
                   "a simulated board leaves when it reboots (its answer lost) and is back this "
                   "many milliseconds later, same serial and flash")
        ->type_name("MS")
        ->check(CLI::Range(0, 86400000));
    app.add_option("--sim-timing", o.sim_timing,
                   "give the simulated link USB full-speed timing: "
                   "usb-fs[,erase=45ms,page=0.8ms,frame=1ms,crc=20MB/s]");
    app.add_option("--sim-flash-from", o.sim_flash_from,
                   "start the simulated device with this flash content (at most 2 MiB; the rest "
                   "erased)");
    app.add_flag("--timing-report", o.timing_report,
                 "after the outcome, report on standard error the update's time and the tick "
                 "period achieved");
    app.add_option("--format", o.image_format,
                   "read IMAGE as this format instead of recognising it by content")
        ->type_name("FORMAT")
        ->check(CLI::IsMember({"raw", "ihex", "srec", "elf"}));
    app.add_option("--tts-format", o.tts_format,
                   "read TTS as this format instead of recognising it by content")
        ->type_name("FORMAT")
        ->check(CLI::IsMember({"raw", "ihex", "srec"}));
    app.add_option("--make-package", o.make_package,
                   "write a firmware package to OUT: a zip archive of IMAGE, TTS and a manifest "
                   "(package.json) with TOKEN and the SHA-256 of each file; run it with "
                   "'hidiap OUT'")
        ->type_name("OUT");
    app.add_option("--fw-version", o.fw_version,
                   "with --make-package: the firmware version, shown in the outcome")
        ->type_name("TEXT");
    app.add_option("--product", o.product,
                   "with --make-package: the product string of the devices the package is for; "
                   "any other device is not updated")
        ->type_name("TEXT");
    app.add_option("--trust", o.trust,
                   "accept only firmware packages signed by this minisign public key (repeatable; "
                   "the .pub files in " TRUSTED_KEYS_FOLDER_TEXT
                   " are trusted too); files given "
                   "as IMAGE TTS TOKEN are then refused")
        ->type_name("PUBKEY")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->expected(1)
        ->allow_extra_args(false);
    app.add_option("--make-key", o.make_key,
                   "write a new signing key pair: NAME.pub (to publish and trust) and NAME.key "
                   "(secret, protected by a password asked for on the terminal or read from "
                   "standard input)")
        ->type_name("NAME");
    app.add_flag("--unencrypted", o.unencrypted,
                 "with --make-key: store NAME.key without a password (anyone who reads the file "
                 "can sign)");
    app.add_option("--sign", o.sign_key,
                   "with --make-package: sign the package's manifest with this secret key "
                   "(minisign's or hidiap's)")
        ->type_name("SECRETKEY");
    try {
        app.parse(argc, argv);
        // One argument that is a zip archive: a firmware package holds the rest.
        if (!o.make_key.empty() || !o.record_setup.empty()) {
            if (!o.image_path.empty()) {
                throw CLI::ValidationError(o.make_key.empty() ? "--record-setup" : "--make-key",
                                           "takes no IMAGE, TTS or TOKEN");
            }
        } else if (!o.list && o.make_package.empty() && !o.image_path.empty() &&
                   o.tts_path.empty() && file_looks_like_zip(o.image_path)) {
            o.package_path = o.image_path;
            o.image_path.clear();
        } else if (!o.list) {
            for (const char *name : {"IMAGE", "TTS", "TOKEN"}) {
                if (app.get_option(name)->count() == 0) {
                    throw CLI::RequiredError(name);
                }
            }
        }
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
        std::fprintf(stderr, "hidiap: %s\n", mask_passwords(e.what()).c_str());
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
    o.vid_given = !vid_text.empty();
    o.pid_given = !pid_text.empty();
    if ((!o.fw_version.empty() || !o.product.empty()) && o.make_package.empty()) {
        return refuse(result, "--fw-version and --product go with --make-package");
    }
    if (!o.record_spool.empty() && !is_postgres_uri(o.record_file)) {
        return refuse(result, "--record-spool goes with --record postgresql://...");
    }
    if (o.unencrypted && o.make_key.empty()) {
        return refuse(result, "--unencrypted goes with --make-key");
    }
    if (!o.sign_key.empty() && o.make_package.empty()) {
        return refuse(result, "--sign goes with --make-package");
    }
    if (!o.make_package.empty() && o.vid_given != o.pid_given) {
        return refuse(result, "--make-package: give both --vid and --pid, or neither");
    }
    o.skip_blank = o.skip_blank || o.skip_unchanged;
    o.wait = to_milliseconds(wait_seconds);
    o.sim_appear_after = std::chrono::milliseconds(appear_ms);
    o.sim_open_after = std::chrono::milliseconds(open_ms);
    const bool sim_options =
        !o.sim_faults.empty() || !o.sim_flash_path.empty() || app.count("--sim-devices") != 0 ||
        app.count("--sim-appear-after") != 0 || app.count("--sim-open-after") != 0 ||
        !o.sim_timing.empty() || !o.sim_flash_from.empty() || !o.sim_arrivals.empty() ||
        o.sim_reboot_away_ms >= 0;
    if (sim_options && !o.simulate) {
        return refuse(result,
                      "--sim-fault, --sim-flash and the other --sim- options need --simulate");
    }
    if (!o.sim_arrivals.empty() && app.count("--sim-devices") != 0) {
        return refuse(result, "--sim-arrivals gives the number of boards; drop --sim-devices");
    }
    if (o.count != 0 && !o.station) {
        return refuse(result, "--count needs --station");
    }
    if (o.station && (o.wait.count() != 0 || o.list || o.device.all)) {
        return refuse(result,
                      "--station takes every matching board as it appears: no --wait, --list or "
                      "--all");
    }
    if (o.device.all && !(o.device.serials.empty() && o.device.paths.empty())) {
        return refuse(result,
                      "--all takes every matching device; it cannot be combined with "
                      "--serial or --path");
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
           !parsed.options.json && !parsed.options.list && parsed.options.make_package.empty() &&
           parsed.options.make_key.empty() && parsed.options.record_setup.empty();
}

InputRequest input_request(const Options &o) {
    return {o.image_path, o.tts_path, o.token, o.image_format, o.tts_format};
}

}  // namespace host
