// Fast access to the M25P16 behind the FT2232H's MPSSE: many SPI
// transactions per USB transfer, answers asked for only when needed (0x87),
// whole-page programs, rising-edge sampling and FAST_READ. Used by hexflash;
// hexburn keeps its own one-transaction-per-transfer path.
//
// Every wait is bounded by the driver clock (d2xx_clock_ms): a status wait
// ends as a failure 30 s after it began, an erase 120 s after its instruction.
// The functions print nothing; progress and cancellation go through
// fast_progress. Each link is independent: several boards may each run on
// their own thread with their own link.
#pragma once

#include <cstdint>

#include "image/image.h"
#include "d2xx/d2xx_types.h"

// Results; the values are the programs' exit statuses for the same outcome.
inline constexpr int FAST_OK = 0;
inline constexpr int FAST_ERR_TRANSFER = 2;     // USB failed or short, chip busy past its bound
inline constexpr int FAST_ERR_MISMATCH = 3;     // the chip holds other bytes than it should
inline constexpr int FAST_ERR_INTERRUPTED = 4;  // fast_progress.stop said so

// The chip's geometry, from the chip table.
inline constexpr std::uint32_t FAST_CHIP_SIZE = CHIP_M25P16.size;
inline constexpr std::uint32_t FAST_SECTOR_SIZE = CHIP_SECTOR_SIZE;
inline constexpr std::uint32_t FAST_SECTORS = FAST_CHIP_SIZE / FAST_SECTOR_SIZE;
inline constexpr std::uint32_t FAST_PAGE_SIZE = CHIP_M25P16.page_size;
inline constexpr std::uint32_t FAST_PAGES = FAST_CHIP_SIZE / FAST_PAGE_SIZE;
// SK 30 MHz, the FT2232H's fastest (60 MHz / 2, divisor 0). The M25P16
// takes FAST_READ, PP and every other instruction used here up to 50 MHz
// (75 MHz on later dies); only READ (0x03, not used) stops at 20 MHz. Reads
// are sampled on the rising edge, half a period (16.7 ns) after the chip's
// output became valid (tCLQV <= 8 ns), so 30 MHz keeps a margin.
inline constexpr std::uint32_t FAST_DEFAULT_CLOCK_HZ = 30000000;

// Wait bounds on the driver clock, from the chip table (an erase's from its
// part's maximum for that erase).
inline constexpr std::uint64_t FAST_STATUS_WAIT_MS = CHIP_WAIT_MS;
inline constexpr std::uint32_t FAST_BLOCK_SIZE = CHIP_BLOCK_SIZE;
inline constexpr std::uint32_t FAST_BLOCKS = FAST_CHIP_SIZE / FAST_BLOCK_SIZE;

// Progress and cancellation, called between transfers. Any member may be null.
struct fast_progress {
    // phase: "read", "erase", "program" or "verify"; done and total in bytes.
    void (*report)(void* context, const char* phase, std::uint64_t done, std::uint64_t total);
    // True when the run must stop at the next transaction boundary (a chip
    // cycle already started is waited out first).
    bool (*stop)(void* context);
    void* context;
    // A unit (page batch, erase, read chunk, status poll) is being redone
    // after a failed transfer: phase, the unit's address and the cause.
    void (*retry)(void* context, const char* phase, std::uint32_t address,
                  const char* cause) = nullptr;
};

// Retries after failed or short transfers: per unit, and per link for the run.
inline constexpr std::uint32_t FAST_UNIT_RETRIES = 3;
inline constexpr std::uint32_t FAST_RUN_RETRIES = 32;
inline constexpr std::uint32_t FAST_RETRY_LOG = 8;  // retries kept with their details

struct fast_retry {
    const char* phase;
    std::uint32_t address;
    const char* cause;
};

// The clocks --clock may ask for: below 10 kHz a drain's quiet time and a
// read chunk no longer fit their bounds.
inline constexpr std::uint32_t FAST_MIN_CLOCK_HZ = 10000;
inline constexpr std::uint32_t FAST_MAX_CLOCK_HZ = 30000000;

inline constexpr std::uint32_t FAST_OUT_SIZE = 24576;      // commands of one USB write
inline constexpr std::uint32_t FAST_IN_SIZE = 65536 + 64;  // answers: a read chunk and its status

// One open channel. Opaque to callers beyond handle and clock; about 90 KiB,
// the transport's only buffers.
struct fast_link {
    FT_HANDLE handle;
    std::uint32_t clock_hz;  // the SK frequency actually set
    // Set by the caller before fast_open, kept by it: the board's census
    // location (0: unknown), to tell an unplugged board from a failed
    // transfer, and where retries are told.
    std::uint32_t location;
    const fast_progress* watcher;
    // What happened to the link; reset by fast_open.
    bool gone;          // the board was unplugged: nothing more goes to it
    const char* phase;  // the phase and address of the unit in progress
    std::uint32_t address;
    const char* fault;      // the cause of the last failed transfer; null: none
    std::uint32_t retries;  // units redone so far
    fast_retry retry_log[FAST_RETRY_LOG];
    // The part driven: a row of the chip table (the M25P16's until
    // fast_identify says otherwise), or `own`, built from SFDP or --force.
    const chip_part* part;
    chip_part own;
    // The transport's own state.
    std::uint32_t program_ns;  // page program time measured on this chip (0: not yet)
    bool desynchronised;       // answers may be left over: no further transaction
    std::uint32_t out_used;    // command bytes queued in out
    std::uint32_t answers;     // answer bytes the queued commands will return
    std::uint64_t spi_bytes;   // bytes clocked over SPI so far, both ways
    std::uint8_t out[FAST_OUT_SIZE];
    std::uint8_t in[FAST_IN_SIZE];
};

// The SK frequency the FT2232H gives for `clock_hz`: its fastest step at or
// below it (60 MHz / ((1 + divisor) * 2)).
std::uint32_t fast_clock_step(std::uint32_t clock_hz);
// Sets the channel up for SPI at (at most) clock_hz and synchronises; a
// failed set-up is tried again up to FAST_UNIT_RETRIES times.
int fast_open(FT_HANDLE handle, std::uint32_t clock_hz, fast_link* link);
// Releases the pins as hexburn does (80 08 8B: chip deselected, ADBUS7 low),
// after a failed fast_open too, unless the board is gone; the caller closes
// the handle.
void fast_close(fast_link* link);

int fast_read_id(fast_link* link, std::uint8_t id[3]);

// What identification found.
enum fast_found : std::uint8_t {
    FAST_FOUND_NONE,     // no chip answers (RDID all ones or all zeros)
    FAST_FOUND_TABLE,    // a row of the chip table
    FAST_FOUND_SFDP,     // no row; its SFDP describes a 2 MiB part
    FAST_FOUND_UNKNOWN,  // neither
};
struct fast_identity {
    fast_found found;
    std::uint8_t id[3];
    bool sfdp_read;  // a valid SFDP header was read
};
// Wakes the chip (RES, tRES), reads RDID and, for a part the table has no
// row for, its SFDP; sets link->part for a row or an SFDP part.
int fast_identify(fast_link* link, fast_identity* identity);
// Drives an unknown part as CHIP_FORCED_PART describes (--force).
void fast_force_part(fast_link* link, const std::uint8_t id[3]);
// Both status registers of the part (register 2 in bits 15..8, 0 where it
// has none).
int fast_read_status_word(fast_link* link, std::uint16_t* status);
// What a status write does with SRWD/SRP0: leaves it as read, sets it
// (--lock), or clears it (unprotect).
enum fast_srwd { FAST_SRWD_KEEP, FAST_SRWD_SET, FAST_SRWD_CLEAR };
// Sets the part's protection bits (BP, TB, SEC, CMP) to those of
// `protection`, every other bit as read but SRWD as `srwd` says (lock bits
// never set, QE kept), and checks them: FAST_ERR_MISMATCH when the chip then
// holds other protection bits.
int fast_set_protection(fast_link* link, std::uint16_t protection, fast_srwd srwd = FAST_SRWD_KEEP);
// The part's unique ID into id (FAST_UNIQUE_ID_MAX bytes of room); *length 0
// when the part has none.
inline constexpr std::uint32_t FAST_UNIQUE_ID_MAX = 16;
int fast_read_unique_id(fast_link* link, std::uint8_t* id, std::uint32_t* length);
int fast_read_status(fast_link* link, std::uint8_t* status);
// WREN + WRSR, waits for the write to finish; FAST_ERR_MISMATCH when the
// register then holds other SRWD/protection bits.
int fast_write_status(fast_link* link, std::uint8_t status);
// Block protection over the whole chip in the part's terms (every BP bit,
// TB, SEC and CMP clear) and, with `lock`, SRWD (which hands the protection
// to the W# pin). Reads both registers back into *status.
int fast_protect_all(fast_link* link, bool lock, std::uint16_t* status);
// Clears the block protection and SRWD (refused by a chip with SRWD set and
// W# low: FAST_ERR_MISMATCH); the registers read back into *status.
int fast_unprotect_all(fast_link* link, std::uint16_t* status);
// Reads `length` bytes at `address` with FAST_READ into out (the chip is
// seen idle first: a read while it is busy would give 0xFF).
int fast_read(fast_link* link, std::uint32_t address, std::uint8_t* out, std::uint32_t length,
              const fast_progress* progress);
int fast_chip_erase(fast_link* link, const fast_progress* progress);

enum fast_erase_mode { FAST_ERASE_AUTO, FAST_ERASE_CHIP, FAST_ERASE_NONE };

enum fast_sector_action : std::uint8_t {
    FAST_SECTOR_SKIP,     // already holds what it must
    FAST_SECTOR_PROGRAM,  // only 1 bits become 0: program without erasing
    FAST_SECTOR_ERASE,    // erase, then program what is not 0xFF
};

struct fast_options {
    fast_erase_mode erase;
    bool keep_rest;  // sectors the image does not touch stay as they are
};

// One erase of a plan: the part's erase type `type` at `address`.
struct fast_erase {
    std::uint32_t address;
    std::uint8_t type;  // index into the part's erases
};

// What a burn will do, decided from the image and the chip's first read.
// 4 MiB: static or heap storage, not the stack.
struct fast_plan {
    bool chip_erase;                          // one bulk erase instead of block erases
    bool chip_known;                          // chip[] was read (not with --erase chip alone)
    std::uint8_t status;                      // status register before the burn
    fast_sector_action action[FAST_SECTORS];  // per sector: ERASE when any of it is erased
    bool erased[FAST_BLOCKS];                 // per 4 KiB block: erased before programming
    std::uint32_t erase_count;
    fast_erase erases[FAST_BLOCKS];       // the cheapest cover of what needs an erase
    std::uint8_t target[FAST_CHIP_SIZE];  // what the chip must hold after the burn
    std::uint8_t chip[FAST_CHIP_SIZE];    // what it held at the first read
};

// What the plan's choice between sector erases and one bulk erase weighs,
// from datasheet typicals at the link's clock, in nanoseconds.
std::uint64_t fast_estimate_ns(const fast_plan* plan, bool chip_erase, std::uint32_t clock_hz);
// The same for `part`: its erase types (the cheapest cover) and its times.
std::uint64_t fast_estimate_part_ns(const fast_plan* plan, const chip_part& part, bool chip_erase,
                                    std::uint32_t clock_hz);

struct fast_stats {
    std::uint32_t sectors_erased;            // sectors in which anything was erased
    std::uint32_t erases[CHIP_ERASE_TYPES];  // instructions carried out, per erase type
    std::uint32_t sectors_skipped;
    std::uint32_t pages_programmed;
    std::uint32_t pages_skipped;
    double seconds_read;  // driver clock, per phase
    double seconds_erase;
    double seconds_program;
    double seconds_verify;
    std::uint64_t bytes_moved;      // over the SPI bus, both ways
    std::int64_t first_difference;  // -1: none
};

// Reads the chip and decides what to do (FAST_ERASE_CHIP reads nothing,
// unless keep_rest: the sectors it keeps are written back after the erase).
int fast_plan_burn(fast_link* link, const image_map* image, const fast_options* options,
                   fast_plan* plan, fast_stats* stats, const fast_progress* progress);
// Erases and programs as planned, then reads back every sector it changed
// and compares it with plan->target: FAST_OK only when all match.
int fast_execute(fast_link* link, fast_plan* plan, fast_stats* stats,
                 const fast_progress* progress);
// Compares the whole chip with the image (0xFF where the image has no byte).
int fast_verify(fast_link* link, const image_map* image, fast_stats* stats,
                const fast_progress* progress);
