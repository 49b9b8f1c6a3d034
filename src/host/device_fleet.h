// Updates several devices at once: each has its own engine record, runner, lock, reader thread,
// writer thread and observer; one tick thread drives them all. The loaded files are shared and
// only read. A device that fails, stalls or is unplugged ends on its own: the others' answers,
// ticks and writes never wait for it, and each device's outcome is reported as soon as it is
// known.
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "input_files.h"
#include "run_events.h"
#include "transport.h"
#include "update_plan.h"

namespace host {

struct FleetDevice {
    Transport *transport = nullptr;  // opened; owned by the caller
    DeviceDescription description;   // path and serial at least
    RunEvents *events = nullptr;     // the device's presenter (its JSON events), or none
};

struct FleetSettings {
    std::chrono::microseconds tick_period{std::chrono::milliseconds(10)};
    std::chrono::milliseconds stall_limit{30000};
    bool skip_unchanged = false;  // survey each range and program only the sectors that differ
    bool skip_blank = false;      // send no page of nothing but 0xFF into erased flash
    // JSON mode: the devices' events carry everything and no console line is shown.
    bool json = false;
    const UpdatePlan *plan = nullptr;  // sent as each device's `plan` event, after `device`
    bool show_progress = false;        // one line per device on standard error (a terminal)
    int columns = 0;                   // the terminal's width for the progress lines
    // 0, or the exit status an interruption asks for; asked every 100 ms while devices run.
    std::function<int()> interrupt_status;
    // Where the tagged console lines go (standard output) and the tool's notes go (standard
    // error); empty for those streams.
    std::function<void(std::string_view)> out;
    std::function<void(std::string_view)> err;
};

struct DeviceResult {
    std::string tag;
    RunReport report;
    bool succeeded() const { return report.exit_status == 0; }
};

// A short name per device for its lines: its serial number when it has one that no other device
// shares, else its 1-based index and path ("2:/dev/hidraw3").
std::vector<std::string> device_tags(const std::vector<FleetDevice> &devices);

// Runs the update on every device and returns one result per device, in the order given. The
// files are loaded; the layout's TTS globals are set here. The first device is driven through
// the tool's global record `iap`.
std::vector<DeviceResult> update_fleet(const std::vector<FleetDevice> &devices,
                                       const Layout &layout, const FleetSettings &settings);

// The table of results, and a line naming the devices that failed (or saying none did).
void print_fleet_summary(std::FILE *to, const std::vector<DeviceResult> &results);

// 0 when every device succeeded; the interruption's status when the run was interrupted;
// else 1.
int fleet_exit_status(const std::vector<DeviceResult> &results);

}  // namespace host
