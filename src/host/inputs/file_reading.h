// How the inputs read files: through the Env, regular files only (a FIFO or a device is refused at
// once instead of blocking or reading without end), with refusals in words that follow the
// file's name.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/result.h"
#include "host/platform/env.h"

namespace host {

// The system's reason in an Env's failure ("cannot read: Input/output error" gives
// "Input/output error"), for a sentence that says itself what could not be done.
std::string system_reason(const base::Error &e);

// The regular file at PATH, open for reading. Refused with InvalidInput and what it is instead
// ("is a directory, not a regular file"; a FIFO, a device) for anything else, or with the Env's
// code and the system's reason alone ("No such file or directory") when it cannot be opened.
base::Result<std::unique_ptr<File>> open_regular(const std::string &path);

// The file whole, of at most `limit` bytes. Refused with a reason that follows a colon: "it is a
// directory, not a regular file", "it is larger than the limit of N bytes", or the system's.
base::Result<std::vector<uint8_t>> read_whole(const std::string &path, uint64_t limit);

// Up to `size` bytes from the start of the file, enough to recognise its format; empty when it
// cannot be read.
std::vector<uint8_t> read_head(const std::string &path, size_t size);

}  // namespace host
