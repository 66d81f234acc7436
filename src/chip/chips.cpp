#include <cstdio>

#include "chip/chip.h"

namespace {

constexpr chip_erase_type erase_type(std::uint8_t opcode, std::uint32_t size, std::uint32_t typ_ms,
                                     std::uint32_t max_ms) {
    return {
        .opcode = opcode, .size = size, .typ_ms = typ_ms, .max_ms = max_ms, .die_specific = false};
}
// An erase some dies under the ID do otherwise: used only where SFDP agrees.
constexpr chip_erase_type die_erase_type(std::uint8_t opcode, std::uint32_t size,
                                         std::uint32_t typ_ms, std::uint32_t max_ms) {
    chip_erase_type type = erase_type(opcode, size, typ_ms, max_ms);
    type.die_specific = true;
    return type;
}

// Winbond W25Q16JV. EF 40 15 also answers for the W25Q16BV/CV/DV: the row
// assumes nothing those lack (register 2 is written as 0x01's second byte).
// Figures: Winbond's W25Q16JV datasheet (S10 reserved there; the older dies'
// register 2 was not at hand). Unique ID: 8 bytes (the datasheet).
constexpr chip_part kW25q16jv = {
    .name = "W25Q16JV",
    .maker = "Winbond",
    .dies = "W25Q16BV, W25Q16CV, W25Q16DV, W25Q16JV (SFDP from the CV on)",
    .unconfirmed_name = nullptr,
    .jedec_id = 0xEF4015,
    .size = 0x200000,
    .page_size = 256,
    .erases = {erase_type(0x20, 0x1000, 45, 400), erase_type(0x52, 0x8000, 120, 1600),
               erase_type(CHIP_INS_SE, 0x10000, 150, 2000),
               erase_type(CHIP_INS_BE, 0, 5000, 25000)},
    .page_program_typ_us = 400,
    .page_program_max_us = 3000,
    .status_write_typ_us = 10000,
    .status_write_max_us = 15000,
    // SRP0 b7, SEC b6, TB b5, BP b4..2; SUS b15, CMP b14, LB3..1 b13..11,
    // S10 reserved, QE b9, SRL b8.
    .status = {.two_registers = true,
               .needs_wrsr2 = false,
               .bp = 0x1C,
               .bp_shift = 2,
               .bp_all_from = 6,
               .bp_whole = 0,
               .tb = 0x20,
               .sec = 0x40,
               .cmp = 0x4000,
               .srwd = 0x80,
               .locks = 0x0100,
               .one_time = 0x3800,
               .reserved = 0x0400,
               .suspend = 0x8000,
               .qe = 0x0200,
               .writable = true},
    .unique_id = CHIP_UID_RUID,
    .unique_id_bytes = 8,
    .sfdp = true,
    .sfdp_checked = true,
    .max_clock_hz = 133000000,
    .read_max_clock_hz = 50000000,
};

// The -IM/-JM dies: the same part under another type byte.
constexpr chip_part kW25q16jvDtr = [] {
    chip_part part = kW25q16jv;
    part.name = "W25Q16JV-IM/JM";
    part.dies = "W25Q16JV-IM, W25Q16JV-JM";
    part.jedec_id = 0xEF7015;
    return part;
}();

// GigaDevice GD25Q16 (B, C, E). Figures: GigaDevice's GD25Q16 datasheets,
// which give typicals for the page (0.7 ms), the 4 KiB erase (50 ms) and the
// chip (10 s) only; for the rest none at hand: the 32 and 64 KiB erases take
// the M25P16's 64 KiB typical, every maximum and the status write the
// M25P16's. Only the C and E dies have SFDP and a unique ID (16 bytes: the
// public chip databases, ufprog's GigaDevice parts among them). Register 2
// by die (ufprog's GigaDevice parts): LB b10 one-time on every die, and b11
// too on the E; DC b12 (dummy configuration, E) is non-volatile and kept as
// read like QE; b13 reserved (the C's HPF, cleared by the RES that wakes the
// chip).
constexpr chip_part kGd25q16 = {
    .name = "GD25Q16",
    .maker = "GigaDevice",
    .dies = "GD25Q16B (no SFDP, no unique ID), GD25Q16C (LB b10), GD25Q16E (LB b10-11, DC b12)",
    .unconfirmed_name = nullptr,
    .jedec_id = 0xC84015,
    .size = 0x200000,
    .page_size = 256,
    .erases = {erase_type(0x20, 0x1000, 50, 3000), erase_type(0x52, 0x8000, 600, 3000),
               erase_type(CHIP_INS_SE, 0x10000, 600, 3000),
               erase_type(CHIP_INS_BE, 0, 10000, 40000)},
    .page_program_typ_us = 700,
    .page_program_max_us = 5000,
    .status_write_typ_us = 1300,
    .status_write_max_us = 15000,
    // SRWD b7, BP4 (a SEC) b6, BP3 (a TB) b5, BP2..0 b4..2; SUS b15, CMP b14,
    // b13 reserved, DC b12, LB b11..10, QE b9, SRP1 b8.
    .status = {.two_registers = true,
               .needs_wrsr2 = false,
               .bp = 0x1C,
               .bp_shift = 2,
               .bp_all_from = 6,
               .bp_whole = 0,
               .tb = 0x20,
               .sec = 0x40,
               .cmp = 0x4000,
               .srwd = 0x80,
               .locks = 0x0100,
               .one_time = 0x0C00,
               .reserved = 0x2000,
               .suspend = 0x8000,
               .qe = 0x0200,
               .writable = true},
    .unique_id = CHIP_UID_RUID,
    .unique_id_bytes = 16,
    .sfdp = false,
    .sfdp_checked = true,
    .max_clock_hz = 50000000,
    .read_max_clock_hz = 20000000,
};

// Macronix parts sharing C2 20 15 (flashrom's Macronix IDs): the first
// MX25L1605's 0x20 erases 64 KiB, the MX25L1605A/1606E/1608E's 0x52 64 KiB,
// the MX25L1605D/1608D/1673E have no 0x52. So 0x20 and 0x52 are used only
// where the die's SFDP lists them alike; without it 0xD8 and the chip erase.
// BP3 (b5) and QE (b6) of the later dies read 0 on the first: BP = 6 covers
// the chip on either. Figures: none at hand; every time is the M25P16's (the
// 4 KiB erase's typical its 64 KiB one, the nearest).
constexpr chip_part kMx25l1606e = {
    .name = "MX25L1606E",
    .maker = "Macronix",
    .dies =
        "MX25L1605 (0x20 erases 64 KiB, no SFDP), MX25L1605A, MX25L1606E, MX25L1608E "
        "(0x52 erases 64 KiB), MX25L1605D, MX25L1608D, MX25L1673E (no 0x52)",
    .unconfirmed_name = "MX25L1605 family",
    .jedec_id = 0xC22015,
    .size = 0x200000,
    .page_size = 256,
    .erases = {die_erase_type(0x20, 0x1000, 600, 3000), erase_type(CHIP_INS_SE, 0x10000, 600, 3000),
               die_erase_type(0x52, 0x10000, 600, 3000), erase_type(CHIP_INS_BE, 0, 13000, 40000)},
    .page_program_typ_us = 640,
    .page_program_max_us = 5000,
    .status_write_typ_us = 1300,
    .status_write_max_us = 15000,
    // SRWD b7, QE b6, BP3..0 b5..2.
    .status = {.two_registers = false,
               .needs_wrsr2 = false,
               .bp = 0x3C,
               .bp_shift = 2,
               .bp_all_from = 6,
               .bp_whole = 6,
               .tb = 0,
               .sec = 0,
               .cmp = 0,
               .srwd = 0x80,
               .locks = 0,
               .one_time = 0,
               .reserved = 0,
               .suspend = 0,
               .qe = 0x40,
               .writable = true},
    .unique_id = CHIP_UID_NONE,
    .unique_id_bytes = 0,
    .sfdp = false,
    .sfdp_checked = true,
    .max_clock_hz = 50000000,
    .read_max_clock_hz = 20000000,
};

// ISSI IS25LP016D. Figures: none at hand; every time is the M25P16's (the
// 4 KiB and 32 KiB erases' typicals its 64 KiB one, the nearest). Unique ID:
// 16 bytes (the public chip databases; the datasheet was not at hand).
constexpr chip_part kIs25lp016d = {
    .name = "IS25LP016D",
    .maker = "ISSI",
    .dies = "IS25LP016D",
    .unconfirmed_name = nullptr,
    .jedec_id = 0x9D6015,
    .size = 0x200000,
    .page_size = 256,
    .erases = {erase_type(0x20, 0x1000, 600, 3000), erase_type(0x52, 0x8000, 600, 3000),
               erase_type(CHIP_INS_SE, 0x10000, 600, 3000),
               erase_type(CHIP_INS_BE, 0, 13000, 40000)},
    .page_program_typ_us = 640,
    .page_program_max_us = 5000,
    .status_write_typ_us = 1300,
    .status_write_max_us = 15000,
    // SRWD b7, QE b6, BP3..0 b5..2.
    .status = {.two_registers = false,
               .needs_wrsr2 = false,
               .bp = 0x3C,
               .bp_shift = 2,
               .bp_all_from = 6,
               .bp_whole = 0,
               .tb = 0,
               .sec = 0,
               .cmp = 0,
               .srwd = 0x80,
               .locks = 0,
               .one_time = 0,
               .reserved = 0,
               .suspend = 0,
               .qe = 0x40,
               .writable = true},
    .unique_id = CHIP_UID_RUID,
    .unique_id_bytes = 16,
    .sfdp = true,
    .sfdp_checked = true,
    .max_clock_hz = 50000000,
    .read_max_clock_hz = 20000000,
};

// Adesto AT25SF161 and AT25SF161B under one ID (1F 86 01: the last byte is
// no capacity). Figures: Adesto's AT25SF161 and AT25SF161B datasheets; the
// typicals are the AT25SF161's (the slower), the chip erase's the B's 7 s
// (the only one given); for every maximum and the status write none at
// hand: the M25P16's. SFDP and the unique ID are the B's only: not relied
// on. Register 2 as the W25Q16JV's (the B's datasheet; the AT25SF161's S10
// not at hand).
constexpr chip_part kAt25sf161 = {
    .name = "AT25SF161",
    .maker = "Adesto",
    .dies = "AT25SF161, AT25SF161B (SFDP, unique ID, LB3..1)",
    .unconfirmed_name = nullptr,
    .jedec_id = 0x1F8601,
    .size = 0x200000,
    .page_size = 256,
    .erases = {erase_type(0x20, 0x1000, 70, 3000), erase_type(0x52, 0x8000, 300, 3000),
               erase_type(CHIP_INS_SE, 0x10000, 600, 3000),
               erase_type(CHIP_INS_BE, 0, 7000, 40000)},
    .page_program_typ_us = 700,
    .page_program_max_us = 5000,
    .status_write_typ_us = 1300,
    .status_write_max_us = 15000,
    // SRP0 b7, SEC b6, TB b5, BP b4..2; SUS b15, CMP b14, LB3..1 b13..11 (the
    // B), S10 reserved, QE b9, SRP1 b8.
    .status = {.two_registers = true,
               .needs_wrsr2 = false,
               .bp = 0x1C,
               .bp_shift = 2,
               .bp_all_from = 6,
               .bp_whole = 0,
               .tb = 0x20,
               .sec = 0x40,
               .cmp = 0x4000,
               .srwd = 0x80,
               .locks = 0x0100,
               .one_time = 0x3800,
               .reserved = 0x0400,
               .suspend = 0x8000,
               .qe = 0x0200,
               .writable = true},
    .unique_id = CHIP_UID_NONE,
    .unique_id_bytes = 0,
    .sfdp = false,
    .sfdp_checked = true,
    .max_clock_hz = 50000000,
    .read_max_clock_hz = 20000000,
};

const chip_part* const kParts[] = {&CHIP_M25P16, &kW25q16jv,   &kW25q16jvDtr, &kGd25q16,
                                   &kMx25l1606e, &kIs25lp016d, &kAt25sf161};

constexpr std::uint32_t kBlocksPerSector = CHIP_SECTOR_SIZE / CHIP_BLOCK_SIZE;
constexpr std::uint16_t kVolatile = CHIP_SR_WIP | CHIP_SR_WEL;

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
    const chip_status_layout& layout = part.status;
    const std::uint16_t field = chip_protection_bits(part);
    // Keep everything as read (SRWD/SRP0, QE, DC); WIP, WEL and SUS are not
    // written; lock and one-time bits are written 0, which never sets one.
    const std::uint16_t cleared = static_cast<std::uint16_t>(
        field | layout.locks | layout.one_time | layout.reserved | layout.suspend | kVolatile);
    return static_cast<std::uint16_t>((read & ~cleared) | (protection & field));
}

std::string chip_status_refusal(const chip_part& part, std::uint16_t read) {
    const chip_status_layout& layout = part.status;
    char text[120];
    if (!layout.writable) {
        return "the status register layout of this part is not known (identified by its SFDP "
               "or forced), so it is not written";
    }
    if ((read & layout.suspend) != 0) {
        std::snprintf(text, sizeof text,
                      "an erase or program is suspended (status 0x%04x): the status register is "
                      "left alone",
                      read);
        return text;
    }
    if ((read & layout.reserved) != 0) {
        std::snprintf(text, sizeof text,
                      "reserved status bits read as 1 (status 0x%04x): the status register is "
                      "left alone",
                      read);
        return text;
    }
    return "";
}

std::uint16_t chip_status_expected(const chip_part& part, std::uint16_t read,
                                   std::uint16_t written) {
    const std::uint16_t one_time = part.status.one_time;
    return static_cast<std::uint16_t>((written & ~one_time) | (read & one_time));
}

std::uint16_t chip_status_checked(const chip_part& part) {
    return static_cast<std::uint16_t>((part.status.two_registers ? 0xFFFF : 0x00FF) & ~kVolatile);
}

chip_part chip_die_part(const chip_part& row, const chip_sfdp_erase* sfdp) {
    chip_part part = row;
    std::size_t used = 0;
    for (const chip_erase_type& type : row.erases) {
        bool take = type.size == 0 || (sfdp == nullptr && !type.die_specific);
        for (std::size_t n = 0; sfdp != nullptr && n < CHIP_ERASE_TYPES; ++n) {
            take = take || (sfdp[n].opcode == type.opcode && sfdp[n].size == type.size);
        }
        if (type.opcode != 0 && take) {
            part.erases[used++] = type;
        }
    }
    for (; used < CHIP_ERASE_TYPES; ++used) {
        part.erases[used] = chip_erase_type{};
    }
    if (sfdp == nullptr && row.unconfirmed_name != nullptr) {
        part.name = row.unconfirmed_name;
    }
    return part;
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
