// --sim-flash and --sim-flash-from: the simulated device's flash written to a file after the
// run, and read from one before it.
#pragma once

#include <string>

#include "sim_transport.h"

namespace host {

// Whether path can be written, found out before the update starts. A file that does not exist
// yet is created to find out and removed again.
bool sim_flash_path_writable(const std::string &path, std::string &why);

bool write_sim_flash(SimTransport &sim, const std::string &path);

// --sim-flash-from: fills the simulated device's flash from a file, as another history would
// have left it (the rest erased). False when the file is missing, unreadable or over 2 MiB.
bool read_sim_flash(SimTransport &sim, const std::string &path);

}  // namespace host
