// The descriptor, the geometry and the operations that never touch the chip.
#include <gtest/gtest.h>

#include <string>

#include "case_name.h"
#include "flash/flash.h"

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

}  // namespace
