// --sim-flash and --sim-flash-from: a simulated board's flash written to a file after the run,
// and the content it starts with read from one before. Files are read and written through the
// Env only.
#pragma once

#include <string>

#include "base/result.h"
#include "host/sim/sim_transport.h"

namespace host {

// Whether PATH can take a board's flash, found out before the update starts: a regular file or
// nothing yet, in a folder where a file can be made (the flash replaces it whole, through a
// file beside it). The reason in words when not ("it is a directory").
base::Status sim_flash_path_writable(const std::string &path);

// --sim-flash-from: the content a board's flash starts with, at most 2 MiB (the rest erased).
base::Result<std::string> read_sim_flash(const std::string &path);

// Sets the board's flash to `content` as another history would have left it (the rest erased).
void load_sim_flash(SimTransport &board, const std::string &content);

// --sim-flash: the board's flash, the old file or the new one at PATH, never a torn one.
base::Status write_sim_flash(SimTransport &board, const std::string &path);

// Where --sim-flash puts one board's flash when there are several: the name before the file
// name's extension ("out/flash.bin", "SIM0002" -> "out/flash.SIM0002.bin").
std::string per_device_path(const std::string &path, const std::string &name);

}  // namespace host
