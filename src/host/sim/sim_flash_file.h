// --sim-flash and --sim-flash-from: the simulated device's flash written to a file after the
// run, and read from one before it.
#pragma once

#include <string>

#include "host/sim/sim_transport.h"

namespace host {

// Whether path can be written, found out before the update starts. A file that does not exist
// yet is created to find out and removed again.
bool sim_flash_path_writable(const std::string &path, std::string &why);

// Both are false for a device that is not simulated: only a simulated device's flash can be
// read or set, whatever the command line asked for.
bool write_sim_flash(Transport &device, const std::string &path);

// --sim-flash-from: fills the simulated device's flash from a file, as another history would
// have left it (the rest erased). False when the file is missing, unreadable or over 2 MiB.
bool read_sim_flash(Transport &device, const std::string &path);

// Where --sim-flash puts one device's flash when there are several: the serial number before the
// file name's extension ("out/flash.bin", "SIM0002" -> "out/flash.SIM0002.bin").
std::string per_device_path(const std::string &path, const std::string &serial);

}  // namespace host
