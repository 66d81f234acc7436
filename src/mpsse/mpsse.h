// Set-up, synchronisation, drain and release of the FT2232H channel in MPSSE
// mode, and the SK clock's arithmetic. hexburn and hexflash's link set the
// channel up, synchronise and drain with the same functions; a plan says
// where the two differ.
#pragma once

#include <cstdint>

#include "d2xx/d2xx_types.h"
#include "mpsse/opcodes.h"

// --- the SK clock -------------------------------------------------------------------
// With the divide-by-5 off: SK = 60 MHz / ((1 + divisor) * 2).
inline constexpr std::uint32_t MPSSE_BASE_CLOCK_HZ = 60000000;
// hexburn's SK: 60 MHz / ((1 + 29) * 2) = 1 MHz.
inline constexpr std::uint16_t MPSSE_CLOCK_DIVISOR = 29;

// The divisor of the fastest SK at or below clock_hz (above 0).
std::uint16_t mpsse_clock_divisor(std::uint32_t clock_hz);
// The SK frequency `divisor` gives.
std::uint32_t mpsse_clock_hz(std::uint16_t divisor);

// --- time-outs ------------------------------------------------------------------------
// How long a synchronisation waits for its echo on the driver's clock.
inline constexpr std::uint64_t MPSSE_SYNC_TIMEOUT_MS = 3000;

// The drain's quiet time at hexburn's 1 MHz: well past the latency timer
// (1 ms) and the clocking of the longest answer (256 bytes). Its bound: the
// read time-out.
inline constexpr std::uint64_t MPSSE_DRAIN_QUIET_MS = 20;
inline constexpr std::uint64_t MPSSE_DRAIN_LIMIT_MS = 3000;

// The quiet time at `clock_hz`: MPSSE_DRAIN_QUIET_MS and two USB packets'
// worth of answers (510 bytes each) clocked in (836 ms at 10 kHz), well
// inside MPSSE_DRAIN_LIMIT_MS at any clock from 10 kHz.
std::uint64_t mpsse_drain_quiet_ms(std::uint32_t clock_hz);

// --- the channel ------------------------------------------------------------------------
// Resets the channel, empties its receive queue, and sets the USB transfer
// size, no event characters, 3 s time-outs, the 1 ms latency timer and MPSSE
// mode. Every call is made; returns the OR of their results. Prints nothing.
FT_STATUS mpsse_open_channel(FT_HANDLE handle, std::uint32_t transfer_size);

// --- synchronisation ----------------------------------------------------------------------
// How a synchronisation looks for its echo. An impatient one (hexburn's)
// takes a failed or short write for sent, polls the queue without pause until
// something is there, searches only what was queued then, each read on its
// own (a pair split across two reads does not count), and gives up after
// that. A patient one fails on a failed or short write, keeps looking until
// the echo or the time-out, sleeping 1 ms between empty looks, and finds a
// pair split across two reads.
struct mpsse_sync_plan {
    bool patient;
    std::uint8_t* buffer;  // the answers are read into it and searched there
    std::uint32_t buffer_size;
};

enum mpsse_echo : std::uint8_t {
    MPSSE_ECHOED,
    MPSSE_ECHO_WRITE_FAILED,  // patient only: the opcode's write failed or was short
    MPSSE_ECHO_READ_FAILED,   // a queue look or a read failed
    MPSSE_NO_ECHO,            // none in what was searched, or none within MPSSE_SYNC_TIMEOUT_MS
};

// Sends the invalid `opcode` and looks for MPSSE_BAD_COMMAND_REPLY, opcode in
// the answer, as `plan` says. *status: the failed call's result (FT_OK for a
// short write), FT_OTHER_ERROR for no echo, FT_OK on the echo. Prints nothing.
mpsse_echo mpsse_sync_echo(FT_HANDLE handle, std::uint8_t opcode, const mpsse_sync_plan* plan,
                           FT_STATUS* status);

// The impatient synchronisation on the low 8 bits of `opcode`: 0 on the echo;
// the failed call's status; FT_OTHER_ERROR for no echo.
FT_STATUS mpsse_sync(FT_HANDLE handle, std::uint32_t opcode);

// --- drain ----------------------------------------------------------------------------------
// How a drain goes: the queue empty for quiet_ms means nothing more is on
// its way; it gives up after limit_ms on the driver's clock. A patient drain
// rides out a failed driver call and sleeps 1 ms between empty looks; an
// impatient one ends at the first failed call and polls without pause.
struct mpsse_drain_plan {
    std::uint64_t quiet_ms;
    std::uint64_t limit_ms;
    bool patient;
    std::uint8_t* sink;  // what is read is thrown away here
    std::uint32_t sink_size;
};

// Throws away answer bytes that a failed or short read (or write) left
// behind, so that none is taken for a later transaction's: reads whatever is
// queued, also bytes still on their way, as `plan` says. True when the queue
// was seen quiet; false when it gave up or a driver call failed. Prints nothing.
bool mpsse_drain_until_quiet(FT_HANDLE handle, const mpsse_drain_plan* plan);

// The classic drain: impatient, MPSSE_DRAIN_QUIET_MS and MPSSE_DRAIN_LIMIT_MS.
void mpsse_drain(FT_HANDLE handle);

// --- set-up -----------------------------------------------------------------------------------
// How the channel is set up: mpsse_open_channel with transfer_size, 50 ms for
// the mode to settle, MPSSE_SYNC_FIRST and MPSSE_SYNC_SECOND synchronised as
// `sync` says, then `drain` (when not null), then the clock, pin (idle) and
// loop-back commands. Paced (hexburn's): in three writes, all made whatever
// came before, the pins given 20 ms before loop-back goes off and 30 ms
// after. Unpaced: in one write, loop-back off before the pins, no pause.
struct mpsse_setup_plan {
    std::uint32_t transfer_size;
    std::uint16_t clock_divisor;
    const mpsse_sync_plan* sync;
    const mpsse_drain_plan* drain;
    bool paced;
};

enum mpsse_setup_step : std::uint8_t {
    MPSSE_SETUP_DONE,
    MPSSE_SETUP_OPEN_FAILED,   // a channel call failed: nothing more was sent
    MPSSE_SETUP_NO_SYNC,       // a synchronisation failed: nothing more was sent
    MPSSE_SETUP_WRITE_FAILED,  // a clock, pin or loop-back write failed or was short
};

struct mpsse_setup_result {
    mpsse_setup_step step;
    // OPEN_FAILED: the OR of the channel calls; NO_SYNC: the sync's status;
    // WRITE_FAILED: the OR of the writes' results (FT_OK: one was short).
    FT_STATUS status;
    mpsse_echo echo;      // NO_SYNC: how it failed
    std::uint8_t opcode;  // NO_SYNC: the opcode that had no echo
    bool drained;         // the drain saw the queue quiet (true without one)
};

// Sets the channel up as `plan` says, stopping at the first failed step;
// *result says how far it came. Prints nothing.
void mpsse_set_up(FT_HANDLE handle, const mpsse_setup_plan* plan, mpsse_setup_result* result);

// hexburn's set-up: USB transfers of 65,535 bytes, impatient synchronisation,
// no drain, paced, 1 MHz. 0 when ready; the result of the failed
// synchronisation, or FT_OTHER_ERROR when another step failed; prints its own
// message on failure.
FT_STATUS mpsse_init(FT_HANDLE handle);

// --- release ------------------------------------------------------------------------------------
// Leaves the pins in their final state (CS high, ADBUS7 low); the write's status.
FT_STATUS mpsse_release(FT_HANDLE handle);
