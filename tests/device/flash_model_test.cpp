#include "device/flash_model.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "device/device_crc.h"

namespace {

using sim::FlashModel;
using sim::FlashStatus;

TEST(FlashModel, StartsErasedAndLocked) {
    FlashModel flash;
    EXPECT_TRUE(flash.locked());
    ASSERT_EQ(flash.bytes().size(), 0x200000u);
    for (uint8_t b : flash.bytes()) {
        ASSERT_EQ(b, 0xFF);
    }
}

TEST(FlashModel, LockRefusesEraseAndProgram) {
    FlashModel flash;
    const uint8_t zero = 0;
    EXPECT_EQ(flash.erase_sector(0), FlashStatus::kLocked);
    EXPECT_EQ(flash.program(0, &zero, 1), FlashStatus::kLocked);
    EXPECT_EQ(flash.bytes()[0], 0xFF);
    flash.unlock();
    EXPECT_EQ(flash.program(0, &zero, 1), FlashStatus::kOk);
    flash.lock();
    EXPECT_EQ(flash.erase_sector(0), FlashStatus::kLocked);
    EXPECT_EQ(flash.bytes()[0], 0x00);
}

TEST(FlashModel, EraseNeedsAlignedSectorInsideFlash) {
    FlashModel flash;
    flash.unlock();
    std::vector<uint8_t> zeros(0x2000, 0);
    ASSERT_EQ(flash.program(0x1F0000, zeros.data(), zeros.size()), FlashStatus::kOk);
    EXPECT_EQ(flash.erase_sector(0x1F0800), FlashStatus::kBadAddress);
    EXPECT_EQ(flash.erase_sector(0x200000), FlashStatus::kBadAddress);
    EXPECT_EQ(flash.erase_sector(0xFFFFF000), FlashStatus::kBadAddress);
    EXPECT_EQ(flash.erase_sector(0x1F1000), FlashStatus::kOk);
    // Only the one sector returns to 0xFF.
    EXPECT_EQ(flash.bytes()[0x1F0FFF], 0x00);
    EXPECT_EQ(flash.bytes()[0x1F1000], 0xFF);
    EXPECT_EQ(flash.bytes()[0x1F1FFF], 0xFF);
}

TEST(FlashModel, ProgramOnlyClearsBitsSoWritingWithoutEraseMismatches) {
    FlashModel flash;
    flash.unlock();
    const std::vector<uint8_t> first = {0xF0, 0x0F, 0xAA};
    const std::vector<uint8_t> second = {0x0F, 0x0F, 0x55};
    ASSERT_EQ(flash.program(0x100, first.data(), first.size()), FlashStatus::kOk);
    ASSERT_EQ(flash.program(0x100, second.data(), second.size()), FlashStatus::kOk);
    EXPECT_EQ(flash.bytes()[0x100], 0x00);
    EXPECT_EQ(flash.bytes()[0x101], 0x0F);
    EXPECT_EQ(flash.bytes()[0x102], 0x00);
    EXPECT_NE(flash.crc32_jam(0x100, 3), sim::crc32_jamcrc(second.data(), second.size()));
    ASSERT_EQ(flash.erase_sector(0), FlashStatus::kOk);
    ASSERT_EQ(flash.program(0x100, second.data(), second.size()), FlashStatus::kOk);
    EXPECT_EQ(flash.crc32_jam(0x100, 3), sim::crc32_jamcrc(second.data(), second.size()));
}

TEST(FlashModel, RangesLeavingTheFlashAreRefusedWithoutWrap) {
    FlashModel flash;
    flash.unlock();
    const std::vector<uint8_t> data(16, 0);
    EXPECT_EQ(flash.program(0x1FFFF8, data.data(), data.size()), FlashStatus::kBadAddress);
    EXPECT_EQ(flash.program(0xFFFFFFF8, data.data(), data.size()), FlashStatus::kBadAddress);
    EXPECT_EQ(flash.bytes()[0x1FFFFF], 0xFF);
    EXPECT_EQ(flash.program(0x1FFFF0, data.data(), data.size()), FlashStatus::kOk);
    EXPECT_THROW(flash.crc32_jam(0x1FFFFF, 2), std::out_of_range);
    EXPECT_THROW(flash.crc32_jam(0xFFFFFFFF, 0x10), std::out_of_range);
    EXPECT_EQ(flash.crc32_jam(0x200000, 0), 0xFFFFFFFFu);
}

}  // namespace
