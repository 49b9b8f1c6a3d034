// Updates several devices at once: each has its own engine record, runner, lock, reader thread
// and writer thread; one tick thread drives them all. The loaded files are shared and only read.
// A device that fails, stalls or is unplugged ends on its own: the others' answers, ticks and
// writes never wait for it, and each device's outcome is reported as soon as it is known.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine_runner.h"
#include "transport.h"

namespace host {

struct FleetDevice {
    Transport *transport = nullptr;  // opened; owned by the caller
    std::string serial;              // empty when the device has none
    std::string path;
};

// What every device is given: the image range (from flash 0x8000) and the TTS data's rounded
// length. The buffers and the TTS globals must be loaded before the run and stay unchanged.
struct FleetPlan {
    uint32_t image_program = 0;
    uint32_t tts_rounded = 0;
};

struct FleetSettings {
    std::chrono::microseconds tick_period{std::chrono::milliseconds(10)};
    std::chrono::milliseconds stall_limit{30000};
    bool show_progress = false;  // one line per device on standard error (a terminal)
    int columns = 0;             // the terminal's width for the progress lines
    // Where the tagged console lines go (standard output) and the tool's own notes go (standard
    // error); empty for those streams.
    std::function<void(std::string_view)> out;
    std::function<void(std::string_view)> err;
};

struct DeviceResult {
    std::string tag;
    Outcome outcome = Outcome::NoEvent;
    std::string reason;  // empty on success
    uint64_t bytes = 0;  // bytes the device acknowledged as programmed
    double seconds = 0;  // from the start of its update to its outcome

    bool succeeded() const { return outcome == Outcome::Success; }
    double bytes_per_second() const {
        return seconds > 0 ? static_cast<double>(bytes) / seconds : 0;
    }
};

// A short name per device for its lines: its serial number when it has one that no other device
// shares, else its 1-based index and path ("2:/dev/hidraw3").
std::vector<std::string> device_tags(const std::vector<FleetDevice> &devices);

// Runs the update on every device and returns one result per device, in the order given. The
// first device is driven through the tool's global record `iap`.
std::vector<DeviceResult> update_fleet(const std::vector<FleetDevice> &devices,
                                       const FleetPlan &plan, const FleetSettings &settings);

// The table of results, and a line naming the devices that failed (or saying none did).
void print_fleet_summary(std::FILE *to, const std::vector<DeviceResult> &results);

// 0 when every device succeeded, else 1.
int fleet_exit_status(const std::vector<DeviceResult> &results);

}  // namespace host
