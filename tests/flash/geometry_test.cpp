// The descriptor, the geometry and the operations that never touch the chip.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "case_name.h"
#include "flash/flash.h"
#include "scripted_driver.h"

namespace {

constexpr std::int32_t kUnset = -7;
constexpr std::uint32_t kUnsetWord = 0xDEADBEEF;

struct AddressCase {
    std::string name;
    std::uint32_t address;
    std::int32_t result;
    std::int32_t sector;
};

class FlashSectorOfAddress : public testing::TestWithParam<AddressCase> {};

TEST_P(FlashSectorOfAddress, DirectAndThroughControl) {
    const AddressCase& c = GetParam();
    std::int32_t sector = kUnset;
    EXPECT_EQ(flash_sector_of_address(c.address, &sector), c.result);
    EXPECT_EQ(sector, c.sector);

    flash_address_to_sector_params block = {c.address, &sector};
    sector = kUnset;
    EXPECT_EQ(flash_control({nullptr, FLASH_OP_ADDRESS_TO_SECTOR, &block}), c.result);
    EXPECT_EQ(sector, c.sector);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FlashSectorOfAddress,
    testing::Values(AddressCase{"Zero", 0, FLASH_OK, 0},
                    AddressCase{"EndOfFirstSector", 0xFFFF, FLASH_OK, 0},
                    AddressCase{"StartOfSecond", 0x10000, FLASH_OK, 1},
                    AddressCase{"LastByte", 0x1FFFFF, FLASH_OK, 31},
                    AddressCase{"PastTheChip", 0x200000, FLASH_ERR_RANGE, kUnset},
                    AddressCase{"Bit27Ignored", 0x08000005, FLASH_OK, 0},
                    AddressCase{"AllOnes", 0xFFFFFFFF, FLASH_ERR_RANGE, kUnset}),
    case_name<AddressCase>);

struct BoundsCase {
    std::string name;
    std::int32_t sector;
    std::int32_t result;
    std::uint32_t first;
    std::uint32_t last;
};

class FlashSectorBounds : public testing::TestWithParam<BoundsCase> {};

TEST_P(FlashSectorBounds, DirectAndThroughControl) {
    const BoundsCase& c = GetParam();
    std::uint32_t first = kUnsetWord;
    std::uint32_t last = kUnsetWord;
    EXPECT_EQ(flash_sector_bounds(&first, &last, c.sector), c.result);
    EXPECT_EQ(first, c.first);
    EXPECT_EQ(last, c.last);

    first = last = kUnsetWord;
    flash_sector_bounds_params block = {c.sector, &first, &last};
    EXPECT_EQ(flash_control({nullptr, FLASH_OP_SECTOR_BOUNDS, &block}), c.result);
    EXPECT_EQ(first, c.first);
    EXPECT_EQ(last, c.last);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FlashSectorBounds,
    testing::Values(BoundsCase{"First", 0, FLASH_OK, 0, 0xFFFF},
                    BoundsCase{"Last", 31, FLASH_OK, 0x1F0000, 0x1FFFFF},
                    BoundsCase{"BeyondChip", 32, FLASH_ERR_RANGE, kUnsetWord, kUnsetWord},
                    BoundsCase{"Negative", -1, FLASH_ERR_RANGE, kUnsetWord, kUnsetWord}),
    case_name<BoundsCase>);

TEST(FlashControl, GetInfoHandsOutTheDescriptorNames) {
    flash_get_info_params block = {nullptr, nullptr};
    EXPECT_EQ(flash_control({nullptr, FLASH_OP_GET_INFO, &block}), FLASH_OK);
    EXPECT_EQ(block.device_name, flash_info.device_name);
    EXPECT_EQ(block.maker_name, flash_info.maker_name);
    EXPECT_STREQ(block.device_name, "STMicro. M25P16");
    EXPECT_STREQ(block.maker_name, "STMicroelectronics");
}

TEST(FlashControl, GetSectorCountStores32) {
    std::int32_t count = kUnset;
    flash_get_sector_count_params block = {&count};
    EXPECT_EQ(flash_control({nullptr, FLASH_OP_GET_SECTOR_COUNT, &block}), FLASH_OK);
    EXPECT_EQ(count, 32);
}

struct UnsupportedCase {
    std::string name;
    std::uint32_t op;
};

class FlashControlUnsupported : public testing::TestWithParam<UnsupportedCase> {};

TEST_P(FlashControlUnsupported, TouchesNothing) {
    ScriptedDriver driver;
    BoundDriver bound(driver);
    unsigned char block[32];
    std::memset(block, 0x5A, sizeof block);
    EXPECT_EQ(flash_control({ScriptedDriver::handle(), GetParam().op, block}),
              FLASH_ERR_UNSUPPORTED);
    for (unsigned char b : block) {
        ASSERT_EQ(b, 0x5A);
    }
    EXPECT_TRUE(driver.calls.empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, FlashControlUnsupported,
                         testing::Values(UnsupportedCase{"Eight", 8},
                                         UnsupportedCase{"Huge", 0x80000000},
                                         UnsupportedCase{"AllOnes", 0xFFFFFFFF}),
                         case_name<UnsupportedCase>);

}  // namespace
