// Bitwise reference checksums, written from their definitions, to compare fast code against.
#pragma once

#include <cstddef>
#include <cstdint>

namespace test_support {

uint16_t reference_crc16(const uint8_t *data, size_t len);   // CRC-16/CCITT-FALSE
uint32_t reference_jamcrc(const uint8_t *data, size_t len);  // CRC-32/JAMCRC

}  // namespace test_support
