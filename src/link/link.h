// The USB queue of the fast path: SPI transactions appended to one command
// buffer and sent with one USB write, 0x87 behind them, their answers read in
// one go; the retries after a failed transfer (drain, resynchronisation) and
// the board that was unplugged. It knows no chip: the instructions and what
// their answers mean come from above (nor/).
//
// The functions print nothing; progress, cancellation and retries are told
// through link_progress. Each link is independent: several boards may each
// run on their own thread with their own link.
#pragma once

#include <cstdint>

#include "d2xx/d2xx_types.h"

// Results of every room of the fast path; the values are the programs' exit
// statuses for the same outcome.
inline constexpr int LINK_OK = 0;
inline constexpr int LINK_ERR_TRANSFER = 2;     // USB failed or short, chip busy past its bound
inline constexpr int LINK_ERR_MISMATCH = 3;     // read back: other bytes or bits than asked for
inline constexpr int LINK_ERR_INTERRUPTED = 4;  // link_progress.stop said so

// Progress and cancellation, called between transfers. Any member may be null.
struct link_progress {
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
inline constexpr std::uint32_t LINK_UNIT_RETRIES = 3;
inline constexpr std::uint32_t LINK_RUN_RETRIES = 32;
inline constexpr std::uint32_t LINK_RETRY_LOG = 8;  // retries kept with their details

struct link_retry_entry {
    const char* phase;
    std::uint32_t address;
    const char* cause;
};

// The SK clocks a link runs at: the FT2232H's fastest (60 MHz / 2), and the
// slowest at which a drain's quiet time and a read chunk still fit their bounds.
inline constexpr std::uint32_t LINK_MIN_CLOCK_HZ = 10000;
inline constexpr std::uint32_t LINK_MAX_CLOCK_HZ = 30000000;

inline constexpr std::uint32_t LINK_OUT_SIZE = 24576;      // commands of one USB write
inline constexpr std::uint32_t LINK_IN_SIZE = 65536 + 64;  // answers: a read chunk and its status

// SK clocks the link puts behind every transaction with the chip deselected.
inline constexpr std::uint64_t LINK_DESELECT_CLOCKS = 3;

inline constexpr std::uint64_t LINK_NS_PER_S = 1000000000;

// One open channel. About 90 KiB, the transport's only buffers: static or
// heap storage, not the stack.
struct link_queue {
    FT_HANDLE handle;
    std::uint32_t clock_hz;  // the SK frequency actually set
    // Set by the caller before link_open, kept by it: the board's census
    // location (0: unknown), to tell an unplugged board from a failed
    // transfer, and where retries are told.
    std::uint32_t location;
    const link_progress* watcher;
    // What happened to the link; reset by link_open.
    bool gone;          // the board was unplugged: nothing more goes to it
    const char* phase;  // the phase and address of the unit in progress
    std::uint32_t address;
    const char* fault;      // the cause of the last failed transfer; null: none
    std::uint32_t retries;  // units redone so far
    link_retry_entry retry_log[LINK_RETRY_LOG];
    // The queue's own state.
    bool desynchronised;      // answers may be left over: no further transaction
    std::uint32_t out_used;   // command bytes queued in out
    std::uint32_t answers;    // answer bytes the queued commands will return
    std::uint64_t spi_bytes;  // bytes clocked over SPI so far, both ways
    std::uint8_t out[LINK_OUT_SIZE];
    std::uint8_t in[LINK_IN_SIZE];
};

// --- the channel ---------------------------------------------------------------------
// Sets the channel up for SPI at the FT2232H's fastest SK at or below
// clock_hz (LINK_MIN_CLOCK_HZ to LINK_MAX_CLOCK_HZ) and synchronises; a
// failed set-up is tried again up to LINK_UNIT_RETRIES times.
int link_open(FT_HANDLE handle, std::uint32_t clock_hz, link_queue* link);
// Releases the pins as hexburn does (80 08 8B: chip deselected, ADBUS7 low),
// after a failed link_open too, unless the board is gone; the caller closes
// the handle.
void link_close(link_queue* link);

// --- the queue -------------------------------------------------------------------------
// Free command bytes in the queue.
std::uint32_t link_room(const link_queue* link);
// One transaction: the instruction, `count` more bytes out, then `answer`
// bytes in (sampled on the rising edge).
void link_transaction(link_queue* link, std::uint8_t instruction, const std::uint8_t* bytes,
                      std::uint32_t count, std::uint32_t answer);
// Instruction with a 24-bit address, then `count` bytes out and `answer` in.
void link_address(link_queue* link, std::uint8_t instruction, std::uint32_t address,
                  const std::uint8_t* bytes, std::uint32_t count, std::uint32_t answer);
// The instruction, then its one-byte answer read `samples` times, `gap_ns` of
// clocks apart, in one transaction: for a chip that keeps sending a live value.
void link_sample_train(link_queue* link, std::uint8_t instruction, std::uint32_t samples,
                       std::uint64_t gap_ns);
// SK cycles with the chip deselected: a pause of at least `ns` on the engine.
void link_pause(link_queue* link, std::uint64_t ns);
// Sends the queue with 0x87 behind it (answers at once) and, when answers
// are due, reads exactly that many into `answers` (room for link->answers bytes).
// A write or read that fails or comes up short empties the receive queue
// and gives LINK_ERR_TRANSFER; no answer is ever taken for another.
int link_flush(link_queue* link, std::uint8_t* answers);

// --- retries ---------------------------------------------------------------------------
// The unit that follows (for retries and the unplugged message): its
// phase and address; clears the last transfer's fault.
void link_unit(link_queue* link, const char* phase, std::uint32_t address);
// After a unit failed: true when it may be done again, the link drained and
// resynchronised (whatever the lost transfer started on the chip may still
// run: waiting for it is the caller's). False when the failure was not a
// transfer's, the board is gone, or the unit (*attempts) or the run ran out
// of retries.
bool link_recover(link_queue* link, std::uint32_t* attempts);

// --- progress and time -------------------------------------------------------------------
// True when the caller asked to stop.
bool link_stop(const link_progress* progress);
void link_report(const link_progress* progress, const char* phase, std::uint64_t done,
                 std::uint64_t total);
// Milliseconds on the driver clock.
std::uint64_t link_now_ms();
// Sleeps `ms` on the driver clock.
void link_sleep_ms(std::uint32_t ms);
// How long `clocks` SK cycles take at clock_hz, rounded down.
std::uint64_t link_clocks_ns(std::uint64_t clocks, std::uint32_t clock_hz);
// SK cycles at clock_hz that take at least `ns`.
std::uint64_t link_ns_clocks(std::uint64_t ns, std::uint32_t clock_hz);
