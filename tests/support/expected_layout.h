// What a device's flash must hold after a successful update of the given files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace test_support {

// The flash image expected after programming image bytes [0x8000, round256(len)) at flash 0x8000
// and the TTS bytes at tts_addr, rounded to 256 (bytes past a file's end read 0xFF). Every sector
// the update erases is modelled, so overlapping ranges come out as a device would hold them.
std::vector<uint8_t> expected_flash(const std::vector<uint8_t> &image,
                                    const std::vector<uint8_t> &tts, uint32_t tts_addr);

// Deterministic pseudo-random bytes.
std::vector<uint8_t> random_bytes(size_t n, uint32_t seed);

}  // namespace test_support
