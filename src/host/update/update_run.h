// The update of the chosen devices, one or several, through one path: a DeviceSession per device,
// one tick thread for all and a reader per device. One device keeps the tool's three threads
// (main, tick, reader) and prints its lines as they are. Several devices are updated at once: each
// has its own record, runner and writer, each line on standard output carries the device's tag,
// a device that fails, stalls or is unplugged ends on its own, and each device's outcome is
// reported as soon as it is known.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/events/outcome.h"
#include "host/events/run_events.h"
#include "host/inputs/input_files.h"
#include "host/inputs/unit_values.h"
#include "host/inputs/update_plan.h"
#include "host/link/device_catalog.h"
#include "host/link/transport.h"
#include "host/update/update_settings.h"

namespace host {

struct UpdateDevice {
    Transport *transport = nullptr;  // opened; owned by the caller
    DeviceInfo info;                 // path and serial at least
    RunEvents *events = nullptr;     // the device's presenter (its JSON events), or none
    std::string tag{};               // with a shared console: its tag there
    // With a shared console: where the device's whole lines go, untagged; none: the console's
    // output, under its tag.
    std::function<void(std::string_view)> lines{};
    // The board's own values (its serial number, its MAC address): written into its own copy of
    // the image, which its update programs and its checks compare with. None: the shared image.
    std::vector<ImagePatch> image_patches{};
};

struct DeviceResult {
    std::string tag;  // empty when one device was updated
    RunReport report;
    std::string port;  // the device's USB port path; "" when unknown
    std::string slot;  // the station's slot of the device; "" without a slot map
    bool succeeded() const { return report.succeeded(); }
};

// A short name per device for its lines: its serial number when it has one that no other device
// shares, else its 1-based index and path ("2:/dev/hidraw3").
std::vector<std::string> device_tags(const std::vector<UpdateDevice> &devices);

class UpdateRun {
  public:
    // The files are loaded and the engine's globals set (load_inputs). Nothing is said or sent
    // before announce().
    UpdateRun(const std::vector<UpdateDevice> &devices, const Layout &layout,
              const UpdateSettings &settings);
    ~UpdateRun();
    UpdateRun(const UpdateRun &) = delete;
    UpdateRun &operator=(const UpdateRun &) = delete;

    // Every device's product line or device event.
    void announce();
    // Starts every device, waits for every outcome, reports each one (stall note, outcome line,
    // outcome event) and stops every thread. Returns one result per device, in the order given.
    std::vector<DeviceResult> run(const UpdatePlan &plan);

  private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

// The table of results, and a line naming the devices that failed (or saying none did).
void print_fleet_summary(std::FILE *to, const std::vector<DeviceResult> &results);

// 0 when every device succeeded; the interruption's status when the run was interrupted;
// else 1.
int fleet_exit_status(const std::vector<DeviceResult> &results);

}  // namespace host
