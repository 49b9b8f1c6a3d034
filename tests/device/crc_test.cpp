#include <gtest/gtest.h>

#include <random>
#include <string>

#include "device/device_crc.h"
#include "wire_helper.h"

namespace {

const std::string kCheckString = "123456789";
const uint8_t *check_bytes() {
    return reinterpret_cast<const uint8_t *>(kCheckString.data());
}

TEST(DeviceCrc, Crc16CcittFalseKnownValues) {
    EXPECT_EQ(sim::crc16_ccitt_false(check_bytes(), kCheckString.size()), 0x29B1);
    EXPECT_EQ(sim::crc16_ccitt_false(nullptr, 0), 0xFFFF);
    const uint8_t a = 'A';
    EXPECT_EQ(sim::crc16_ccitt_false(&a, 1), 0xB915);
}

TEST(DeviceCrc, Crc32JamcrcKnownValues) {
    EXPECT_EQ(sim::crc32_jamcrc(check_bytes(), kCheckString.size()), 0x340BC6D9u);
    EXPECT_EQ(sim::crc32_jamcrc(nullptr, 0), 0xFFFFFFFFu);
}

TEST(DeviceCrc, Crc16AgreesWithTestHelperOnRandomData) {
    std::mt19937 rng(7);
    for (int round = 0; round < 50; round++) {
        wire::Bytes data(rng() % 300);
        for (uint8_t &b : data) {
            b = static_cast<uint8_t>(rng());
        }
        ASSERT_EQ(sim::crc16_ccitt_false(data.data(), data.size()),
                  wire::crc16(data.data(), data.size()));
    }
}

}  // namespace
