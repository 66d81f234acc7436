// The SPI NOR chip's operations, written against the link's queue:
// identification (RES, RDID, the chip table, SFDP), the status registers and
// the protection, the unique ID, reads, erases, page programs in batches, and
// the waits. Every operation drives the part the chip holds (`part`), with
// its own size, pages, erase types and times.
//
// Every wait is bounded by the driver clock: a status wait ends as a failure
// CHIP_WAIT_MS after it began, an erase at its type's bound
// (chip_erase_type_bound_ms) after its instruction.
#pragma once

#include <cstdint>

#include "chip/chip.h"
#include "link/link.h"

// SK 30 MHz, the FT2232H's fastest. Every part of the table takes FAST_READ,
// PP and every other instruction used here at 50 MHz or more (max_clock_hz);
// only READ (0x03, not used) may stop lower. Reads are sampled on the rising
// edge, half a period (16.7 ns) after the chip's output became valid
// (tCLQV 8 ns or less), so 30 MHz keeps a margin.
inline constexpr std::uint32_t NOR_DEFAULT_CLOCK_HZ = LINK_MAX_CLOCK_HZ;

// A chip behind its link: the link's queue, and the part driven.
struct nor_chip : link_queue {
    // A row of the chip table (CHIP_M25P16's until nor_identify says
    // otherwise), or `own`, built from SFDP or --force.
    const chip_part* part;
    chip_part own;
    std::uint32_t program_ns;  // page program time measured on this chip (0: not yet)
};

// link_open at clock_hz (0: NOR_DEFAULT_CLOCK_HZ), driving CHIP_M25P16 until
// identified; link_close ends it.
int nor_open(FT_HANDLE handle, std::uint32_t clock_hz, nor_chip* chip);

// --- identification -------------------------------------------------------------------
enum nor_found : std::uint8_t {
    NOR_FOUND_NONE,     // no chip answers (RDID all ones or all zeros)
    NOR_FOUND_TABLE,    // a row of the chip table
    NOR_FOUND_SFDP,     // no row; its SFDP describes a part of CHIP_MAX_SIZE
    NOR_FOUND_UNKNOWN,  // neither
};
struct nor_identity {
    nor_found found;
    std::uint8_t id[3];
    bool sfdp_read;  // a valid SFDP header was read
};
// Wakes the chip (RES, tRES), reads RDID and, for a part the table has no
// row for, its SFDP; sets chip->part for a row or an SFDP part.
int nor_identify(nor_chip* chip, nor_identity* identity);
// Drives an unknown part as CHIP_FORCED_PART describes (--force).
void nor_force_part(nor_chip* chip, const std::uint8_t id[3]);
// RDID once the chip is idle.
int nor_read_id(nor_chip* chip, std::uint8_t id[3]);
// The part's unique ID into id (NOR_UNIQUE_ID_MAX bytes of room); *length 0
// when the part has none.
inline constexpr std::uint32_t NOR_UNIQUE_ID_MAX = 16;
int nor_read_unique_id(nor_chip* chip, std::uint8_t* id, std::uint32_t* length);

// --- status and protection ----------------------------------------------------------------
int nor_read_status(nor_chip* chip, std::uint8_t* status);
// WREN + WRSR, waits for the write to finish; LINK_ERR_MISMATCH when the
// register then holds other SRWD/protection bits.
int nor_write_status(nor_chip* chip, std::uint8_t status);
// Both status registers of the part (register 2 in bits 15..8, 0 where it
// has none).
int nor_read_status_word(nor_chip* chip, std::uint16_t* status);
// What a status write does with SRWD/SRP0: leaves it as read, sets it
// (--lock), or clears it (unprotect).
enum nor_srwd { NOR_SRWD_KEEP, NOR_SRWD_SET, NOR_SRWD_CLEAR };
// Sets the part's protection bits (BP, TB, SEC, CMP) to those of
// `protection`, every other bit as read but SRWD as `srwd` says (lock bits
// never set, QE kept), and checks them: LINK_ERR_MISMATCH when the chip then
// holds other protection bits.
int nor_set_protection(nor_chip* chip, std::uint16_t protection, nor_srwd srwd = NOR_SRWD_KEEP);
// Block protection over the whole chip in the part's terms (every BP bit,
// TB, SEC and CMP clear) and, with `lock`, SRWD (which hands the protection
// to the W# pin). Reads both registers back into *status.
int nor_protect_all(nor_chip* chip, bool lock, std::uint16_t* status);
// Clears the block protection and SRWD (refused by a chip with SRWD set and
// W# low: LINK_ERR_MISMATCH); the registers read back into *status.
int nor_unprotect_all(nor_chip* chip, std::uint16_t* status);

// --- reads, erases, programs -----------------------------------------------------------------
// Reads `length` bytes at `address` with FAST_READ into out (the chip is
// seen idle first: a read while it is busy would give 0xFF).
int nor_read(nor_chip* chip, std::uint32_t address, std::uint8_t* out, std::uint32_t length,
             const link_progress* progress);
// Reads with FAST_READ, each chunk behind a status read that shows the chip
// idle, into `out` (when not null) and compared with `expect` (when not
// null): LINK_ERR_MISMATCH at the first byte that differs, its address in
// *first_difference. Reports `phase` progress as done_before + bytes read.
int nor_read_span(nor_chip* chip, std::uint32_t address, std::uint32_t length, std::uint8_t* out,
                  const std::uint8_t* expect, std::int64_t* first_difference, const char* phase,
                  const link_progress* progress, std::uint64_t done_before, std::uint64_t total);
// An erase of the part's `type` at address (none for the chip erase): waits
// for the chip, WREN and the instruction, then waits up to the type's bound
// from it. Reports "erase" progress from done to done + share of total, by
// the typical time.
int nor_erase(nor_chip* chip, const chip_erase_type& type, std::uint32_t address,
              const link_progress* progress, std::uint64_t done, std::uint64_t share,
              std::uint64_t total);
// The part's chip erase, progress over the part's size.
int nor_chip_erase(nor_chip* chip, const link_progress* progress);
// Programs the pages whose bit is set in `todo` (bit p & 7 of todo[p >> 3])
// with their bytes of `target` (the whole chip's), clearing each bit once the
// page was seen accepted and counting it in *programmed; pages lost to a busy
// chip are sent again. `count` bits set.
int nor_program(nor_chip* chip, const std::uint8_t* target, std::uint8_t* todo, std::uint32_t count,
                std::uint32_t* programmed, const link_progress* progress);

// --- waits and retries -------------------------------------------------------------------------
// Polls RDSR until WIP clears or `bound_ms` pass on the driver clock (a
// failed poll is redone after a resync); at least 1 ms between polls, so
// nothing spins. *status gets the last status read.
int nor_wait_ready(nor_chip* chip, std::uint64_t bound_ms, std::uint32_t pause_ms,
                   std::uint8_t* status);
// link_recover, then the chip seen idle, whatever the lost transfer started
// (a chip erase among them, hence its bound): true when the unit may be done
// again.
bool nor_retry(nor_chip* chip, std::uint32_t* attempts);
// RDSR with one answer byte, queued.
void nor_queue_status(nor_chip* chip);

// --- costs
// ----------------------------------------------------------------------------------------- SPI
// clocks of one page's WREN, RDSR and PP of `page_size` bytes, each followed by the link's deselect
// clocks.
constexpr std::uint64_t nor_page_clocks(std::uint32_t page_size) {
    return (1 + 2 + 4 + std::uint64_t{page_size}) * 8 + 3 * LINK_DESELECT_CLOCKS;
}
// A page's cost at clock_hz: the part's typical program time and its clocks.
std::uint64_t nor_page_ns(const chip_part& part, std::uint32_t clock_hz);
