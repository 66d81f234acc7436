// Set-up, synchronisation and release of the FT2232H channel in MPSSE mode.
#pragma once

#include <cstdint>

#include "d2xx/d2xx_types.h"

// MPSSE set-up commands (the clocking and pin commands are in spi.h).
inline constexpr std::uint8_t MPSSE_BAD_COMMAND_REPLY = 0xFA;  // answer to an invalid opcode
inline constexpr std::uint8_t MPSSE_DIVIDE_BY_5_OFF = 0x8A;    // 60 MHz master clock
inline constexpr std::uint8_t MPSSE_ADAPTIVE_CLOCK_OFF = 0x97;
inline constexpr std::uint8_t MPSSE_THREE_PHASE_OFF = 0x8D;
inline constexpr std::uint8_t MPSSE_SET_CLOCK_DIVISOR = 0x86;  // + divisor low, high
inline constexpr std::uint8_t MPSSE_LOOPBACK_OFF = 0x85;

// Invalid opcodes sent to prove the engine is in step; each comes back
// after MPSSE_BAD_COMMAND_REPLY.
inline constexpr std::uint8_t MPSSE_SYNC_FIRST = 0xAA;
inline constexpr std::uint8_t MPSSE_SYNC_SECOND = 0xAB;

// SK = 60 MHz / ((1 + 29) * 2) = 1 MHz.
inline constexpr std::uint16_t MPSSE_CLOCK_DIVISOR = 29;

// How long mpsse_sync waits for an echo on the driver's clock.
inline constexpr std::uint64_t MPSSE_SYNC_TIMEOUT_MS = 3000;

// The drain's quiet time: well past the latency timer (1 ms) and the clocking
// of the longest answer (256 bytes at 1 MHz). Its bound: the read time-out.
inline constexpr std::uint64_t MPSSE_DRAIN_QUIET_MS = 20;
inline constexpr std::uint64_t MPSSE_DRAIN_LIMIT_MS = 3000;

// Resets the channel, empties its receive queue, and sets the USB transfer
// size, no event characters, 3 s time-outs, the 1 ms latency timer and MPSSE
// mode. Every call is made; returns the OR of their results. Prints nothing.
FT_STATUS mpsse_open_channel(FT_HANDLE handle, std::uint32_t transfer_size);

// Resets, drains and configures the channel, enters MPSSE mode, synchronises
// and sets clock and pins. 0 when ready; FT_OTHER_ERROR when a set-up call
// failed or a set-up write was short, or the result of mpsse_sync; prints its
// own message on failure.
FT_STATUS mpsse_init(FT_HANDLE handle);

// Sends the invalid `opcode` (low 8 bits) and looks for 0xFA `opcode` in the
// queued answer. 0 on the echo; the failed call's status; FT_OTHER_ERROR when
// the answer holds no echo or none came within MPSSE_SYNC_TIMEOUT_MS. Prints nothing.
FT_STATUS mpsse_sync(FT_HANDLE handle, std::uint32_t opcode);

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

// Leaves the pins in their final state (CS high, ADBUS7 low); the write's status.
FT_STATUS mpsse_release(FT_HANDLE handle);
