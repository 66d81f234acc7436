// The SFDP fields, each read from where JESD216 puts it: a field read a bit
// off, or from a neighbour's slot, shows here before it shows as a wrong time.
#include "chip/sfdp.h"

#include <gtest/gtest.h>

#include "chip/chip.h"

namespace {

TEST(SfdpFields, DensityInBitsEitherForm) {
    struct Case {
        std::uint32_t dw2;
        std::uint64_t bits;
    };
    const Case cases[] = {
        {0x00FFFFFF, 16ULL << 20},
        {0x80000018, 1ULL << 24},
        {0x80000027, 1ULL << 39},
        {0x80000028, 0},
        {0xFFFFFFFF, 0},
        {0x00000000, 1},
        {0x7FFFFFFF, 0x80000000ULL},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(bfpt_density_bits(c.dw2), c.bits) << std::hex << "DWORD2 0x" << c.dw2;
    }
}

TEST(SfdpFields, EraseTypesOneToFour) {
    // 20: 4 KiB, 52: 32 KiB; D8: 64 KiB, then a size of 2^32 that no part has.
    const std::uint64_t dw8_9 = bfpt_erase_dwords(0x520F200C, 0xAA20D810);
    const bfpt_erase expected[] = {{0x1000, 0x20}, {0x8000, 0x52}, {0x10000, 0xD8}, {0, 0xAA}};
    for (std::uint32_t n = 1; n <= 4; ++n) {
        const bfpt_erase type = bfpt_erase_type(dw8_9, n);
        EXPECT_EQ(type.size, expected[n - 1].size) << "type " << n;
        EXPECT_EQ(type.opcode, expected[n - 1].opcode) << "type " << n;
    }
    EXPECT_EQ(bfpt_erase_type(bfpt_erase_dwords(0, 0x001F0000), 4).size, 0x80000000U);
    EXPECT_EQ(bfpt_erase_type(bfpt_erase_dwords(0x0000FF00, 0), 1).size, 0U);  // no type 1
}

// Each type's field alone in DWORD10, in each unit: the others read as the
// shortest time, 1 ms.
TEST(SfdpFields, EraseTypicalTimesPerType) {
    struct Case {
        std::uint32_t n;
        std::uint32_t field;  // unit in bits 6:5, count - 1 in 4:0
        std::uint32_t ms;
    };
    const Case cases[] = {
        {1, 0x04, 5},   {1, 0x7F, 32000}, {2, 0x22, 48},   {2, 0x40, 128},
        {3, 0x29, 160}, {3, 0x60, 1000},  {4, 0x5F, 4096}, {4, 0x01, 2},
    };
    for (const Case& c : cases) {
        const std::uint32_t dw10 = c.field << (4 + 7 * (c.n - 1));
        for (std::uint32_t n = 1; n <= 4; ++n) {
            EXPECT_EQ(bfpt_erase_typ_ms(dw10, n), n == c.n ? c.ms : 1U)
                << "field 0x" << std::hex << c.field << " of type " << c.n << ", type " << n;
        }
        EXPECT_EQ(bfpt_erase_max_factor(dw10), 2U);
    }
    EXPECT_EQ(bfpt_erase_max_factor(0xFFFFFFF4), 10U);
    EXPECT_EQ(bfpt_erase_max_factor(0x0000000F), 32U);
}

TEST(SfdpFields, ProgramWordFields) {
    struct Case {
        std::uint32_t dw11;
        std::uint32_t factor;
        std::uint32_t page;
        std::uint32_t program_us;
        std::uint32_t chip_ms;
    };
    const Case cases[] = {
        {0x33002682, 6, 256, 448, 5120},
        {0x00000000, 2, 1, 8, 16},
        {0x7F003F9F, 32, 512, 2048, 32 * 64000},
        {0x41001F40, 2, 16, 256, 2 * 4000},
        {0x80FFC000, 2, 1, 8, 16},  // bits 31 and 23:14 belong to no field read here
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "DWORD11 0x" << c.dw11);
        EXPECT_EQ(bfpt_program_max_factor(c.dw11), c.factor);
        EXPECT_EQ(bfpt_page_size(c.dw11), c.page);
        EXPECT_EQ(bfpt_page_program_typ_us(c.dw11), c.program_us);
        EXPECT_EQ(bfpt_chip_erase_typ_ms(c.dw11), c.chip_ms);
    }
}

TEST(SfdpFields, HeaderAndParameterHeader) {
    const std::uint8_t header[16] = {'S',  'F',  'D',  'P',  6,    1,    0,    0xFF,
                                     0x00, 0x06, 0x01, 0x10, 0x56, 0x34, 0x12, 0xFF};
    EXPECT_EQ(sfdp_signature(header), CHIP_SFDP_SIGNATURE);
    const std::uint8_t* param = header + SFDP_HEADER_BYTES;
    EXPECT_EQ(sfdp_param_id(param), SFDP_BFPT_ID);
    EXPECT_EQ(sfdp_param_dwords(param), 16U);
    EXPECT_EQ(sfdp_param_address(param), 0x123456U);
    const std::uint8_t other[8] = {0x84, 0, 1, 2, 0, 1, 0, 0xFF};  // the 4-byte address table
    EXPECT_EQ(sfdp_param_id(other), 0xFF84);
}

// The first JESD216's nine DWORDs: no times and no page size, so the
// M25P16's; a table with times has them read from DWORDs 10 and 11.
TEST(SfdpFields, NineDwordTableTakesTheM25p16Times) {
    std::uint8_t table[4 * CHIP_BFPT_DWORDS] = {};
    auto set = [&table](std::uint32_t n, std::uint32_t value) {
        for (std::uint32_t i = 0; i < 4; ++i) {
            table[4 * (n - 1) + i] = static_cast<std::uint8_t>(value >> (8 * i));
        }
    };
    set(2, 0x00FFFFFF);
    set(8, 0x520F200C);
    set(9, 0x0000D810);
    set(10, 0xFFFFFFFF);  // past the nine: never read
    set(11, 0x00000010);  // pages of 2 bytes, were it read
    chip_part part{};
    ASSERT_TRUE(chip_from_bfpt(table, BFPT_FIRST_DWORDS, 0x200000, 0x123456, &part));
    EXPECT_EQ(part.page_size, 256U);
    EXPECT_EQ(part.page_program_typ_us, CHIP_M25P16.page_program_typ_us);
    EXPECT_EQ(part.page_program_max_us, CHIP_M25P16.page_program_max_us);
    const chip_erase_type expected[] = {{0x20, 0x1000, 600, 3000},
                                        {0x52, 0x8000, 600, 3000},
                                        {0xD8, 0x10000, 600, 3000},
                                        {0xC7, 0, 13000, 40000}};
    for (std::size_t i = 0; i < CHIP_ERASE_TYPES; ++i) {
        EXPECT_EQ(part.erases[i].opcode, expected[i].opcode) << i;
        EXPECT_EQ(part.erases[i].size, expected[i].size) << i;
        EXPECT_EQ(part.erases[i].typ_ms, expected[i].typ_ms) << i;
        EXPECT_EQ(part.erases[i].max_ms, expected[i].max_ms) << i;
    }
    EXPECT_EQ(part.status.bp_all_from, 1U);  // any BP value: the whole chip
    EXPECT_FALSE(part.status.writable);
    EXPECT_FALSE(chip_from_bfpt(table, BFPT_TIMED_DWORDS, 0x200000, 0x123456, &part));
}

}  // namespace
