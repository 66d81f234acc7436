// The chip table: every fact the programs use about the SPI NOR parts they
// drive, each written once. A part is one row (chip_part); the instructions
// all the parts share are the CHIP_INS_* constants. The simulated board keeps
// models of its own, written from the datasheets, and never reads this.
//
// Plain data, usable at compile time: the classic driver derives its fixed
// constants from the M25P16's row, the batched transport takes the row of
// the part it finds at run time (or one built from the part's SFDP).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// --- instructions every part in the table shares -----------------------------
inline constexpr std::uint8_t CHIP_INS_WRSR = 0x01;       // write status register(s)
inline constexpr std::uint8_t CHIP_INS_PP = 0x02;         // page program + address + 1..256 bytes
inline constexpr std::uint8_t CHIP_INS_READ = 0x03;       // read data + address
inline constexpr std::uint8_t CHIP_INS_WRDI = 0x04;       // write disable
inline constexpr std::uint8_t CHIP_INS_RDSR = 0x05;       // read status register, 1 byte
inline constexpr std::uint8_t CHIP_INS_WREN = 0x06;       // write enable
inline constexpr std::uint8_t CHIP_INS_FAST_READ = 0x0B;  // read + address + 1 dummy byte
inline constexpr std::uint8_t CHIP_INS_RDID = 0x9F;       // JEDEC ID: maker, type, capacity
inline constexpr std::uint8_t CHIP_INS_RES = 0xAB;        // leave deep power-down
inline constexpr std::uint8_t CHIP_INS_SE = 0xD8;         // 64 KiB sector erase + address
inline constexpr std::uint8_t CHIP_INS_BE = 0xC7;         // bulk (chip) erase
// --- instructions of some parts (the row says which) ----------------------------
inline constexpr std::uint8_t CHIP_INS_RDSR2 = 0x35;  // read status register 2
inline constexpr std::uint8_t CHIP_INS_SFDP = 0x5A;   // + address + 1 dummy byte
inline constexpr std::uint8_t CHIP_INS_RUID = 0x4B;   // + 4 dummy bytes, then the unique ID

inline constexpr std::uint32_t CHIP_RES_WAKE_US = 30;  // tRES, the slowest part's

// --- status register 1 ---------------------------------------------------------
inline constexpr std::uint8_t CHIP_SR_WIP = 0x01;  // write in progress
inline constexpr std::uint8_t CHIP_SR_WEL = 0x02;  // write enable latch

// --- the parts -------------------------------------------------------------------
inline constexpr std::uint32_t CHIP_SECTOR_SIZE = 0x10000;  // protection and planning unit
inline constexpr std::uint32_t CHIP_BLOCK_SIZE = 0x1000;    // the smallest erase of any part
inline constexpr std::uint32_t CHIP_MAX_SIZE = 0x200000;    // the largest part of the table
inline constexpr std::size_t CHIP_ERASE_TYPES = 4;

// One erase instruction of a part; size 0 erases the whole chip, opcode 0
// marks an unused slot.
struct chip_erase_type {
    std::uint8_t opcode;
    std::uint32_t size;
    std::uint32_t typ_ms;
    std::uint32_t max_ms;
};

// The status registers as one 16-bit word: register 1 in bits 7..0,
// register 2 (read with 0x35) in bits 15..8. A mask of 0 means the part has
// no such bit. The protected area is 2^(BP-1) units from the top (from the
// bottom with TB), units of 64 KiB (4 KiB with SEC, at most 32 KiB), the
// whole chip from BP = bp_all_from on; CMP protects the rest instead.
struct chip_status_layout {
    bool two_registers;  // register 2 exists: read 0x35, written as 0x01's second byte
    std::uint16_t bp;    // the block-protect field
    std::uint8_t bp_shift;
    std::uint8_t bp_all_from;
    std::uint16_t tb;
    std::uint16_t sec;
    std::uint16_t cmp;
    std::uint16_t srwd;   // SRWD / SRP0: hands the register to W#; left as found
    std::uint16_t locks;  // SRL / SRP1, one-time LB bits: never set
    std::uint16_t qe;     // quad enable: never cleared
    bool writable;        // the layout is known well enough to write the register
};

enum chip_unique_id : std::uint8_t {
    CHIP_UID_NONE,
    CHIP_UID_RUID,  // 0x4B, 4 dummy bytes, then the ID
};

enum chip_source : std::uint8_t { CHIP_FROM_TABLE, CHIP_FROM_SFDP, CHIP_FORCED };

// One part, as its datasheet gives it. Times in microseconds or milliseconds
// as their names say. Each row's comment names where its figures come from;
// a figure with no source at hand is the M25P16's (the nearest one for an
// erase size the M25P16 lacks), and the comment says so.
struct chip_part {
    const char* name;
    const char* maker;
    std::uint32_t jedec_id;  // RDID: maker << 16 | type << 8 | third byte
    std::uint32_t size;      // bytes
    std::uint32_t page_size;
    chip_erase_type erases[CHIP_ERASE_TYPES];  // smallest first, the chip erase last
    std::uint32_t page_program_typ_us;
    std::uint32_t page_program_max_us;
    std::uint32_t status_write_typ_us;
    std::uint32_t status_write_max_us;
    chip_status_layout status;
    chip_unique_id unique_id;
    std::uint8_t unique_id_bytes;
    bool sfdp;  // answers SFDP (0x5A) reliably
    // The fastest SK for FAST_READ, PP and the other instructions but READ.
    std::uint32_t max_clock_hz;
    std::uint32_t read_max_clock_hz;  // READ (0x03)
};

// STMicroelectronics (Numonyx, Micron) M25P16: 32 sectors of 64 KiB, pages of
// 256 bytes. Figures: the M25P16 datasheets; the typical times of the
// Numonyx/Micron editions (ST's 2007 edition lists the same), the clocks of
// ST's 50 MHz editions.
inline constexpr chip_part CHIP_M25P16 = {
    .name = "M25P16",
    .maker = "STMicroelectronics",
    .jedec_id = 0x202015,
    .size = 0x200000,
    .page_size = 256,
    .erases = {{.opcode = CHIP_INS_SE, .size = 0x10000, .typ_ms = 600, .max_ms = 3000},
               {.opcode = CHIP_INS_BE, .size = 0, .typ_ms = 13000, .max_ms = 40000},
               {},
               {}},
    .page_program_typ_us = 640,
    .page_program_max_us = 5000,
    .status_write_typ_us = 1300,
    .status_write_max_us = 15000,
    // SRWD b7, BP2..0 b4..2.
    .status = {.two_registers = false,
               .bp = 0x1C,
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

// What --force drives a part with that no row and no SFDP describe: only
// the instructions every part of the table shares, the M25P16's maximum
// times, its status layout (the protection bits other parts add are unseen).
inline constexpr chip_part CHIP_FORCED_PART = [] {
    chip_part part = CHIP_M25P16;
    part.name = "unknown part";
    part.maker = "unknown";
    part.jedec_id = 0;
    return part;
}();

// --- wait bounds -------------------------------------------------------------------
// A wait never fails a part at its maximum, nor one a little slower: a status
// wait (page program, status write) ends after CHIP_WAIT_MS, far past any
// maximum; a block or sector erase twice its maximum after its instruction,
// the chip erase three times.
inline constexpr std::uint64_t CHIP_WAIT_MS = 30'000;
constexpr std::uint64_t chip_erase_type_bound_ms(const chip_erase_type& type) {
    return (type.size == 0 ? 3ULL : 2ULL) * type.max_ms;
}
// The part's chip erase (nullptr when it has none).
constexpr const chip_erase_type* chip_whole_erase(const chip_part& part) {
    for (const chip_erase_type& type : part.erases) {
        if (type.opcode != 0 && type.size == 0) {
            return &type;
        }
    }
    return nullptr;
}
// The first erase type of `size` bytes (0: the chip erase), or nullptr.
constexpr const chip_erase_type* chip_erase_of(const chip_part& part, std::uint32_t size) {
    for (const chip_erase_type& type : part.erases) {
        if (type.opcode != 0 && type.size == size) {
            return &type;
        }
    }
    return nullptr;
}
constexpr std::uint64_t chip_erase_bound_ms(const chip_part& part) {
    return chip_erase_type_bound_ms(*chip_whole_erase(part));
}

// --- look-ups ------------------------------------------------------------------------
// The row of the part answering RDID with `jedec_id`, or nullptr.
const chip_part* chip_find(std::uint32_t jedec_id);
// Every row, for listing; *count gets their number.
const chip_part* const* chip_table(std::size_t* count);

// The 64 KiB sectors the protection bits of `status` (register 1 in bits
// 7..0, register 2 in bits 15..8) cover, as first and count (count 0: none).
// A sector only partly protected counts as protected.
struct chip_sectors {
    std::uint32_t first;
    std::uint32_t count;
};
chip_sectors chip_protected_sectors(const chip_part& part, std::uint16_t status);
// The part's protection bits of `status` (BP, TB, SEC, CMP) only.
std::uint16_t chip_protection_bits(const chip_part& part);
// The protection bits in the part's own terms, e.g. "BP=1 TB=1 SEC=0 CMP=0".
std::string chip_protection_text(const chip_part& part, std::uint16_t status);
// The register value to write so that only the protection bits change to
// `protection`: lock bits written 0 (never set), QE and SRWD/SRP0 as read.
std::uint16_t chip_status_to_write(const chip_part& part, std::uint16_t read,
                                   std::uint16_t protection);
// The erase types as text, e.g. "20: 4 KiB, 52: 32 KiB, D8: 64 KiB, C7: chip".
std::string chip_erase_text(const chip_part& part);

// --- SFDP (JEDEC JESD216) ------------------------------------------------------------
// In sfdp.cpp; the fields they read are named in sfdp.h.
inline constexpr std::uint32_t CHIP_SFDP_SIGNATURE = 0x50444653;  // "SFDP", little-endian
inline constexpr std::size_t CHIP_BFPT_DWORDS = 16;               // read at most
// From the first 16 bytes at SFDP address 0 (header and first parameter
// header): the Basic Flash Parameter Table's address and length in DWORDs;
// false when the signature or the table's ID is not there.
bool chip_sfdp_header(const std::uint8_t bytes[16], std::uint32_t* address, std::uint32_t* dwords);
// Fills `part` from the BFPT (`dwords` little-endian DWORDs). False when the
// table is unusable or its density is not `size`.
bool chip_from_bfpt(const std::uint8_t* table, std::uint32_t dwords, std::uint32_t size,
                    std::uint32_t jedec_id, chip_part* part);
