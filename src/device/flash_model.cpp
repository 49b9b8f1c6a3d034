#include "device/flash_model.h"

#include <algorithm>
#include <stdexcept>

#include "device/device_crc.h"

namespace sim {

FlashModel::FlashModel() : bytes_(kSize, kErased) {}

FlashStatus FlashModel::erase_sector(uint32_t addr) {
    if (locked_) {
        return FlashStatus::kLocked;
    }
    if (addr % kSectorSize != 0 || !contains(addr, kSectorSize)) {
        return FlashStatus::kBadAddress;
    }
    std::fill_n(bytes_.begin() + addr, kSectorSize, kErased);
    return FlashStatus::kOk;
}

FlashStatus FlashModel::program(uint32_t addr, const uint8_t *data, size_t len) {
    if (locked_) {
        return FlashStatus::kLocked;
    }
    if (!contains(addr, len)) {
        return FlashStatus::kBadAddress;
    }
    for (size_t i = 0; i < len; i++) {
        bytes_[addr + i] &= data[i];
    }
    return FlashStatus::kOk;
}

uint32_t FlashModel::crc32_jam(uint32_t addr, uint32_t len) const {
    if (!contains(addr, len)) {
        throw std::out_of_range("flash range outside the 2 MiB flash");
    }
    return crc32_jamcrc(bytes_.data() + addr, len);
}

void FlashModel::flip_bit(uint32_t addr, unsigned bit) {
    if (addr < kSize) {
        bytes_[addr] ^= static_cast<uint8_t>(1u << (bit % 8));
    }
}

}  // namespace sim
