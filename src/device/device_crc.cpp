#include "device/device_crc.h"

#include <zlib.h>

#include <algorithm>

namespace sim {

uint16_t crc16_ccitt_false(const uint8_t *data, size_t len) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < len; i++) {
        crc = static_cast<uint16_t>(crc ^ (static_cast<uint16_t>(data[i]) << 8));
        for (int bit = 0; bit < 8; bit++) {
            const bool top = (crc & 0x8000) != 0;
            crc = static_cast<uint16_t>(crc << 1);
            if (top) {
                crc = static_cast<uint16_t>(crc ^ 0x1021);
            }
        }
    }
    return crc;
}

uint32_t crc32_jamcrc(const uint8_t *data, size_t len) {
    uLong crc = ::crc32(0L, Z_NULL, 0);
    // zlib takes uInt lengths; feed in slices so any size_t is safe.
    while (len > 0) {
        const size_t slice = std::min<size_t>(len, 0x40000000u);
        crc = ::crc32(crc, data, static_cast<uInt>(slice));
        data += slice;
        len -= slice;
    }
    return ~static_cast<uint32_t>(crc);
}

}  // namespace sim
