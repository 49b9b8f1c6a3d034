// The tool's run when several devices were chosen: all are updated at once, each line on
// standard output (or each JSON event) carries the device's tag, a summary table goes to standard
// error, and the exit status is 0 only when every device was verified.
#pragma once

#include <string>
#include <vector>

#include "device_finder.h"
#include "hidiap_tool.h"
#include "options.h"
#include "presentation.h"
#include "run_events.h"
#include "run_inputs.h"

namespace host {

// A device as the run's events describe it.
DeviceDescription describe(const DeviceInfo &info);

// The files are loaded and the devices open; they are closed before this returns. Returns the
// exit status.
int update_several(std::vector<OpenedDevice> devices, const Inputs &inputs, const Options &o,
                   const RunTuning &tuning, Presentation &presentation);

// Where --sim-flash puts one device's flash when there are several: the serial number before the
// file name's extension ("out/flash.bin", "SIM0002" -> "out/flash.SIM0002.bin").
std::string per_device_path(const std::string &path, const std::string &serial);

}  // namespace host
