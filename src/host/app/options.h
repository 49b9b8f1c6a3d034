// The command line: a command (update, verify, station, list, package make|show, key make,
// records setup, completion) with its arguments and options, or the older form of three
// positional arguments with every option around them.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "host/discovery/device_selection.h"
#include "host/inputs/run_inputs.h"

namespace host {

struct Options {
    std::string image_path;
    std::string tts_path;
    std::string token;
    bool list = false;                  // list the devices instead of updating one
    DeviceQuery device;                 // which device: IDs, serial numbers, paths
    std::chrono::milliseconds wait{0};  // how long to wait for the device to appear
    bool simulate = false;
    int sim_devices = 1;  // how many simulated devices are present
    std::chrono::milliseconds sim_appear_after{0};
    std::chrono::milliseconds sim_open_after{0};
    std::vector<std::string> sim_faults;  // rule texts, checked by the simulated device's parser
    std::string sim_flash_path;           // where to write the simulated flash after the run
    bool no_wait = false;                 // do not wait for a character after the outcome
    bool no_progress = false;             // never draw the progress line
    bool json = false;                    // standard output carries JSON Lines events only
    bool dry_run = false;                 // check the inputs and print the plan; no device
    std::vector<std::string> extra_args;  // positional arguments past the third, ignored
    bool skip_unchanged = false;          // program only the sectors whose checksum differs
    bool skip_blank = false;              // send no page of nothing but 0xFF into erased flash
    std::string sim_timing;               // timing model of the simulated link, e.g. usb-fs
    std::string sim_flash_from;           // flash content the simulated device starts with
    bool timing_report = false;           // report elapsed time and tick period on stderr
    std::string image_format;  // --format: raw, ihex, srec, elf; "" recognises it by content
    std::string tts_format;    // --tts-format: raw, ihex, srec; likewise
    std::string package_path;  // the one argument was a firmware package
    std::string make_package;  // --make-package OUT: write a package of IMAGE TTS TOKEN
    std::string fw_version;    // --fw-version, for --make-package
    std::string product;       // --product, for --make-package
    bool vid_given = false;    // --vid was given (it wins over a package's IDs)
    bool pid_given = false;
    bool verify = false;       // only compare the device's flash with the files
    std::string record_file;   // --record: JSON Lines, SQLite for .sqlite/.db, or a database URI
    std::string record_spool;  // --record-spool: the database's spool file; "" for the default
    std::string record_setup;  // --record-setup URI: create or upgrade the records tables
    std::string station_name;  // --station-name: the station in the records; "" for the host name
    bool station = false;      // update every board as it appears, until stopped
    unsigned count = 0;        // --station: stop after this many boards; 0: never
    std::string sim_arrivals;  // when the simulated boards appear: "0,500,1000x4"
    int sim_reboot_away_ms = -1;        // a simulated board leaves on reboot, back after this
    std::vector<std::string> trust;     // --trust PUBKEY: public keys whose packages are accepted
    std::vector<std::string> revoke;    // --revoke PUBKEY: keys whose signatures are refused
    std::string trusted_keys_dir;       // --trusted-keys-dir: instead of the system folder
    std::string revoked_keys_dir;       // --revoked-keys-dir: likewise
    bool allow_older = false;           // --allow-older: an older firmware_version may run
    bool has_security_counter = false;  // --security-counter N, for --make-package
    uint64_t security_counter = 0;
    std::string sign_package;            // package sign PACKAGE: add the --sign signatures to it
    std::string make_key;                // --make-key NAME: write NAME.pub and NAME.key
    bool unencrypted = false;            // --unencrypted: NAME.key without a password
    std::vector<std::string> sign_keys;  // --sign SECRETKEY (repeatable), for --make-package
    std::string show_package;         // package show PACKAGE: what it holds, whether it runs here
    std::string completion;           // completion SHELL: print that shell's completion script
    std::string config_path;          // station --config FILE: the settings' TOML file
    bool print_config = false;        // --print-config: the settings in force, then exit
    std::string status_listen;        // --status-listen [ADDRESS:]PORT: the status page
    bool list_ports = false;          // the list command: each line ends with the port path
    std::string sim_ports;            // --sim-ports: each simulated board's port path
    std::string sim_serials;          // --sim-serials: each simulated board's serial number
    std::vector<std::string> fields;  // --field KEY=VALUE: into every record's fields
    std::string slots_file;           // --slots: the fixture's slot map
    std::string learn_slots;          // slots learn FILE: write a slot map by plugging boards
    std::string on_result;            // --on-result PROGRAM: run after each board's record
    double on_result_timeout = 30;    // --on-result-timeout SECONDS: then it is killed
    std::string log_dir;              // --log-dir DIR: a log file per board attempt
    std::vector<std::string> unit_fields;  // --unit-field NAME=ADDRESS:ENCODING
    std::vector<std::string> unit_ranges;  // --unit-range NAME=FIRST-LAST
    std::vector<std::string> unit_lists;   // --unit-list NAME=FILE
    unsigned unit_block = 100;             // --unit-block N: values reserved at a time
    std::string job;          // station --job FILE: the signed job the station runs under
    std::string make_job;     // job make OUT: write a signed job
    std::string job_package;  // job make --package PACKAGE: the package it allows
    std::vector<std::string> job_stations;  // job make --for-station NAME (repeatable)
    std::string job_until;                  // job make --until YYYY-MM-DD
};

struct ParseResult {
    enum class Kind { Run, Exit } kind = Kind::Run;
    int exit_status = 0;         // for Exit: 0 after --help or --version, 2 for a bad command line
    bool any_arguments = false;  // the command line had at least one argument
    bool asked_for_information = false;  // --help or --version: the answer is all that is printed
    std::string command;                 // the command given ("package make"); "" for none
    Options options;
};

// Whether the tool's traditional usage line goes first on standard output. Only a plain update
// prints it (update, verify and station as the form without a command does): not help, version,
// a dry run, a listing or the commands of packages, keys, records and completion, and not in
// --json mode, whose standard output carries JSON only.
bool prints_usage_line(const ParseResult &parsed);

// What the command line asks of the input files.
InputRequest input_request(const Options &o);

// Parses argv: a command when the first argument names one, else the older form. Help, version
// and errors are printed here (help to standard output, errors to standard error); the caller
// only acts on the result.
ParseResult parse_command_line(int argc, char **argv);

}  // namespace host
