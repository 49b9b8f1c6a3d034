// --sim-flash: the simulated device's flash written to a file after the run.
#pragma once

#include <string>

#include "sim_transport.h"

namespace host {

// Whether path can be written, found out before the update starts. A file that does not exist
// yet is created to find out and removed again.
bool sim_flash_path_writable(const std::string &path, std::string &why);

bool write_sim_flash(SimTransport &sim, const std::string &path);

}  // namespace host
