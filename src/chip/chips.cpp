#include <cstdio>

#include "chip/chip.h"

namespace {

// Winbond W25Q16JV. EF 40 15 also answers for the W25Q16BV/CV/DV: the row
// assumes nothing those lack (register 2 is written as 0x01's second byte).
// Figures: Winbond's W25Q16JV datasheet.
constexpr chip_part kW25q16jv = {
    .name = "W25Q16JV",
    .maker = "Winbond",
    .jedec_id = 0xEF4015,
    .size = 0x200000,
    .page_size = 256,
    .erases = {{.opcode = 0x20, .size = 0x1000, .typ_ms = 45, .max_ms = 400},
               {.opcode = 0x52, .size = 0x8000, .typ_ms = 120, .max_ms = 1600},
               {.opcode = CHIP_INS_SE, .size = 0x10000, .typ_ms = 150, .max_ms = 2000},
               {.opcode = CHIP_INS_BE, .size = 0, .typ_ms = 5000, .max_ms = 25000}},
    .page_program_typ_us = 400,
    .page_program_max_us = 3000,
    .status_write_typ_us = 10000,
    .status_write_max_us = 15000,
    // SRP0 b7, SEC b6, TB b5, BP b4..2; SUS b15, CMP b14, LB3..1 b13..11, QE b9, SRL b8.
    .status = {.two_registers = true,
               .bp = 0x1C,
               .bp_shift = 2,
               .bp_all_from = 6,
               .tb = 0x20,
               .sec = 0x40,
               .cmp = 0x4000,
               .srwd = 0x80,
               .locks = 0x3900,
               .qe = 0x0200,
               .writable = true},
    .unique_id = CHIP_UID_RUID,
    .unique_id_bytes = 8,
    .sfdp = true,
    .max_clock_hz = 133000000,
    .read_max_clock_hz = 50000000,
};

// The -IM/-JM dies: the same part under another type byte.
constexpr chip_part kW25q16jvDtr = [] {
    chip_part part = kW25q16jv;
    part.name = "W25Q16JV-IM/JM";
    part.jedec_id = 0xEF7015;
    return part;
}();

// GigaDevice GD25Q16 (B, C, E). Figures: GigaDevice's GD25Q16 datasheets,
// which give typicals for the page (0.7 ms), the 4 KiB erase (50 ms) and the
// chip (10 s) only; for the rest none at hand: the 32 and 64 KiB erases take
// the M25P16's 64 KiB typical, every maximum and the status write the
// M25P16's. Only the C and E dies have SFDP: the family row does not rely on it.
constexpr chip_part kGd25q16 = {
    .name = "GD25Q16",
    .maker = "GigaDevice",
    .jedec_id = 0xC84015,
    .size = 0x200000,
    .page_size = 256,
    .erases = {{.opcode = 0x20, .size = 0x1000, .typ_ms = 50, .max_ms = 3000},
               {.opcode = 0x52, .size = 0x8000, .typ_ms = 600, .max_ms = 3000},
               {.opcode = CHIP_INS_SE, .size = 0x10000, .typ_ms = 600, .max_ms = 3000},
               {.opcode = CHIP_INS_BE, .size = 0, .typ_ms = 10000, .max_ms = 40000}},
    .page_program_typ_us = 700,
    .page_program_max_us = 5000,
    .status_write_typ_us = 1300,
    .status_write_max_us = 15000,
    // SRWD b7, BP4 (a SEC) b6, BP3 (a TB) b5, BP2..0 b4..2; CMP b14, QE b9, SRP1 b8.
    .status = {.two_registers = true,
               .bp = 0x1C,
               .bp_shift = 2,
               .bp_all_from = 6,
               .tb = 0x20,
               .sec = 0x40,
               .cmp = 0x4000,
               .srwd = 0x80,
               .locks = 0x0100,
               .qe = 0x0200,
               .writable = true},
    .unique_id = CHIP_UID_RUID,
    .unique_id_bytes = 8,
    .sfdp = false,
    .max_clock_hz = 50000000,
    .read_max_clock_hz = 20000000,
};

// Macronix MX25L1606E and the six parts sharing C2 20 15. Its 0x52 erases
// 64 KiB, not 32. Figures: none at hand; every time is the M25P16's (the
// 4 KiB erase's typical its 64 KiB one, the nearest). SFDP not relied on.
constexpr chip_part kMx25l1606e = {
    .name = "MX25L1606E",
    .maker = "Macronix",
    .jedec_id = 0xC22015,
    .size = 0x200000,
    .page_size = 256,
    .erases = {{.opcode = 0x20, .size = 0x1000, .typ_ms = 600, .max_ms = 3000},
               {.opcode = CHIP_INS_SE, .size = 0x10000, .typ_ms = 600, .max_ms = 3000},
               {.opcode = 0x52, .size = 0x10000, .typ_ms = 600, .max_ms = 3000},
               {.opcode = CHIP_INS_BE, .size = 0, .typ_ms = 13000, .max_ms = 40000}},
    .page_program_typ_us = 640,
    .page_program_max_us = 5000,
    .status_write_typ_us = 1300,
    .status_write_max_us = 15000,
    // SRWD b7, BP3..0 b5..2.
    .status = {.two_registers = false,
               .bp = 0x3C,
               .bp_shift = 2,
               .bp_all_from = 6,
               .tb = 0,
               .sec = 0,
               .cmp = 0,
               .srwd = 0x80,
               .locks = 0,
               .qe = 0,
               .writable = true},
    .unique_id = CHIP_UID_NONE,
    .unique_id_bytes = 0,
    .sfdp = false,
    .max_clock_hz = 50000000,
    .read_max_clock_hz = 20000000,
};

// ISSI IS25LP016D. Figures: none at hand; every time is the M25P16's (the
// 4 KiB and 32 KiB erases' typicals its 64 KiB one, the nearest).
constexpr chip_part kIs25lp016d = {
    .name = "IS25LP016D",
    .maker = "ISSI",
    .jedec_id = 0x9D6015,
    .size = 0x200000,
    .page_size = 256,
    .erases = {{.opcode = 0x20, .size = 0x1000, .typ_ms = 600, .max_ms = 3000},
               {.opcode = 0x52, .size = 0x8000, .typ_ms = 600, .max_ms = 3000},
               {.opcode = CHIP_INS_SE, .size = 0x10000, .typ_ms = 600, .max_ms = 3000},
               {.opcode = CHIP_INS_BE, .size = 0, .typ_ms = 13000, .max_ms = 40000}},
    .page_program_typ_us = 640,
    .page_program_max_us = 5000,
    .status_write_typ_us = 1300,
    .status_write_max_us = 15000,
    // SRWD b7, QE b6, BP3..0 b5..2.
    .status = {.two_registers = false,
               .bp = 0x3C,
               .bp_shift = 2,
               .bp_all_from = 6,
               .tb = 0,
               .sec = 0,
               .cmp = 0,
               .srwd = 0x80,
               .locks = 0,
               .qe = 0x40,
               .writable = true},
    .unique_id = CHIP_UID_RUID,
    .unique_id_bytes = 8,
    .sfdp = true,
    .max_clock_hz = 50000000,
    .read_max_clock_hz = 20000000,
};

// Adesto AT25SF161 and AT25SF161B under one ID (1F 86 01: the last byte is
// no capacity). Figures: Adesto's AT25SF161 and AT25SF161B datasheets; the
// typicals are the AT25SF161's (the slower), the chip erase's the B's 7 s
// (the only one given); for every maximum and the status write none at
// hand: the M25P16's. SFDP and the unique ID are the B's only: not relied on.
constexpr chip_part kAt25sf161 = {
    .name = "AT25SF161",
    .maker = "Adesto",
    .jedec_id = 0x1F8601,
    .size = 0x200000,
    .page_size = 256,
    .erases = {{.opcode = 0x20, .size = 0x1000, .typ_ms = 70, .max_ms = 3000},
               {.opcode = 0x52, .size = 0x8000, .typ_ms = 300, .max_ms = 3000},
               {.opcode = CHIP_INS_SE, .size = 0x10000, .typ_ms = 600, .max_ms = 3000},
               {.opcode = CHIP_INS_BE, .size = 0, .typ_ms = 7000, .max_ms = 40000}},
    .page_program_typ_us = 700,
    .page_program_max_us = 5000,
    .status_write_typ_us = 1300,
    .status_write_max_us = 15000,
    // SRP0 b7, SEC b6, TB b5, BP b4..2; CMP b14, LB3..1 b13..11 (the B), QE b9, SRP1 b8.
    .status = {.two_registers = true,
               .bp = 0x1C,
               .bp_shift = 2,
               .bp_all_from = 6,
               .tb = 0x20,
               .sec = 0x40,
               .cmp = 0x4000,
               .srwd = 0x80,
               .locks = 0x3900,
               .qe = 0x0200,
               .writable = true},
    .unique_id = CHIP_UID_NONE,
    .unique_id_bytes = 0,
    .sfdp = false,
    .max_clock_hz = 50000000,
    .read_max_clock_hz = 20000000,
};

const chip_part* const kParts[] = {&CHIP_M25P16, &kW25q16jv,   &kW25q16jvDtr, &kGd25q16,
                                   &kMx25l1606e, &kIs25lp016d, &kAt25sf161};

constexpr std::uint32_t kBlocksPerSector = CHIP_SECTOR_SIZE / CHIP_BLOCK_SIZE;

}  // namespace

const chip_part* chip_find(std::uint32_t jedec_id) {
    for (const chip_part* part : kParts) {
        if (part->jedec_id == jedec_id) {
            return part;
        }
    }
    return nullptr;
}

const chip_part* const* chip_table(std::size_t* count) {
    *count = sizeof kParts / sizeof kParts[0];
    return kParts;
}

chip_sectors chip_protected_sectors(const chip_part& part, std::uint16_t status) {
    const chip_status_layout& layout = part.status;
    const std::uint32_t blocks = part.size / CHIP_BLOCK_SIZE;
    const std::uint32_t bp = (status & layout.bp) >> layout.bp_shift;
    // The protected blocks as [low, high) before CMP.
    std::uint32_t count = 0;
    if (bp >= layout.bp_all_from) {
        count = blocks;
    } else if (bp != 0) {
        const bool small = layout.sec != 0 && (status & layout.sec) != 0;
        const std::uint32_t units = 1U << (bp - 1);
        count = small ? (units < 8 ? units : 8) : units * kBlocksPerSector;
        count = count < blocks ? count : blocks;
    }
    const bool bottom = layout.tb != 0 && (status & layout.tb) != 0;
    std::uint32_t low = bottom ? 0 : blocks - count;
    std::uint32_t high = bottom ? count : blocks;
    if (layout.cmp != 0 && (status & layout.cmp) != 0) {
        // The rest of the chip; one of the two ends is the chip's.
        if (count == 0) {
            low = 0;
            high = blocks;
        } else if (count == blocks) {
            low = high = 0;
        } else if (bottom) {
            low = high;
            high = blocks;
        } else {
            high = low;
            low = 0;
        }
    }
    if (low >= high) {
        return {part.size / CHIP_SECTOR_SIZE, 0};
    }
    const std::uint32_t first = low / kBlocksPerSector;
    return {first, (high - 1) / kBlocksPerSector - first + 1};
}

std::uint16_t chip_protection_bits(const chip_part& part) {
    const chip_status_layout& layout = part.status;
    return static_cast<std::uint16_t>(layout.bp | layout.tb | layout.sec | layout.cmp);
}

std::string chip_protection_text(const chip_part& part, std::uint16_t status) {
    const chip_status_layout& layout = part.status;
    std::string out = "BP=" + std::to_string((status & layout.bp) >> layout.bp_shift);
    const struct {
        const char* name;
        std::uint16_t mask;
    } bits[] = {{"TB", layout.tb}, {"SEC", layout.sec}, {"CMP", layout.cmp}};
    for (const auto& bit : bits) {
        if (bit.mask != 0) {
            out += std::string(" ") + bit.name + "=" + ((status & bit.mask) != 0 ? "1" : "0");
        }
    }
    return out;
}

std::uint16_t chip_status_to_write(const chip_part& part, std::uint16_t read,
                                   std::uint16_t protection) {
    const std::uint16_t field = chip_protection_bits(part);
    // Keep everything as read (SRWD/SRP0, QE, reserved bits); WIP, WEL and
    // SUS are not written; lock bits are written 0, which never sets one.
    std::uint16_t value = static_cast<std::uint16_t>(read & ~field & ~part.status.locks & ~0x8003);
    return static_cast<std::uint16_t>(value | (protection & field));
}

std::string chip_erase_text(const chip_part& part) {
    std::string out;
    for (const chip_erase_type& type : part.erases) {
        if (type.opcode == 0) {
            continue;
        }
        char text[32];
        if (type.size == 0) {
            std::snprintf(text, sizeof text, "%02X: chip", type.opcode);
        } else {
            std::snprintf(text, sizeof text, "%02X: %u KiB", type.opcode, type.size / 1024);
        }
        out += (out.empty() ? "" : ", ") + std::string(text);
    }
    return out;
}
