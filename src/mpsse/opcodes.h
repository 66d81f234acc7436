// Every MPSSE opcode either program sends, and how a command's length is
// written. Data goes MSB first and SK idles low throughout.
#pragma once

#include <cstdint>

// --- clocking data ----------------------------------------------------------------
// Out on the falling edge: the chip samples D on the rising edge.
inline constexpr std::uint8_t MPSSE_BYTES_OUT_FALLING_MSB = 0x11;  // + length L H + the bytes
inline constexpr std::uint8_t MPSSE_BITS_OUT_FALLING_MSB = 0x13;   // + bit length + one byte
// In on the rising edge: half a period after the chip's output changed.
inline constexpr std::uint8_t MPSSE_BYTES_IN_RISING_MSB = 0x20;   // + length L H
inline constexpr std::uint8_t MPSSE_BYTES_IN_FALLING_MSB = 0x24;  // + length L H
inline constexpr std::uint8_t MPSSE_BITS_IN_FALLING_MSB = 0x26;   // + bit length

// --- clocks without data ------------------------------------------------------------
inline constexpr std::uint8_t MPSSE_CLOCK_BITS = 0x8E;   // + bit length: 1 to 8 clocks
inline constexpr std::uint8_t MPSSE_CLOCK_BYTES = 0x8F;  // + length L H: 8 x (length + 1) clocks

// --- pins, clock and mode -------------------------------------------------------------
inline constexpr std::uint8_t MPSSE_SET_LOW_BYTE = 0x80;  // + value + direction
inline constexpr std::uint8_t MPSSE_LOOPBACK_OFF = 0x85;
inline constexpr std::uint8_t MPSSE_SET_CLOCK_DIVISOR = 0x86;  // + divisor low, high
inline constexpr std::uint8_t MPSSE_SEND_IMMEDIATE = 0x87;     // answers go out at once
inline constexpr std::uint8_t MPSSE_DIVIDE_BY_5_OFF = 0x8A;    // 60 MHz master clock
inline constexpr std::uint8_t MPSSE_THREE_PHASE_OFF = 0x8D;
inline constexpr std::uint8_t MPSSE_ADAPTIVE_CLOCK_OFF = 0x97;

// --- synchronisation --------------------------------------------------------------------
inline constexpr std::uint8_t MPSSE_BAD_COMMAND_REPLY = 0xFA;  // answer to an invalid opcode
// Invalid opcodes sent to prove the engine is in step; each comes back
// after MPSSE_BAD_COMMAND_REPLY.
inline constexpr std::uint8_t MPSSE_SYNC_FIRST = 0xAA;
inline constexpr std::uint8_t MPSSE_SYNC_SECOND = 0xAB;

// --- lengths ------------------------------------------------------------------------------
// Bit length field of the bit commands: count - 1; always a whole byte here.
inline constexpr std::uint8_t MPSSE_EIGHT_BITS = 0x07;
// The most bytes one byte command moves or clocks.
inline constexpr std::uint32_t MPSSE_MAX_BYTES = 65536;

// Length field of the byte commands (count 1 to MPSSE_MAX_BYTES): count - 1,
// low byte first, at `at`; returns its size, 2.
inline std::uint32_t mpsse_length_field(std::uint8_t* at, std::uint32_t count) {
    at[0] = static_cast<std::uint8_t>((count - 1) & 0xFF);
    at[1] = static_cast<std::uint8_t>(((count - 1) >> 8) & 0xFF);
    return 2;
}
