// A part known by no row, described from its own SFDP tables: the header
// finds the Basic Flash Parameter Table, the table gives the size, the page,
// the erase types and the times. Each step below reads its fields through
// the accessors of sfdp.h and decides what they mean for the part.
#include "chip/sfdp.h"

#include <algorithm>

#include "chip/chip.h"

namespace {

struct erase_time {
    std::uint32_t typ_ms;
    std::uint32_t max_ms;
};

// The erase instructions a table may name: an erase by any other opcode
// (0x01 would write the status register with the address bytes) makes the
// whole table untrusted.
constexpr std::uint8_t kEraseOpcodes[] = {0x20, 0x52, CHIP_INS_SE};

bool known_erase_opcode(std::uint8_t opcode) {
    for (std::uint8_t known : kEraseOpcodes) {
        if (opcode == known) {
            return true;
        }
    }
    return false;
}

// The longest times a real part could have: CHIP_SFDP_TIME_FACTOR times the
// slowest maximum among the table's rows, for a page, a block and the chip.
struct time_limits {
    std::uint32_t page_us = 0;
    std::uint32_t block_ms = 0;
    std::uint32_t chip_ms = 0;
};

time_limits sfdp_time_limits() {
    time_limits limits;
    std::size_t count = 0;
    const chip_part* const* rows = chip_table(&count);
    for (std::size_t i = 0; i < count; ++i) {
        limits.page_us = std::max(limits.page_us, rows[i]->page_program_max_us);
        for (const chip_erase_type& type : rows[i]->erases) {
            std::uint32_t& slowest = type.size == 0 ? limits.chip_ms : limits.block_ms;
            slowest = type.opcode != 0 ? std::max(slowest, type.max_ms) : slowest;
        }
    }
    limits.page_us *= CHIP_SFDP_TIME_FACTOR;
    limits.block_ms *= CHIP_SFDP_TIME_FACTOR;
    limits.chip_ms *= CHIP_SFDP_TIME_FACTOR;
    return limits;
}

// A typical and maximum time with neither past `limit`.
erase_time clamped(std::uint32_t typ, std::uint32_t max, std::uint32_t limit) {
    return {std::min(typ, limit), std::min(max, limit)};
}

// The BFPT's DWORDs, numbered from 1 as JESD216 numbers them; 0 past the end.
struct bfpt_table {
    std::uint32_t dw[CHIP_BFPT_DWORDS + 1] = {};
    std::uint32_t dwords = 0;

    bfpt_table(const std::uint8_t* table, std::uint32_t count) {
        dwords = count < CHIP_BFPT_DWORDS ? count : std::uint32_t{CHIP_BFPT_DWORDS};
        for (std::uint32_t n = 1; n <= dwords; ++n) {
            dw[n] = sfdp_dword(table, n);
        }
    }
    bool has(std::uint32_t n) const { return dwords >= n; }
};

// What the table does not say: the M25P16's times, page and status layout;
// the protection decoded only as the BP field (any value: all), and never
// written, as the part's own layout is unknown. No erase types yet.
chip_part sfdp_base_part(std::uint32_t size, std::uint32_t jedec_id) {
    chip_part part = CHIP_FORCED_PART;
    part.name = "SFDP part";
    part.jedec_id = jedec_id;
    part.size = size;
    part.sfdp = true;
    part.status.bp_all_from = 1;
    part.status.writable = false;
    for (chip_erase_type& type : part.erases) {
        type = chip_erase_type{};
    }
    return part;
}

// DWORD11: the page and its program times, where the table has them.
void take_page(const bfpt_table& bfpt, chip_part* part) {
    if (!bfpt.has(BFPT_TIMED_DWORDS)) {
        return;
    }
    const std::uint32_t dw11 = bfpt.dw[11];
    part->page_size = bfpt_page_size(dw11);
    const std::uint32_t typ_us = bfpt_page_program_typ_us(dw11);
    const erase_time page =
        clamped(typ_us, typ_us * bfpt_program_max_factor(dw11), sfdp_time_limits().page_us);
    part->page_program_typ_us = page.typ_ms;
    part->page_program_max_us = page.max_ms;
}

// Erase type n's times (DWORD10); without them, the M25P16's 64 KiB erase's.
erase_time erase_type_time(const bfpt_table& bfpt, std::uint32_t n) {
    if (!bfpt.has(BFPT_TIMED_DWORDS)) {
        const chip_erase_type& sector = *chip_erase_of(CHIP_M25P16, CHIP_SECTOR_SIZE);
        return {sector.typ_ms, sector.max_ms};
    }
    const std::uint32_t typ_ms = bfpt_erase_typ_ms(bfpt.dw[10], n);
    return clamped(typ_ms, typ_ms * bfpt_erase_max_factor(bfpt.dw[10]),
                   sfdp_time_limits().block_ms);
}

// The chip erase's times (DWORD11, DWORD10's factor); without them, the M25P16's.
erase_time chip_erase_time(const bfpt_table& bfpt) {
    if (!bfpt.has(BFPT_TIMED_DWORDS)) {
        const chip_erase_type& chip = *chip_whole_erase(CHIP_M25P16);
        return {chip.typ_ms, chip.max_ms};
    }
    const std::uint32_t typ_ms = bfpt_chip_erase_typ_ms(bfpt.dw[11]);
    return clamped(typ_ms, typ_ms * bfpt_erase_max_factor(bfpt.dw[10]), sfdp_time_limits().chip_ms);
}

constexpr std::uint32_t kPlannedSizes[] = {CHIP_BLOCK_SIZE, 0x8000U, CHIP_SECTOR_SIZE};

// Erase types 1-4 (DWORDs 8 and 9): the block sizes planning uses, one
// instruction each (the first type of that size), smallest first, then the
// chip erase. False when none of those sizes is there, or when one of them
// names an instruction no erase of a part has.
bool take_erase_types(const bfpt_table& bfpt, chip_part* part) {
    const std::uint64_t dw8_9 = bfpt_erase_dwords(bfpt.dw[8], bfpt.dw[9]);
    for (std::uint32_t n = 1; n <= 4; ++n) {
        const bfpt_erase type = bfpt_erase_type(dw8_9, n);
        const bool planned = std::find(std::begin(kPlannedSizes), std::end(kPlannedSizes),
                                       type.size) != std::end(kPlannedSizes);
        if (planned && !known_erase_opcode(type.opcode)) {
            return false;
        }
    }
    std::size_t used = 0;
    for (std::uint32_t wanted : kPlannedSizes) {
        for (std::uint32_t n = 1; n <= 4; ++n) {
            const bfpt_erase type = bfpt_erase_type(dw8_9, n);
            if (type.size == wanted) {
                const erase_time time = erase_type_time(bfpt, n);
                part->erases[used++] = {type.opcode, wanted, time.typ_ms, time.max_ms, false};
                break;
            }
        }
    }
    if (used == 0) {
        return false;
    }
    const erase_time chip = chip_erase_time(bfpt);
    part->erases[used] = {CHIP_INS_BE, 0, chip.typ_ms, chip.max_ms, false};
    return true;
}

}  // namespace

bool chip_sfdp_header(const std::uint8_t bytes[16], std::uint32_t* address, std::uint32_t* dwords) {
    // The first parameter header is the BFPT's.
    const std::uint8_t* param = bytes + SFDP_HEADER_BYTES;
    if (sfdp_signature(bytes) != CHIP_SFDP_SIGNATURE || sfdp_major(bytes) != CHIP_SFDP_MAJOR ||
        sfdp_param_id(param) != SFDP_BFPT_ID || sfdp_param_major(param) != CHIP_SFDP_MAJOR ||
        sfdp_param_dwords(param) < BFPT_FIRST_DWORDS) {
        return false;
    }
    *dwords = sfdp_param_dwords(param);
    *address = sfdp_param_address(param);
    return true;
}

bool chip_from_bfpt(const std::uint8_t* table, std::uint32_t dwords, std::uint32_t size,
                    std::uint32_t jedec_id, chip_part* part) {
    if (dwords < BFPT_FIRST_DWORDS) {
        return false;
    }
    const bfpt_table bfpt(table, dwords);
    if (bfpt_density_bits(bfpt.dw[2]) != std::uint64_t{size} * 8) {
        return false;
    }
    // A first table says nothing of the page but whether writes take 64
    // bytes or more; 256 is then assumed, as every part of the time has.
    if (!bfpt.has(BFPT_TIMED_DWORDS) && !bfpt_writes_64_bytes(bfpt.dw[1])) {
        return false;
    }
    *part = sfdp_base_part(size, jedec_id);
    take_page(bfpt, part);
    if (part->page_size != 256) {
        return false;  // the transport programs pages of 256 bytes, no more, no less
    }
    return take_erase_types(bfpt, part);
}

void chip_bfpt_erases(const std::uint8_t* table, chip_sfdp_erase* out) {
    const std::uint64_t dw8_9 = bfpt_erase_dwords(sfdp_dword(table, 8), sfdp_dword(table, 9));
    for (std::uint32_t n = 1; n <= CHIP_ERASE_TYPES; ++n) {
        const bfpt_erase type = bfpt_erase_type(dw8_9, n);
        out[n - 1] = {type.opcode, type.size};
    }
}
