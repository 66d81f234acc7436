#include <gtest/gtest.h>

#include "chip/chip.h"

namespace {

// The M25P16's BP2..BP0 protect the top 1, 2, 4, 8, 16 sectors, then all.
TEST(ChipProtection, M25p16BlockProtectIsDecodedFromTheTop) {
    struct Case {
        std::uint8_t status;
        std::uint32_t first;
    };
    const Case cases[] = {
        {0x00, 32}, {0x04, 31}, {0x08, 30}, {0x0C, 28}, {0x10, 24},
        {0x14, 16}, {0x18, 0},  {0x1C, 0},  {0x83, 32}, {0xFC, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(chip_first_protected_sector(CHIP_M25P16, c.status), c.first)
            << "status 0x" << std::hex << unsigned{c.status};
    }
}

TEST(ChipTable, FindsTheRowByItsJedecId) {
    EXPECT_EQ(chip_find(0x202015), &CHIP_M25P16);
    EXPECT_EQ(chip_find(0xFFFFFF), nullptr);
    EXPECT_EQ(chip_find(0x000000), nullptr);
}

}  // namespace
