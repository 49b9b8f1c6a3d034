#include "expected_layout.h"

#include <algorithm>
#include <random>

namespace test_support {

namespace {

constexpr uint32_t kFlashSize = 0x200000;
constexpr uint32_t kSector = 0x1000;

uint32_t round256(uint32_t n) {
    return (n + 255u) & ~255u;
}

// Erases every sector the range touches (the engine erases before each sector's first page),
// then programs the range; data comes from the file, 0xFF past its end.
void program(std::vector<uint8_t> &flash, const std::vector<uint8_t> &file, uint32_t file_offset,
             uint32_t flash_addr, uint32_t length) {
    for (uint32_t s = flash_addr & ~(kSector - 1); s < flash_addr + length; s += kSector) {
        std::fill(flash.begin() + s, flash.begin() + std::min(s + kSector, kFlashSize), 0xFF);
    }
    for (uint32_t i = 0; i < length; i++) {
        const uint32_t at = file_offset + i;
        flash[flash_addr + i] = at < file.size() ? file[at] : 0xFF;
    }
}

}  // namespace

std::vector<uint8_t> expected_flash(const std::vector<uint8_t> &image,
                                    const std::vector<uint8_t> &tts, uint32_t tts_addr) {
    std::vector<uint8_t> flash(kFlashSize, 0xFF);
    const uint32_t image_end = round256(static_cast<uint32_t>(image.size()));
    if (image_end > 0x8000) {
        program(flash, image, 0x8000, 0x8000, image_end - 0x8000);
    }
    program(flash, tts, 0, tts_addr, round256(static_cast<uint32_t>(tts.size())));
    return flash;
}

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> out(n);
    for (auto &b : out) {
        b = static_cast<uint8_t>(rng());
    }
    return out;
}

}  // namespace test_support
