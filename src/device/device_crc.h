// The device's own checksums, written independently of the host's so that a fault in either one
// shows up as a mismatch instead of cancelling out.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim {

// CRC-16/CCITT-FALSE: poly 0x1021, init 0xFFFF, no reflection, no final xor. Guards every frame.
uint16_t crc16_ccitt_false(const uint8_t *data, size_t len);

// CRC-32/JAMCRC: the bitwise complement of the standard CRC-32. Answers the check command.
uint32_t crc32_jamcrc(const uint8_t *data, size_t len);

}  // namespace sim
