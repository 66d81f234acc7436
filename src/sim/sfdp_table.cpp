#include "sim/sfdp_table.h"

#include <cstring>

namespace sim {
namespace {

constexpr std::uint64_t kMs = 1'000'000;

// A typical time as a 7-bit field: count in bits 4:0, unit in 6:5, rounded up.
std::uint32_t time_field(std::uint64_t ns, const std::uint64_t (&units)[4], std::uint64_t* coded) {
    for (std::uint32_t unit = 0; unit < 4; ++unit) {
        const std::uint64_t count = (ns + units[unit] - 1) / units[unit];
        if (count <= 32) {
            const std::uint64_t n = count == 0 ? 1 : count;
            *coded = n * units[unit];
            return (unit << 5) | static_cast<std::uint32_t>(n - 1);
        }
    }
    *coded = 32 * units[3];
    return 0x7F;
}

// The smallest C with 2 (C + 1) x typical >= maximum.
std::uint32_t multiplier(std::uint64_t typical, std::uint64_t maximum) {
    for (std::uint32_t c = 0; c < 15; ++c) {
        if (2 * (c + 1) * typical >= maximum) {
            return c;
        }
    }
    return 15;
}

void put_dword(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

// DWORD10: the erase types' typical times and the multiplier to the maximum,
// which must also cover the chip erase (its typical is in DWORD11).
std::uint32_t erase_times_dword(const ChipModel& model, std::uint32_t chip_c) {
    static constexpr std::uint64_t kEraseUnits[4] = {kMs, 16 * kMs, 128 * kMs, 1000 * kMs};
    const std::uint64_t ModelTimes::*typs[3] = {&ModelTimes::erase_4k, &ModelTimes::erase_32k,
                                                &ModelTimes::erase_64k};
    std::uint32_t dword10 = 0;
    std::uint32_t c = chip_c;
    for (std::uint32_t i = 0; i < 3; ++i) {
        std::uint64_t coded = 0;
        dword10 |= time_field(model.typical.*typs[i], kEraseUnits, &coded) << (4 + 7 * i);
        const std::uint32_t need = multiplier(coded, model.maximum.*typs[i]);
        c = need > c ? need : c;
    }
    return dword10 | c;
}

}  // namespace

void build_sfdp(const ChipModel& model, std::uint8_t (&table)[kSfdpBytes]) {
    std::memset(table, 0xFF, sizeof table);
    // Header: "SFDP", revision 1.6, one parameter header, then the BFPT's.
    const std::uint8_t header[16] = {
        'S',  'F',  'D', 'P', 0x06, 0x01, 0x00, 0xFF, 0x00, 0x06, 0x01, 0x10, kSfdpBfptAddress,
        0x00, 0x00, 0xFF};
    std::memcpy(table, header, sizeof header);
    const std::uint32_t op_4k = erase_opcode(model, 0x1000);
    const std::uint32_t op_32k = erase_opcode(model, 0x8000);
    std::uint8_t* bfpt = table + kSfdpBfptAddress;
    std::memset(bfpt, 0, 4 * kSfdpBfptDwords);
    // DWORD1: 4 KiB erase with its opcode; 0x50 for volatile status writes.
    put_dword(bfpt, 0xFFF900E1U | op_4k << 8);
    put_dword(bfpt + 4, kChipSize * 8 - 1);  // DWORD2: density in bits, minus one
    // DWORDs 8 and 9: erase types (size as 2^N, opcode).
    put_dword(bfpt + 28, 0x0C | op_4k << 8 | 0x0F << 16 | op_32k << 24);
    put_dword(bfpt + 32, 0x10 | 0xD8U << 8);
    // DWORD11's chip erase typical, whose multiplier DWORD10 carries.
    static constexpr std::uint64_t kChipUnits[4] = {16 * kMs, 256 * kMs, 4000 * kMs, 64000 * kMs};
    std::uint64_t chip_coded = 0;
    const std::uint32_t chip_field = time_field(model.typical.chip_erase, kChipUnits, &chip_coded);
    const std::uint32_t chip_c = multiplier(chip_coded, model.maximum.chip_erase);
    put_dword(bfpt + 36, erase_times_dword(model, chip_c));
    // DWORD11: program multiplier, page of 2^8, page program and chip erase typicals.
    static constexpr std::uint64_t kPageUnits[4] = {8'000, 64'000, 64'000, 64'000};
    std::uint64_t page_coded = 0;
    std::uint32_t page_field = time_field(model.typical.page_program, kPageUnits, &page_coded);
    page_field = page_field > 0x3F ? 0x3F : page_field;
    put_dword(bfpt + 40, multiplier(page_coded, model.maximum.page_program) | 8U << 4 |
                             page_field << 8 | chip_field << 24);
}

}  // namespace sim
