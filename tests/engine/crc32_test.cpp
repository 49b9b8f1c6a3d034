// The verification checksum: running value in and out, no final inversion.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "engine_harness.h"

TEST(Crc32, KnownValueAndRunningContract) {
    const uint8_t text[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(iap_calculate_CRC32(0xFFFFFFFF, text, 9), 0x340BC6D9u);
    const uint32_t part = iap_calculate_CRC32(0xFFFFFFFF, text, 4);
    EXPECT_EQ(iap_calculate_CRC32(part, text + 4, 5), 0x340BC6D9u);
    EXPECT_EQ(iap_calculate_CRC32(0x12345678, text, 0), 0x12345678u);
}

TEST(Crc32, MatchesBitwiseReferenceOverRandomBuffers) {
    std::mt19937 rng(2026);
    std::vector<uint8_t> buf(70000);
    for (auto &b : buf) {
        b = static_cast<uint8_t>(rng());
    }
    std::vector<size_t> lengths = {0,  1,   2,   3,   7,    8,    15,    16,
                                   31, 255, 256, 257, 4095, 4096, 65536, 69999};
    for (int i = 0; i < 40; i++) {
        lengths.push_back(rng() % buf.size());
    }
    for (size_t len : lengths) {
        const size_t start = len < buf.size() ? rng() % (buf.size() - len + 1) : 0;
        EXPECT_EQ(iap_calculate_CRC32(0xFFFFFFFF, buf.data() + start, static_cast<uint32_t>(len)),
                  test_support::reference_jamcrc(buf.data() + start, len))
            << "length " << len << " at " << start;
    }
}
