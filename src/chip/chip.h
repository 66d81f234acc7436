// The chip table: every fact the programs use about the SPI NOR parts they
// drive, each written once. A part is one row (chip_part); the instructions
// all the parts share are the CHIP_INS_* constants. The simulated board keeps
// a model of its own, written from the datasheets, and never reads this.
//
// Plain data, usable at compile time: the classic driver derives its fixed
// constants from the rows, the batched transport reads them at run time.
#pragma once

#include <cstdint>

// --- instructions every part in the table shares -----------------------------
inline constexpr std::uint8_t CHIP_INS_WRSR = 0x01;       // write status register
inline constexpr std::uint8_t CHIP_INS_PP = 0x02;         // page program + address + 1..256 bytes
inline constexpr std::uint8_t CHIP_INS_READ = 0x03;       // read data + address
inline constexpr std::uint8_t CHIP_INS_WRDI = 0x04;       // write disable
inline constexpr std::uint8_t CHIP_INS_RDSR = 0x05;       // read status register, 1 byte
inline constexpr std::uint8_t CHIP_INS_WREN = 0x06;       // write enable
inline constexpr std::uint8_t CHIP_INS_FAST_READ = 0x0B;  // read + address + 1 dummy byte
inline constexpr std::uint8_t CHIP_INS_RDID = 0x9F;       // JEDEC ID: maker, type, capacity
inline constexpr std::uint8_t CHIP_INS_SE = 0xD8;         // 64 KiB sector erase + address
inline constexpr std::uint8_t CHIP_INS_BE = 0xC7;         // bulk (chip) erase

// --- status register 1 ---------------------------------------------------------
inline constexpr std::uint8_t CHIP_SR_WIP = 0x01;  // write in progress
inline constexpr std::uint8_t CHIP_SR_WEL = 0x02;  // write enable latch

// --- the parts -------------------------------------------------------------------
inline constexpr std::uint32_t CHIP_SECTOR_SIZE = 0x10000;  // protection and planning unit

// One erase instruction of a part; size 0 erases the whole chip.
struct chip_erase_type {
    std::uint8_t opcode;
    std::uint32_t size;
    std::uint32_t typ_ms;
    std::uint32_t max_ms;
};

// One part, as its datasheet gives it. Times in microseconds or milliseconds
// as their names say.
struct chip_part {
    const char* name;
    const char* maker;
    std::uint32_t jedec_id;  // RDID: maker << 16 | type << 8 | capacity
    std::uint32_t size;      // bytes
    std::uint32_t page_size;
    chip_erase_type sector_erase;  // 64 KiB
    chip_erase_type chip_erase;
    std::uint32_t page_program_typ_us;
    std::uint32_t page_program_max_us;
    std::uint32_t status_write_typ_us;
    std::uint32_t status_write_max_us;
    // Status register 1: the block-protect field and the bit that hands the
    // protection to the W# pin (SRWD). The protected area grows from the top:
    // BP = n protects the upper 2^(n-1) sectors, all of them from bp_all_from.
    std::uint8_t sr_bp_mask;
    std::uint8_t sr_bp_shift;
    std::uint8_t sr_srwd;
    std::uint8_t bp_all_from;
    // The fastest SK for FAST_READ, PP and the other instructions but READ.
    std::uint32_t max_clock_hz;
    std::uint32_t read_max_clock_hz;  // READ (0x03)
};

// STMicroelectronics (Numonyx, Micron) M25P16: 32 sectors of 64 KiB, pages of 256 bytes.
inline constexpr chip_part CHIP_M25P16 = {
    "M25P16",
    "STMicroelectronics",
    0x202015,
    0x200000,
    256,
    {CHIP_INS_SE, 0x10000, 600, 3000},
    {CHIP_INS_BE, 0, 13000, 40000},
    640,
    5000,
    1300,
    15000,
    0x1C,
    2,
    0x80,
    6,
    50000000,
    20000000,
};

// --- wait bounds -------------------------------------------------------------------
// A wait never fails a part at its maximum: a status wait (page program,
// status write) ends after CHIP_WAIT_MS, far past any maximum; an erase three
// times the chip erase's maximum after its instruction.
inline constexpr std::uint64_t CHIP_WAIT_MS = 30'000;
constexpr std::uint64_t chip_erase_bound_ms(const chip_part& part) {
    return 3ULL * part.chip_erase.max_ms;
}

// --- look-ups ------------------------------------------------------------------------
// The row of the part answering RDID with `jedec_id`, or nullptr.
const chip_part* chip_find(std::uint32_t jedec_id);

// First 64 KiB sector the block protection in status register 1 covers (it
// runs to the last); the sector count when none is protected.
std::uint32_t chip_first_protected_sector(const chip_part& part, std::uint8_t status);
