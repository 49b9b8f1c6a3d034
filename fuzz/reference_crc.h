// Bit-at-a-time checksums written from their definitions, slow but plain, so the fuzz targets
// judge the engine's and the device's table-free or library CRCs against something independent.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fuzz {

// CRC-16/CCITT-FALSE: poly 0x1021, init 0xFFFF, MSB first, no final xor. Guards every frame.
uint16_t reference_crc16(const uint8_t *data, size_t len);

// CRC-32/JAMCRC: reflected poly 0xEDB88320, init 0xFFFFFFFF, no final xor. Answers the check.
uint32_t reference_jamcrc(const uint8_t *data, size_t len);

}  // namespace fuzz
