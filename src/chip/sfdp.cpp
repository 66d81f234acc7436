// A part known by no row, described from its own SFDP tables: the header
// finds the Basic Flash Parameter Table, the table gives the size, the page,
// the erase types and the times. Each step below reads its fields through
// the accessors of sfdp.h and decides what they mean for the part.
#include "chip/sfdp.h"

#include "chip/chip.h"

namespace {

struct erase_time {
    std::uint32_t typ_ms;
    std::uint32_t max_ms;
};

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
    part->page_program_typ_us = bfpt_page_program_typ_us(dw11);
    part->page_program_max_us = part->page_program_typ_us * bfpt_program_max_factor(dw11);
}

// Erase type n's times (DWORD10); without them, the M25P16's 64 KiB erase's.
erase_time erase_type_time(const bfpt_table& bfpt, std::uint32_t n) {
    if (!bfpt.has(BFPT_TIMED_DWORDS)) {
        const chip_erase_type& sector = *chip_erase_of(CHIP_M25P16, CHIP_SECTOR_SIZE);
        return {sector.typ_ms, sector.max_ms};
    }
    const std::uint32_t typ_ms = bfpt_erase_typ_ms(bfpt.dw[10], n);
    return {typ_ms, typ_ms * bfpt_erase_max_factor(bfpt.dw[10])};
}

// The chip erase's times (DWORD11, DWORD10's factor); without them, the M25P16's.
erase_time chip_erase_time(const bfpt_table& bfpt) {
    if (!bfpt.has(BFPT_TIMED_DWORDS)) {
        const chip_erase_type& chip = *chip_whole_erase(CHIP_M25P16);
        return {chip.typ_ms, chip.max_ms};
    }
    const std::uint32_t typ_ms = bfpt_chip_erase_typ_ms(bfpt.dw[11]);
    return {typ_ms, typ_ms * bfpt_erase_max_factor(bfpt.dw[10])};
}

// Erase types 1-4 (DWORDs 8 and 9): the block sizes planning uses, one
// instruction each (the first type of that size), smallest first, then the
// chip erase. False when none of those sizes is there.
bool take_erase_types(const bfpt_table& bfpt, chip_part* part) {
    const std::uint64_t dw8_9 = bfpt_erase_dwords(bfpt.dw[8], bfpt.dw[9]);
    std::size_t used = 0;
    for (std::uint32_t wanted : {CHIP_BLOCK_SIZE, 0x8000U, CHIP_SECTOR_SIZE}) {
        for (std::uint32_t n = 1; n <= 4; ++n) {
            const bfpt_erase type = bfpt_erase_type(dw8_9, n);
            if (type.size == wanted) {
                const erase_time time = erase_type_time(bfpt, n);
                part->erases[used++] = {type.opcode, wanted, time.typ_ms, time.max_ms};
                break;
            }
        }
    }
    if (used == 0) {
        return false;
    }
    const erase_time chip = chip_erase_time(bfpt);
    part->erases[used] = {CHIP_INS_BE, 0, chip.typ_ms, chip.max_ms};
    return true;
}

}  // namespace

bool chip_sfdp_header(const std::uint8_t bytes[16], std::uint32_t* address, std::uint32_t* dwords) {
    // The first parameter header is the BFPT's.
    const std::uint8_t* param = bytes + SFDP_HEADER_BYTES;
    if (sfdp_signature(bytes) != CHIP_SFDP_SIGNATURE || sfdp_param_id(param) != SFDP_BFPT_ID ||
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
    *part = sfdp_base_part(size, jedec_id);
    take_page(bfpt, part);
    if (part->page_size != 256) {
        return false;  // the transport programs pages of 256 bytes, no more, no less
    }
    return take_erase_types(bfpt, part);
}
