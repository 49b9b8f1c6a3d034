#include "host/app/command_table.h"

#include <algorithm>

#include "host/platform/system_folders.h"

namespace host {

namespace {

OptionSpec flag(const char *name, FlagField field, std::string help) {
    OptionSpec s;
    s.name = name;
    s.field = field;
    s.help = std::move(help);
    return s;
}

OptionSpec valued(const char *name, const char *value_name, Value value, Field field,
                  std::string help, std::vector<std::string> words = {}) {
    OptionSpec s;
    s.name = name;
    s.value_name = value_name;
    s.value = value;
    s.field = field;
    s.help = std::move(help);
    s.words = std::move(words);
    return s;
}

OptionSpec number(const char *name, const char *value_name, Field field, double low, double high,
                  std::string help) {
    OptionSpec s = valued(name, value_name, Value::Number, field, std::move(help));
    s.low = low;
    s.high = high;
    return s;
}

const OptionGroup kDeviceChoice{
    "Device choice",
    {valued(
         "--vid", "HEX", Value::Text, +[](CommandLine &c) -> std::string & { return c.vid_text; },
         "vendor ID in hex, 0x optional (default 9999; 0: any)"),
     valued(
         "--pid", "HEX", Value::Text, +[](CommandLine &c) -> std::string & { return c.pid_text; },
         "product ID in hex, 0x optional (default 8888; 0: any)"),
     valued(
         "--serial", "SERIAL", Value::Text,
         +[](CommandLine &c) -> std::vector<std::string> & { return c.options.device.serials; },
         "only the device with this serial number (repeatable: several at once)"),
     valued(
         "--path", "PATH", Value::Text,
         +[](CommandLine &c) -> std::vector<std::string> & { return c.options.device.paths; },
         "only the device at this path, as list shows it (repeatable like --serial)"),
     valued(
         "--port", "PORT", Value::Text,
         +[](CommandLine &c) -> std::vector<std::string> & { return c.options.device.ports; },
         "only the device on this USB port path, 1-2.3 (repeatable like --serial)"),
     flag(
         "--all", +[](CommandLine &c) -> bool & { return c.options.device.all; },
         "every device with the IDs at once, each line led by the device's tag"),
     number(
         "--wait", "SECONDS", +[](CommandLine &c) -> double & { return c.wait_seconds; }, 0, 86400,
         "wait up to SECONDS for the device to appear and become usable")}};

const OptionGroup kStation{
    "Station",
    {number(
         "--count", "N", +[](CommandLine &c) -> unsigned & { return c.options.count; }, 1, 1000000,
         "stop after N boards were handled (updated, current or failed)"),
     valued(
         "--config", "FILE", Value::File,
         +[](CommandLine &c) -> std::string & { return c.options.config_path; },
         "read the station's settings from a TOML file (the command line wins)"),
     flag(
         "--print-config", +[](CommandLine &c) -> bool & { return c.options.print_config; },
         "print the settings in force and where each came from, then exit"),
     valued(
         "--status-listen", "[ADDRESS:]PORT", Value::Text,
         +[](CommandLine &c) -> std::string & { return c.options.status_listen; },
         "serve the status page, /status and /metrics there (address default 127.0.0.1)"),
     valued(
         "--slots", "FILE", Value::File,
         +[](CommandLine &c) -> std::string & { return c.options.slots_file; },
         "the fixture's slot map: a line per slot, its name and port path (slots learn)"),
     valued(
         "--on-result", "PROGRAM", Value::File,
         +[](CommandLine &c) -> std::string & { return c.options.on_result; },
         "run PROGRAM (no shell) after each board's record, the board in HIDIAP_* variables"),
     number(
         "--on-result-timeout", "SECONDS",
         +[](CommandLine &c) -> double & { return c.options.on_result_timeout; }, 0.1, 3600,
         "kill --on-result's program after SECONDS (default 30); a failure is counted"),
     valued(
         "--log-dir", "DIR", Value::File,
         +[](CommandLine &c) -> std::string & { return c.options.log_dir; },
         "a log file per board attempt in DIR (at a terminal: instead of its lines)"),
     valued(
         "--job", "JOB", Value::File,
         +[](CommandLine &c) -> std::string & { return c.options.job; },
         "run under this signed job: its package, stations, end date and count of boards")}};

const OptionGroup kUnits{
    "Unit values",
    {valued(
         "--unit-field", "NAME=ADDR:ENC", Value::Text,
         +[](CommandLine &c) -> std::vector<std::string> & { return c.options.unit_fields; },
         "each board's own value at ADDR: u32le u32be u64le u64be mac48 text:SN{:08}"),
     valued(
         "--unit-range", "NAME=FIRST-LAST", Value::Text,
         +[](CommandLine &c) -> std::vector<std::string> & { return c.options.unit_ranges; },
         "the field's values: a range, allocated in the records database"),
     valued(
         "--unit-list", "NAME=FILE", Value::Text,
         +[](CommandLine &c) -> std::vector<std::string> & { return c.options.unit_lists; },
         "the field's values: a list file, one per line, allocated likewise"),
     number(
         "--unit-block", "N", +[](CommandLine &c) -> unsigned & { return c.options.unit_block; }, 1,
         100000, "values reserved ahead at a time, kept through outages (default 100)")}};

const OptionGroup kJob{
    "Job",
    {valued(
         "--package", "PACKAGE", Value::File,
         +[](CommandLine &c) -> std::string & { return c.options.job_package; },
         "the firmware package the job allows (its SHA-256 is signed)"),
     valued(
         "--for-station", "NAME", Value::Text,
         +[](CommandLine &c) -> std::vector<std::string> & { return c.options.job_stations; },
         "a station it may run on (repeatable; default: any station)"),
     valued(
         "--until", "DATE", Value::Text,
         +[](CommandLine &c) -> std::string & { return c.options.job_until; },
         "its last day, YYYY-MM-DD (it ends with that day in UTC; default: no end)")}};

const OptionGroup kInputs{
    "Inputs",
    {valued("--format", "FORMAT", Value::Word,
            +[](CommandLine &c) -> std::string & { return c.options.image_format; },
            "read IMAGE as raw, ihex, srec or elf instead of recognising it by content",
            {"raw", "ihex", "srec", "elf"}),
     valued("--tts-format", "FORMAT", Value::Word,
            +[](CommandLine &c) -> std::string & { return c.options.tts_format; },
            "read TTS as raw, ihex or srec instead of recognising it by content",
            {"raw", "ihex", "srec"}),
     valued(
         "--trust", "PUBKEY", Value::File,
         +[](CommandLine &c) -> std::vector<std::string> & { return c.options.trust; },
         std::string("trust this public key (repeatable; ") + trusted_keys_folder_text() +
             "/*.pub too)"),
     valued(
         "--revoke", "PUBKEY", Value::File,
         +[](CommandLine &c) -> std::vector<std::string> & { return c.options.revoke; },
         std::string("refuse this key's signatures (repeatable; ") + revoked_keys_folder_text() +
             "/*.pub too)"),
     valued(
         "--trusted-keys-dir", "DIR", Value::File,
         +[](CommandLine &c) -> std::string & { return c.options.trusted_keys_dir; },
         "take the trusted keys' *.pub files from DIR instead of the system's folder"),
     valued(
         "--revoked-keys-dir", "DIR", Value::File,
         +[](CommandLine &c) -> std::string & { return c.options.revoked_keys_dir; },
         "take the revoked keys' *.pub files from DIR instead of the system's folder")}};

const OptionGroup kSending{
    "What it sends",
    {flag(
         "--dry-run", +[](CommandLine &c) -> bool & { return c.options.dry_run; },
         "check the inputs and print the plan and its time; no device is opened"),
     flag(
         "--skip-unchanged", +[](CommandLine &c) -> bool & { return c.options.skip_unchanged; },
         "erase and program only the sectors whose CRC-32 differs (and --skip-blank)"),
     flag(
         "--skip-blank", +[](CommandLine &c) -> bool & { return c.options.skip_blank; },
         "send no page of nothing but 0xFF into a sector just erased"),
     flag(
         "--verify", +[](CommandLine &c) -> bool & { return c.options.verify; },
         "only compare each range's CRC-32 with the files; write nothing"),
     flag(
         "--allow-older", +[](CommandLine &c) -> bool & { return c.options.allow_older; },
         "let a firmware version older than the board's recorded one run (not a lower "
         "security counter)")}};

const OptionGroup kOutput{
    "Output",
    {flag(
         "--json", +[](CommandLine &c) -> bool & { return c.options.json; },
         "JSON Lines events on standard output instead of the text lines"),
     flag(
         "--no-progress", +[](CommandLine &c) -> bool & { return c.options.no_progress; },
         "never draw the progress line (drawn when standard error is a terminal)"),
     flag(
         "--no-wait", +[](CommandLine &c) -> bool & { return c.options.no_wait; },
         "exit after the outcome without waiting for Enter"),
     flag(
         "--timing-report", +[](CommandLine &c) -> bool & { return c.options.timing_report; },
         "report the update's time and the tick period achieved on standard error")}};

const OptionGroup kRecords{
    "Records",
    {valued(
         "--record", "FILE|URI", Value::File,
         +[](CommandLine &c) -> std::string & { return c.options.record_file; },
         "a durable record per device: JSON Lines, SQLite (.sqlite), postgresql://"),
     valued(
         "--record-spool", "FILE", Value::File,
         +[](CommandLine &c) -> std::string & { return c.options.record_spool; },
         std::string("the spool of a database's records (default: in ") + spool_folder_text() +
             ")"),
     valued(
         "--station-name", "TEXT", Value::Text,
         +[](CommandLine &c) -> std::string & { return c.options.station_name; },
         "the station named in every record (default: this machine's host name)"),
     valued(
         "--field", "KEY=VALUE", Value::Text,
         +[](CommandLine &c) -> std::vector<std::string> & { return c.options.fields; },
         "into every record's fields (repeatable): work_order=WO-1234, lot=7, operator=ann")}};

const OptionGroup kPackage{
    "Package",
    {valued(
         "--fw-version", "TEXT", Value::Text,
         +[](CommandLine &c) -> std::string & { return c.options.fw_version; },
         "the firmware version the package carries, shown in the outcome"),
     valued(
         "--security-counter", "N", Value::Text,
         +[](CommandLine &c) -> std::string & { return c.security_counter_text; },
         "raise it when older releases must no longer be installed (default: none, 0)"),
     valued(
         "--product", "TEXT", Value::Text,
         +[](CommandLine &c) -> std::string & { return c.options.product; },
         "the product string of the devices the package is for; no other is updated"),
     valued(
         "--sign", "SECRETKEY", Value::File,
         +[](CommandLine &c) -> std::vector<std::string> & { return c.options.sign_keys; },
         "sign the package's manifest with this secret key (hidiap's or minisign's; "
         "repeatable)")}};

const OptionGroup kKey{
    "Key",
    {flag(
        "--unencrypted", +[](CommandLine &c) -> bool & { return c.options.unencrypted; },
        "store NAME.key without a password: whoever can read the file can sign")}};

// The commands as the options they were before there were commands; the form without a command
// still takes them.
const OptionGroup kCommandsAsOptions{
    "Commands as options (older spellings)",
    {flag(
         "--list", +[](CommandLine &c) -> bool & { return c.options.list; },
         "hidiap list: list the HID devices with the IDs; IMAGE, TTS and TOKEN are not needed"),
     flag(
         "--station", +[](CommandLine &c) -> bool & { return c.options.station; },
         "hidiap station: update every matching board as it is plugged in, until stopped"),
     valued(
         "--make-package", "OUT", Value::File,
         +[](CommandLine &c) -> std::string & { return c.options.make_package; },
         "hidiap package make OUT: write a firmware package of IMAGE TTS TOKEN to OUT"),
     valued(
         "--make-key", "NAME", Value::File,
         +[](CommandLine &c) -> std::string & { return c.options.make_key; },
         "hidiap key make NAME: write a signing key pair, NAME.pub and NAME.key"),
     valued(
         "--record-setup", "URI", Value::Text,
         +[](CommandLine &c) -> std::string & { return c.options.record_setup; },
         "hidiap records setup URI: create or upgrade the records tables")}};

const OptionGroup kSimulation{
    "Simulation",
    {flag(
         "--simulate", +[](CommandLine &c) -> bool & { return c.options.simulate; },
         "run against the built-in simulated device instead of USB"),
     number(
         "--sim-devices", "N", +[](CommandLine &c) -> int & { return c.options.sim_devices; }, 1,
         99, "N simulated devices, SIM0001, ... at sim:1, ... (default 1)"),
     number(
         "--sim-appear-after", "MS", +[](CommandLine &c) -> int & { return c.appear_ms; }, 0,
         86400000, "the simulated devices appear only MS milliseconds after the start"),
     number(
         "--sim-open-after", "MS", +[](CommandLine &c) -> int & { return c.open_ms; }, 0, 86400000,
         "after they appear, opening them fails (permission) for MS milliseconds"),
     valued(
         "--sim-fault", "RULE", Value::Text,
         +[](CommandLine &c) -> std::vector<std::string> & { return c.options.sim_faults; },
         "inject a fault, [SERIAL/]KIND:COMMAND:N[:ARG] (repeatable): drop:page:3"),
     valued(
         "--sim-flash", "FILE", Value::File,
         +[](CommandLine &c) -> std::string & { return c.options.sim_flash_path; },
         "write the simulated flash to FILE afterwards (several: flash.SIM0002.bin)"),
     valued(
         "--sim-flash-from", "FILE", Value::File,
         +[](CommandLine &c) -> std::string & { return c.options.sim_flash_from; },
         "start the simulated device with this flash (2 MiB at most, rest erased)"),
     valued("--sim-timing", "MODEL", Value::Text,
            +[](CommandLine &c) -> std::string & { return c.options.sim_timing; },
            "USB full-speed timing: usb-fs[,erase=45ms,page=0.8ms,frame=1ms,crc=20MB/s]",
            {"usb-fs"}),
     valued(
         "--sim-arrivals", "LIST", Value::Text,
         +[](CommandLine &c) -> std::string & { return c.options.sim_arrivals; },
         "boards appear at these ms from the start: 0,500,1000x4 (x4: four at once)"),
     number(
         "--sim-reboot-away", "MS",
         +[](CommandLine &c) -> int & { return c.options.sim_reboot_away_ms; }, 0, 86400000,
         "a simulated board leaves when it reboots and is back MS milliseconds later"),
     valued(
         "--sim-ports", "LIST", Value::Text,
         +[](CommandLine &c) -> std::string & { return c.options.sim_ports; },
         "each simulated board's USB port path, in order: 1-1,1-2 (default: board N on 9-N)"),
     valued(
         "--sim-serials", "LIST", Value::Text,
         +[](CommandLine &c) -> std::string & { return c.options.sim_serials; },
         "each simulated board's serial number, in order; empty for none: A1,,A1")}};

ArgumentSpec argument(const char *name, TextField field, std::string help, bool required = true) {
    ArgumentSpec a;
    a.name = name;
    a.field = field;
    a.help = std::move(help);
    a.required = required;
    return a;
}

const char *const kImageHelp =
    "firmware image: raw, Intel HEX, S-record or ELF (by content), from 0x8000";
const char *const kTtsHelp = "TTS data: raw, Intel HEX or S-record";
const char *const kTokenHelp = "flash size: 1MB... puts the TTS data at 0x80000, others 0x180000";
const char *const kPackageHelp = "instead of the three: a firmware package (hidiap package make)";

std::vector<ArgumentSpec> files_arguments() {
    std::vector<ArgumentSpec> a = {
        argument(
            "IMAGE", +[](CommandLine &c) -> std::string & { return c.options.image_path; },
            kImageHelp),
        argument(
            "TTS", +[](CommandLine &c) -> std::string & { return c.options.tts_path; }, kTtsHelp,
            false),
        argument(
            "TOKEN", +[](CommandLine &c) -> std::string & { return c.options.token; }, kTokenHelp,
            false),
        argument("PACKAGE", nullptr, kPackageHelp, false)};
    a[2].value = Value::Text;
    a[2].words = {"1MB", "2MB"};
    return a;
}

std::vector<CommandSpec> make_commands() {
    std::vector<CommandSpec> c;
    CommandSpec update;
    update.path = "update";
    update.synopsis = "IMAGE TTS TOKEN | PACKAGE";
    update.summary = "update the device (--dry-run: print the plan only)";
    update.about =
        "Updates the device: unlocks its flash, erases and programs IMAGE from 0x8000 and TTS "
        "at the token's address, has the device check each range by CRC-32 and reboots it. It "
        "reports success only for a device whose every range was verified. The same as hidiap "
        "IMAGE TTS TOKEN, line for line.";
    update.arguments = files_arguments();
    update.groups = {{&kDeviceChoice, {}}, {&kInputs, {}},  {&kSending, {"--verify"}},
                     {&kOutput, {}},       {&kRecords, {}}, {&kSimulation, {}}};
    c.push_back(update);

    CommandSpec verify = update;
    verify.path = "verify";
    verify.summary = "compare the device's flash with the files; write nothing";
    verify.about =
        "Asks the device for the CRC-32 of each range and compares it with the files: nothing "
        "is erased, written or rebooted. Exit status 0 when both ranges hold the files, 1 when "
        "one differs (with --skip-unchanged the sectors that differ are named).";
    verify.groups[2].left_out = {"--verify", "--skip-blank", "--allow-older"};
    verify.chosen = [](Options &o) { o.verify = true; };
    c.push_back(verify);

    CommandSpec station = update;
    station.path = "station";
    station.summary = "update every board as it is plugged in, until stopped";
    station.about =
        "Production station: updates every matching board as it is plugged in, beside the "
        "boards in progress, until stopped (Ctrl-C: no new boards; again: interrupt them) or "
        "--count boards were handled. Each board is verified first: one that already holds the "
        "files is reported current, and one back after its reboot is not updated twice. Ends "
        "with a table of the boards and the totals; never waits for Enter.";
    station.groups = {{&kDeviceChoice, {"--all", "--wait"}},
                      {&kStation, {}},
                      {&kUnits, {}},
                      {&kInputs, {}},
                      {&kSending, {}},
                      {&kOutput, {"--no-wait"}},
                      {&kRecords, {}},
                      {&kSimulation, {}}};
    station.chosen = [](Options &o) { o.station = true; };
    c.push_back(station);

    CommandSpec list;
    list.path = "list";
    list.summary = "list the HID devices with the IDs; open none";
    list.about =
        "Lists the HID devices with the IDs, one per line, tab-separated: path, vvvv:pppp, "
        "serial number, manufacturer, product, interface, USB port path (--vid 0 --pid 0: "
        "every HID device). "
        "Opens none and sends nothing. Exit status 0 when a device was listed, 3 when none.";
    list.groups = {
        {&kDeviceChoice, {"--serial", "--path", "--port", "--all"}},
        {&kOutput, {"--no-progress", "--no-wait", "--timing-report"}},
        {&kSimulation,
         {"--sim-fault", "--sim-flash", "--sim-flash-from", "--sim-timing", "--sim-reboot-away"}}};
    list.chosen = [](Options &o) {
        o.list = true;
        o.list_ports = true;
    };
    c.push_back(list);

    CommandSpec learn;
    learn.path = "slots learn";
    learn.synopsis = "FILE";
    learn.summary = "write a slot map by plugging a board into each slot in turn";
    learn.about =
        "Asks for a board in each slot of the fixture in turn (slot1, slot2, ...) and writes "
        "each slot's name and the USB port path its board appeared on to FILE, one line per "
        "slot, for station --slots FILE. Ends after --count slots, or at Ctrl-C or end of "
        "input with the slots learned so far. An existing FILE is not overwritten.";
    learn.arguments = {argument(
        "FILE", +[](CommandLine &c) -> std::string & { return c.options.learn_slots; },
        "the slot map to write")};
    learn.groups = {
        {&kDeviceChoice, {"--serial", "--path", "--port", "--all", "--wait"}},
        {&kStation,
         {"--config", "--print-config", "--status-listen", "--slots", "--on-result",
          "--on-result-timeout", "--log-dir", "--job"}},
        {&kSimulation,
         {"--sim-fault", "--sim-flash", "--sim-flash-from", "--sim-timing", "--sim-reboot-away"}}};
    c.push_back(learn);

    CommandSpec make;
    make.path = "package make";
    make.synopsis = "OUT IMAGE TTS TOKEN";
    make.summary = "write a firmware package (--sign KEY: a signed one)";
    make.about =
        "Checks IMAGE, TTS and TOKEN as an update would and writes a firmware package to OUT: a "
        "zip archive of both files and a manifest, package.json, with the token and the SHA-256 "
        "of each. With --sign its manifest is signed. hidiap update OUT runs it. An OUT that is "
        "one of the files read is refused.";
    make.arguments = files_arguments();
    make.arguments.pop_back();
    make.arguments[1].required = true;
    make.arguments[2].required = true;
    make.arguments.insert(
        make.arguments.begin(),
        argument(
            "OUT", +[](CommandLine &c) -> std::string & { return c.options.make_package; },
            "the package to write"));
    make.groups = {{&kPackage, {}},
                   {&kUnits, {"--unit-range", "--unit-list", "--unit-block"}},
                   {&kDeviceChoice, {"--serial", "--path", "--port", "--all", "--wait"}},
                   {&kInputs, {"--trust", "--revoke", "--trusted-keys-dir", "--revoked-keys-dir"}}};
    c.push_back(make);

    CommandSpec sign;
    sign.path = "package sign";
    sign.synopsis = "PACKAGE";
    sign.summary = "add the signature of --sign KEY to a package, in place";
    sign.about =
        "Adds the signature of each --sign key to the package, as a member of its own "
        "(package.json.KEYID.minisig beside package.json.minisig), and puts the package in "
        "place whole: the manifest and every other member stay byte for byte. A key that "
        "signed the package already is refused.";
    sign.arguments = {argument(
        "PACKAGE", +[](CommandLine &c) -> std::string & { return c.options.sign_package; },
        "the firmware package")};
    sign.groups = {{&kPackage, {"--fw-version", "--product", "--security-counter"}}};
    c.push_back(sign);

    CommandSpec show;
    show.path = "package show";
    show.synopsis = "PACKAGE";
    show.summary = "what a package holds, and whether it would run here";
    show.about =
        "Shows what a firmware package holds: its manifest, each member with its size and "
        "SHA-256 (checked against the manifest), the token, firmware version, security counter, "
        "product and IDs, and each signature: its key ID, whether its key is trusted, revoked "
        "or unknown here, and the trusted comment. Exit status 0 when the package would run here, "
        "2 with the reason when it would "
        "not.";
    show.arguments = {argument(
        "PACKAGE", +[](CommandLine &c) -> std::string & { return c.options.show_package; },
        "the firmware package")};
    show.groups = {{&kInputs, {"--format", "--tts-format"}},
                   {&kOutput, {"--no-progress", "--no-wait", "--timing-report"}}};
    c.push_back(show);

    CommandSpec job;
    job.path = "job make";
    job.synopsis = "OUT";
    job.summary = "write a signed job: --package, --count, --sign";
    job.about =
        "Writes a job to OUT and its signature to OUT.minisig: the package's SHA-256, the number "
        "of boards it allows (--count), the stations it may run on and its last day. hidiap "
        "station --job OUT runs only that package, on those stations, until the day has ended "
        "or the records database holds that many boards updated under it.";
    job.arguments = {argument(
        "OUT", +[](CommandLine &c) -> std::string & { return c.options.make_job; },
        "the job to write (and OUT.minisig)")};
    job.groups = {{&kJob, {}},
                  {&kStation,
                   {"--config", "--print-config", "--status-listen", "--slots", "--on-result",
                    "--on-result-timeout", "--log-dir", "--job"}},
                  {&kPackage, {"--fw-version", "--security-counter", "--product"}}};
    c.push_back(job);

    CommandSpec key;
    key.path = "key make";
    key.synopsis = "NAME";
    key.summary = "write a signing key pair, NAME.pub and NAME.key";
    key.about =
        "Writes a new signing key pair in minisign's format: NAME.pub, to publish and trust, "
        "and NAME.key, secret, sealed with a password asked for twice on the terminal or read "
        "as one line from standard input. An existing file is never overwritten.";
    key.arguments = {argument(
        "NAME", +[](CommandLine &c) -> std::string & { return c.options.make_key; },
        "the key pair's files: NAME.pub and NAME.key")};
    key.groups = {{&kKey, {}}};
    c.push_back(key);

    CommandSpec setup;
    setup.path = "records setup";
    setup.synopsis = "URI";
    setup.summary = "create or upgrade the records tables in PostgreSQL";
    setup.about =
        "Creates the records table hidiap_records and its yield view in the PostgreSQL database "
        "URI, or upgrades them, and says what it did; run once by the database's owner. Keep "
        "the password in ~/.pgpass, not in the URI.";
    setup.arguments = {argument(
        "URI", +[](CommandLine &c) -> std::string & { return c.options.record_setup; },
        "postgresql://[user@][host][:port][/dbname][?param=value...]")};
    setup.arguments[0].value = Value::Text;
    c.push_back(setup);

    CommandSpec completion;
    completion.path = "completion";
    completion.synopsis = "bash|zsh|fish";
    completion.summary = "print the completion script of bash, zsh or fish";
    completion.about =
        "Prints the shell's completion script, made from the same table as the command line "
        "itself: source <(hidiap completion bash) tries it. The Debian package installs all "
        "three where each shell looks.";
    completion.arguments = {argument(
        "SHELL", +[](CommandLine &c) -> std::string & { return c.options.completion; },
        "bash, zsh or fish")};
    completion.arguments[0].value = Value::Word;
    completion.arguments[0].words = {"bash", "zsh", "fish"};
    c.push_back(completion);
    return c;
}

std::vector<std::string> words_of(const std::string &path) {
    std::vector<std::string> words;
    size_t start = 0;
    while (start < path.size()) {
        const size_t space = std::min(path.find(' ', start), path.size());
        words.push_back(path.substr(start, space - start));
        start = space + 1;
    }
    return words;
}

}  // namespace

const std::vector<CommandSpec> &commands() {
    static const std::vector<CommandSpec> all = make_commands();
    return all;
}

const CommandSpec *find_command(const std::string &path) {
    for (const CommandSpec &c : commands()) {
        if (c.path == path) {
            return &c;
        }
    }
    return nullptr;
}

std::vector<std::string> next_command_words(const std::string &parent) {
    const std::vector<std::string> typed = words_of(parent);
    std::vector<std::string> next;
    for (const CommandSpec &c : commands()) {
        const std::vector<std::string> words = words_of(c.path);
        if (words.size() > typed.size() && std::equal(typed.begin(), typed.end(), words.begin()) &&
            std::find(next.begin(), next.end(), words[typed.size()]) == next.end()) {
            next.push_back(words[typed.size()]);
        }
    }
    return next;
}

const std::vector<GroupUse> &flag_form_groups() {
    static const std::vector<GroupUse> groups = {{&kDeviceChoice, {}}, {&kStation, {}},
                                                 {&kUnits, {}},        {&kInputs, {}},
                                                 {&kSending, {}},      {&kOutput, {}},
                                                 {&kRecords, {}},      {&kPackage, {}},
                                                 {&kKey, {}},          {&kCommandsAsOptions, {}},
                                                 {&kSimulation, {}}};
    return groups;
}

const std::vector<ArgumentSpec> &flag_form_arguments() {
    static const std::vector<ArgumentSpec> arguments = files_arguments();
    return arguments;
}

std::vector<ShownGroup> options_of(const std::vector<GroupUse> &groups) {
    std::vector<ShownGroup> shown;
    for (const GroupUse &use : groups) {
        ShownGroup g{use.group->title, {}};
        for (const OptionSpec &s : use.group->options) {
            if (std::find(use.left_out.begin(), use.left_out.end(), s.name) == use.left_out.end()) {
                g.options.push_back(&s);
            }
        }
        shown.push_back(g);
    }
    return shown;
}

const OptionSpec *find_option(const std::string &name) {
    for (const OptionSpec *s : all_options()) {
        if (s->name == name) {
            return s;
        }
    }
    return nullptr;
}

std::vector<const OptionSpec *> all_options() {
    std::vector<const OptionSpec *> all;
    for (const ShownGroup &g : options_of(flag_form_groups())) {
        all.insert(all.end(), g.options.begin(), g.options.end());
    }
    return all;
}

}  // namespace host
