#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

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
    const chip_erase_type expected[] = {{0x20, 0x1000, 48, 480, false},
                                        {0x52, 0x8000, 128, 1280, false},
                                        {0xD8, 0x10000, 160, 1600, false},
                                        {0xC7, 0, 5120, 51200, false}};
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

// Nothing of a table is trusted that a real part could not have: an erase
// of a planned size by another instruction than 0x20, 0x52 or 0xD8, another
// size or page, a first table whose writes go a byte at a time.
TEST(ChipSfdp, UnusableTablesAreRefused) {
    struct Change {
        std::uint32_t index;
        std::uint32_t value;
    };
    struct Case {
        const char* name;
        std::vector<Change> changes;
        std::uint32_t dwords;
    };
    const Case cases[] = {
        {"4 MiB", {{2, 0x01FFFFFF}}, 16},
        {"1 MiB", {{2, 0x80000000u | 23}}, 16},
        {"pages of 512", {{11, 0x33002692}}, 16},
        {"pages of 128", {{11, 0x33002672}}, 16},
        {"no erase types", {{8, 0}, {9, 0}}, 16},
        {"too short", {}, 8},
        {"4 KiB by opcode 00", {{8, 0x520F000C}}, 16},
        {"4 KiB by opcode 01", {{8, 0x520F010C}}, 16},
        {"32 KiB by opcode 01", {{8, 0x010F200C}}, 16},
        {"64 KiB by opcode 00", {{9, 0x00000010}}, 16},
        {"64 KiB by chip erase C7", {{9, 0x0000C710}}, 16},
        {"first table, writes a byte at a time", {{1, 0xFFF320E1}}, 9},
    };
    for (const Case& c : cases) {
        Bfpt table;
        for (const Change& change : c.changes) {
            table.set(change.index, change.value);
        }
        chip_part part{};
        EXPECT_FALSE(chip_from_bfpt(table.bytes, c.dwords, 0x200000, 0xAA4015, &part)) << c.name;
    }
    // What the checks let through: a 256 KiB type of its own opcode is no
    // planned size; a first table with 64-byte writes has 256-byte pages.
    Bfpt table;
    table.set(9, 0xDC12D810);
    chip_part part{};
    EXPECT_TRUE(chip_from_bfpt(table.bytes, 16, 0x200000, 0xAA4015, &part));
    EXPECT_TRUE(chip_from_bfpt(table.bytes, 9, 0x200000, 0xAA4015, &part));
    EXPECT_EQ(part.page_size, 256U);
}

// Times past any real part (a chip erase of 32 x 64 s, times 32) are held to
// four times the slowest maximum among the table's rows: a station waits
// minutes at worst, not hours.
TEST(ChipSfdp, TimesAreClampedToWhatAPartCouldTake) {
    struct Case {
        const char* name;
        std::uint32_t dw10;
        std::uint32_t dw11;
        std::uint32_t block_max_ms;  // the 4 KiB erase's
        std::uint32_t chip_max_ms;
        std::uint32_t page_max_us;
    };
    const Case cases[] = {
        {"as a part has them", 0x29u << 18 | 0x27u << 11 | 0x22u << 4 | 4,
         0x33u << 24 | 0x26u << 8 | 8u << 4 | 2, 480, 51200, 2688},
        {"longest of everything", 0xFFFFFFFF, 0x7Fu << 24 | 0x3Fu << 8 | 8u << 4 | 0xF, 12000,
         160000, 20000},
    };
    for (const Case& c : cases) {
        Bfpt table;
        table.set(10, c.dw10);
        table.set(11, c.dw11);
        chip_part part{};
        ASSERT_TRUE(chip_from_bfpt(table.bytes, 16, 0x200000, 0xAA4015, &part)) << c.name;
        EXPECT_EQ(part.erases[0].max_ms, c.block_max_ms) << c.name;
        EXPECT_LE(part.erases[0].typ_ms, part.erases[0].max_ms) << c.name;
        EXPECT_EQ(chip_whole_erase(part)->max_ms, c.chip_max_ms) << c.name;
        EXPECT_LE(chip_whole_erase(part)->typ_ms, c.chip_max_ms) << c.name;
        EXPECT_EQ(part.page_program_max_us, c.page_max_us) << c.name;
    }
}

TEST(ChipSfdp, HeaderPointsAtTheBfpt) {
    struct Case {
        const char* name;
        std::size_t at;  // byte changed
        std::uint8_t value;
        bool taken;
    };
    const Case cases[] = {
        {"as read", 0, 'S', true},
        {"a later minor revision", 4, 9, true},
        {"no signature (a part without SFDP reads ones)", 0, 0xFF, false},
        {"SFDP major revision 2", 5, 2, false},
        {"BFPT major revision 2", 10, 2, false},
        {"BFPT major revision 0", 10, 0, false},
        {"another table first", 8, 0x84, false},
        {"shorter than the first BFPT", 11, 8, false},
    };
    for (const Case& c : cases) {
        std::uint8_t header[16] = {'S',  'F', 'D', 'P', 6,    1,    0,    0xFF,
                                   0x00, 6,   1,   16,  0x80, 0x00, 0x00, 0xFF};
        header[c.at] = c.value;
        std::uint32_t address = 0;
        std::uint32_t dwords = 0;
        EXPECT_EQ(chip_sfdp_header(header, &address, &dwords), c.taken) << c.name;
        if (c.taken) {
            EXPECT_EQ(address, 0x80U) << c.name;
            EXPECT_EQ(dwords, 16U) << c.name;
        }
    }
}

// A status write keeps every bit the board relies on and never sets a
// one-time bit: GD25Q16 LB (b10, b11 on the E die) written 0 and expected as
// read, DC (b12) and QE kept; the W25Q16JV's SRL and LB3..1 likewise.
TEST(ChipStatusWrite, OneTimeBitsWrittenZeroExpectedAsRead) {
    struct Case {
        std::uint32_t id;
        std::uint16_t read;
        std::uint16_t protection;
        std::uint16_t written;
        std::uint16_t expected;
    };
    const Case cases[] = {
        {0xC84015, 0x0200, 0x001C, 0x021C, 0x021C},  // QE kept
        {0xC84015, 0x0600, 0x001C, 0x021C, 0x061C},  // LB as read
        {0xC84015, 0x0E00, 0x0000, 0x0200, 0x0E00},  // both LB of the E die
        {0xC84015, 0x1300, 0x001C, 0x121C, 0x121C},  // DC kept, SRP1 cleared
        {0xC84015, 0x4000, 0x0000, 0x0000, 0x0000},  // CMP is protection
        {0xEF4015, 0x3B80, 0x001C, 0x029C, 0x3A9C},  // SRL cleared, LB3..1 as read
        {0x202015, 0x0080, 0x001C, 0x009C, 0x009C},
    };
    for (const Case& c : cases) {
        const chip_part& part = *chip_find(c.id);
        const std::uint16_t written = chip_status_to_write(part, c.read, c.protection);
        EXPECT_EQ(written, c.written) << part.name << " read 0x" << std::hex << c.read;
        EXPECT_EQ(chip_status_expected(part, c.read, written) & chip_status_checked(part),
                  c.expected)
            << part.name << " read 0x" << std::hex << c.read;
        EXPECT_TRUE(chip_status_refusal(part, c.read).empty()) << part.name;
    }
}

// What a status write is refused for before anything is written: a layout
// not known (an SFDP part, a forced one), a reserved bit or SUS read as 1.
TEST(ChipStatusWrite, RefusedWhereTheRegistersAreNotTrusted) {
    chip_part sfdp{};
    Bfpt table;
    ASSERT_TRUE(chip_from_bfpt(table.bytes, 16, 0x200000, 0xAA4015, &sfdp));
    struct Case {
        const char* name;
        const chip_part* part;
        std::uint16_t read;
        const char* said;  // a piece of the reason
    };
    const Case cases[] = {
        {"an SFDP part", &sfdp, 0x0000, "not known"},
        {"a forced part", &CHIP_FORCED_PART, 0x0000, "not known"},
        {"M25P16 bit 6", &CHIP_M25P16, 0x0040, "reserved"},
        {"W25Q16JV S10", chip_find(0xEF4015), 0x0600, "reserved"},
        {"W25Q16JV suspended", chip_find(0xEF4015), 0x8200, "suspended"},
        {"GD25Q16 b13", chip_find(0xC84015), 0x2200, "reserved"},
        {"GD25Q16 suspended", chip_find(0xC84015), 0x8000, "suspended"},
        {"AT25SF161 suspended", chip_find(0x1F8601), 0x8000, "suspended"},
    };
    for (const Case& c : cases) {
        EXPECT_NE(chip_status_refusal(*c.part, c.read).find(c.said), std::string::npos) << c.name;
    }
}

// Which erases a die is driven with: those its SFDP lists alike, or without
// SFDP those every die under the ID performs alike (C2 20 15: the first
// MX25L1605's 0x20 erases 64 KiB), and the name only SFDP may narrow.
TEST(ChipDies, ErasesBothAgreeOn) {
    struct Case {
        const char* name;
        std::uint32_t id;
        std::vector<chip_sfdp_erase> sfdp;  // empty: no usable SFDP
        std::vector<std::uint8_t> opcodes;
        const char* part;
    };
    const std::vector<chip_sfdp_erase> later = {{0x20, 0x1000}, {0xD8, 0x10000}, {0x52, 0x10000}};
    const Case cases[] = {
        {"MX without SFDP", 0xC22015, {}, {0xD8, 0xC7}, "MX25L1605 family"},
        {"MX25L1606E", 0xC22015, later, {0x20, 0xD8, 0x52, 0xC7}, "MX25L1606E"},
        {"MX25L1673E",
         0xC22015,
         {{0x20, 0x1000}, {0xD8, 0x10000}},
         {0x20, 0xD8, 0xC7},
         "MX25L1606E"},
        {"MX with a 64 KiB 0x20",
         0xC22015,
         {{0x20, 0x10000}, {0xD8, 0x10000}},
         {0xD8, 0xC7},
         "MX25L1606E"},
        {"W25Q16 without SFDP", 0xEF4015, {}, {0x20, 0x52, 0xD8, 0xC7}, "W25Q16JV"},
        {"W25Q16 with a 32 KiB 0x52 unlisted",
         0xEF4015,
         {{0x20, 0x1000}, {0xD8, 0x10000}},
         {0x20, 0xD8, 0xC7},
         "W25Q16JV"},
    };
    for (const Case& c : cases) {
        chip_sfdp_erase sfdp[CHIP_ERASE_TYPES] = {};
        std::copy(c.sfdp.begin(), c.sfdp.end(), sfdp);
        const chip_part part = chip_die_part(*chip_find(c.id), c.sfdp.empty() ? nullptr : sfdp);
        std::vector<std::uint8_t> opcodes;
        for (const chip_erase_type& type : part.erases) {
            if (type.opcode != 0) {
                opcodes.push_back(type.opcode);
            }
        }
        EXPECT_EQ(opcodes, c.opcodes) << c.name;
        EXPECT_STREQ(part.name, c.part) << c.name;
    }
}

}  // namespace
