// The device's 2 MiB NOR flash: erased to 0xFF in 4 KiB sectors, programmed by clearing bits only,
// and guarded by a lock that must be lifted before erase or program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

enum class FlashStatus : uint8_t {
    kOk,
    kLocked,      // erase or program while locked
    kBadAddress,  // unaligned sector, or a range that leaves the flash
};

class FlashModel {
  public:
    static constexpr uint32_t kSize = 0x200000;
    static constexpr uint32_t kSectorSize = 0x1000;
    static constexpr uint32_t kPageSize = 0x100;
    static constexpr uint8_t kErased = 0xFF;

    // Starts erased and locked, as the device comes out of reset.
    FlashModel();

    const std::vector<uint8_t> &bytes() const { return bytes_; }
    bool locked() const { return locked_; }
    void lock() { locked_ = true; }
    void unlock() { locked_ = false; }

    // True when [addr, addr+len) lies inside the flash; computed without overflow.
    static bool contains(uint64_t addr, uint64_t len) {
        return addr <= kSize && len <= kSize - addr;
    }

    // Sets the 4 KiB sector starting at addr to 0xFF.
    FlashStatus erase_sector(uint32_t addr);
    // flash &= data over [addr, addr+len): bits only go from 1 to 0, as on real NOR flash.
    FlashStatus program(uint32_t addr, const uint8_t *data, size_t len);
    // CRC-32/JAMCRC of [addr, addr+len). Throws std::out_of_range when the range leaves the flash.
    uint32_t crc32_jam(uint32_t addr, uint32_t len) const;

    // Flips one bit of a byte regardless of the lock: simulates a cell that did not hold its value.
    // Does nothing outside the flash.
    void flip_bit(uint32_t addr, unsigned bit);

  private:
    std::vector<uint8_t> bytes_;
    bool locked_ = true;
};

}  // namespace sim
