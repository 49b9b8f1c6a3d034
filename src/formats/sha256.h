// SHA-256 of a run of bytes, as lower-case hex, from the platform's well-kept implementation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace formats {

std::string sha256_hex(const uint8_t *data, size_t size);

}  // namespace formats
