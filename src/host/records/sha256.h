// SHA-256 of a buffer, as lower-case hex: what a record says each input file was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace host {

std::string sha256_hex(const uint8_t *data, size_t len);

}  // namespace host
