#include <gtest/gtest.h>

#include "chip/chip.h"

namespace {

// The M25P16's BP2..BP0 protect the top 1, 2, 4, 8, 16 sectors, then all;
// SRWD, WEL and WIP protect nothing.
TEST(ChipProtection, M25p16BlockProtectIsDecodedFromTheTop) {
    struct Case {
        std::uint8_t status;
        std::uint32_t first;
        std::uint32_t count;
    };
    const Case cases[] = {
        {0x00, 32, 0},  {0x04, 31, 1}, {0x08, 30, 2}, {0x0C, 28, 4}, {0x10, 24, 8},
        {0x14, 16, 16}, {0x18, 0, 32}, {0x1C, 0, 32}, {0x83, 32, 0}, {0xFC, 0, 32},
    };
    for (const Case& c : cases) {
        const chip_sectors sectors = chip_protected_sectors(CHIP_M25P16, c.status);
        EXPECT_EQ(sectors.first, c.first) << "status 0x" << std::hex << unsigned{c.status};
        EXPECT_EQ(sectors.count, c.count) << "status 0x" << std::hex << unsigned{c.status};
    }
}

TEST(ChipTable, FindsTheRowByItsJedecId) {
    EXPECT_EQ(chip_find(0x202015), &CHIP_M25P16);
    EXPECT_EQ(chip_find(0xFFFFFF), nullptr);
    EXPECT_EQ(chip_find(0x000000), nullptr);
}

// Protection per part: BP from the top, TB from the bottom, SEC in 4 KiB
// units (still one 64 KiB sector touched), CMP the rest, QE no part of it.
TEST(ChipProtection, EachPartDecodesItsOwnBits) {
    struct Case {
        std::uint32_t id;
        std::uint16_t status;
        std::uint32_t first;
        std::uint32_t count;
    };
    const Case cases[] = {
        {0xEF4015, 0x0000, 32, 0},  {0xEF4015, 0x0004, 31, 1},  {0xEF4015, 0x0024, 0, 1},
        {0xEF4015, 0x0014, 16, 16}, {0xEF4015, 0x0034, 0, 16},  {0xEF4015, 0x0018, 0, 32},
        {0xEF4015, 0x0044, 31, 1},  {0xEF4015, 0x0064, 0, 1},   {0xEF4015, 0x0054, 31, 1},
        {0xEF4015, 0x4024, 1, 31},  {0xEF4015, 0x4004, 0, 31},  {0xEF4015, 0x4000, 0, 32},
        {0xEF4015, 0x401C, 32, 0},  {0xEF4015, 0x3B80, 32, 0},  {0xEF7015, 0x0024, 0, 1},
        {0x1F8601, 0x0028, 0, 2},   {0x1F8601, 0x4064, 0, 32},  {0xC84015, 0x0010, 24, 8},
        {0xC84015, 0x0038, 0, 32},  {0xC22015, 0x0014, 16, 16}, {0xC22015, 0x0018, 0, 32},
        {0xC22015, 0x003C, 0, 32},  {0x9D6015, 0x0044, 31, 1},  {0x9D6015, 0x0040, 32, 0},
        {0x202015, 0x0020, 32, 0},
    };
    for (const Case& c : cases) {
        const chip_part* part = chip_find(c.id);
        ASSERT_NE(part, nullptr) << std::hex << c.id;
        chip_sectors sectors = chip_protected_sectors(*part, c.status);
        EXPECT_EQ(sectors.count, c.count) << part->name << " status 0x" << std::hex << c.status;
        if (c.count != 0) {
            EXPECT_EQ(sectors.first, c.first) << part->name << " status 0x" << std::hex << c.status;
        }
    }
}

// A status write changes the protection bits only: lock bits (SRL, SRP1,
// LB) never set, QE and SRWD/SRP0 as read, WIP/WEL/SUS not written.
TEST(ChipStatusWrite, ChangesOnlyTheProtection) {
    struct Case {
        std::uint32_t id;
        std::uint16_t read;
        std::uint16_t protection;
        std::uint16_t written;
    };
    const Case cases[] = {
        {0xEF4015, 0x02A4, 0x0000, 0x0280}, {0xEF4015, 0x0200, 0x0024, 0x0224},
        {0xEF4015, 0x3B27, 0x0000, 0x0200}, {0xEF4015, 0x0200, 0xFFFF, 0x427C},
        {0xEF4015, 0x8000, 0x0000, 0x0000}, {0x202015, 0x009F, 0x0000, 0x0080},
        {0x202015, 0x0000, 0xFFFF, 0x001C}, {0xC84015, 0x0100, 0x0004, 0x0004},
        {0x1F8601, 0x0280, 0x4000, 0x4280}, {0x9D6015, 0x0040, 0x00FF, 0x007C},
        {0xC22015, 0x0080, 0x0000, 0x0080},
    };
    for (const Case& c : cases) {
        const chip_part& part = *chip_find(c.id);
        EXPECT_EQ(chip_status_to_write(part, c.read, c.protection), c.written)
            << part.name << " read 0x" << std::hex << c.read << " protection 0x" << c.protection;
    }
}

// A Basic Flash Parameter Table of a W25Q16JV-like part, as JESD216 lays it out.
struct Bfpt {
    std::uint8_t bytes[4 * CHIP_BFPT_DWORDS] = {};
    void set(std::uint32_t index, std::uint32_t value) {
        for (int i = 0; i < 4; ++i) {
            bytes[4 * (index - 1) + static_cast<std::uint32_t>(i)] =
                static_cast<std::uint8_t>(value >> (8 * i));
        }
    }
    Bfpt() {
        set(1, 0xFFF320E5);
        set(2, 0x00FFFFFF);  // 16 Mbit - 1
        set(8, 0x520F200C);  // 20: 4 KiB, 52: 32 KiB
        set(9, 0x0000D810);  // D8: 64 KiB
        // Multiplier 4 (x10); 48, 128, 160 ms in units of 16 ms.
        set(10, 0x29u << 18 | 0x27u << 11 | 0x22u << 4 | 4);
        // Chip 20 x 256 ms, page 7 x 64 us of 2^8 bytes, multiplier 2 (x6).
        set(11, 0x33u << 24 | 0x26u << 8 | 8u << 4 | 2);
    }
};

TEST(ChipSfdp, BfptGivesPageEraseTypesAndTimes) {
    Bfpt table;
    chip_part part{};
    ASSERT_TRUE(chip_from_bfpt(table.bytes, CHIP_BFPT_DWORDS, 0x200000, 0xAA4015, &part));
    EXPECT_EQ(part.jedec_id, 0xAA4015U);
    EXPECT_EQ(part.page_size, 256U);
    EXPECT_EQ(part.page_program_typ_us, 448U);
    EXPECT_EQ(part.page_program_max_us, 2688U);
    const chip_erase_type expected[] = {{0x20, 0x1000, 48, 480},
                                        {0x52, 0x8000, 128, 1280},
                                        {0xD8, 0x10000, 160, 1600},
                                        {0xC7, 0, 5120, 51200}};
    for (std::size_t i = 0; i < CHIP_ERASE_TYPES; ++i) {
        EXPECT_EQ(part.erases[i].opcode, expected[i].opcode) << i;
        EXPECT_EQ(part.erases[i].size, expected[i].size) << i;
        EXPECT_EQ(part.erases[i].typ_ms, expected[i].typ_ms) << i;
        EXPECT_EQ(part.erases[i].max_ms, expected[i].max_ms) << i;
    }
    EXPECT_FALSE(part.status.writable);  // its layout is no part of the table

    // Density as a power of two, also 16 Mbit.
    table.set(2, 0x80000000u | 24);
    EXPECT_TRUE(chip_from_bfpt(table.bytes, CHIP_BFPT_DWORDS, 0x200000, 0xAA4015, &part));
}

TEST(ChipSfdp, UnusableTablesAreRefused) {
    struct Case {
        const char* name;
        std::uint32_t index;  // DWORD changed (0: none)
        std::uint32_t value;
        std::uint32_t dwords;
    };
    for (const Case& c :
         {Case{"4 MiB", 2, 0x01FFFFFF, 16}, Case{"1 MiB", 2, 0x80000000u | 23, 16},
          Case{"pages of 512", 11, 0x33002692, 16}, Case{"pages of 128", 11, 0x33002672, 16},
          Case{"no erase types", 8, 0, 16}, Case{"too short", 0, 0, 8}}) {
        Bfpt table;
        if (c.index != 0) {
            table.set(c.index, c.value);
        }
        if (c.name == std::string("no erase types")) {
            table.set(9, 0);
        }
        chip_part part{};
        EXPECT_FALSE(chip_from_bfpt(table.bytes, c.dwords, 0x200000, 0xAA4015, &part)) << c.name;
    }
}

TEST(ChipSfdp, HeaderPointsAtTheBfpt) {
    std::uint8_t header[16] = {'S',  'F', 'D', 'P', 6,    1,    0,    0xFF,
                               0x00, 6,   1,   16,  0x80, 0x00, 0x00, 0xFF};
    std::uint32_t address = 0;
    std::uint32_t dwords = 0;
    ASSERT_TRUE(chip_sfdp_header(header, &address, &dwords));
    EXPECT_EQ(address, 0x80U);
    EXPECT_EQ(dwords, 16U);
    header[0] = 0xFF;  // a part without SFDP reads ones
    EXPECT_FALSE(chip_sfdp_header(header, &address, &dwords));
}

}  // namespace
