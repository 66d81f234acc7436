// SPI transactions as MPSSE command buffers.
//
// A transaction is one buffer, filled front to back and sent with one
// FT_Write: select, the clocking commands, select again, deselect. The
// clocking commands have no functions of their own; the flash driver writes
// them straight into the buffer with the opcodes below.
#pragma once

#include <cstdint>

// MPSSE clocking and pin commands (MSB first, SK idling low).
inline constexpr std::uint8_t MPSSE_BYTES_OUT_FALLING_MSB = 0x11;  // + length L H + the bytes
inline constexpr std::uint8_t MPSSE_BITS_OUT_FALLING_MSB = 0x13;   // + bit length + one byte
inline constexpr std::uint8_t MPSSE_BYTES_IN_FALLING_MSB = 0x24;   // + length L H
inline constexpr std::uint8_t MPSSE_BITS_IN_FALLING_MSB = 0x26;    // + bit length
inline constexpr std::uint8_t MPSSE_SET_LOW_BYTE = 0x80;           // + value + direction

// Bit length field of the bit commands: count - 1; always a whole byte here.
inline constexpr std::uint8_t MPSSE_EIGHT_BITS = 0x07;

// ADBUS0..7 (bit n is ADBUSn): SK 0, DO 1, DI 2, chip select 3 (active low),
// general output 7. The directions never change after set-up.
inline constexpr std::uint8_t SPI_PINS_DIRECTION = 0x8B;  // SK, DO, CS, ADBUS7 out
inline constexpr std::uint8_t SPI_PINS_IDLE = 0x88;       // CS high, ADBUS7 high
inline constexpr std::uint8_t SPI_PINS_SELECTED = 0x80;   // CS low, ADBUS7 high
inline constexpr std::uint8_t SPI_PINS_RELEASED = 0x08;   // CS high, ADBUS7 low

// Length of the select and deselect commands.
inline constexpr std::uint32_t SPI_SELECT_SIZE = 3;

// Writes the select command (CS low) at buffer; returns 3, or 0 when room < 3.
std::uint32_t spi_select(std::uint8_t* buffer, std::uint32_t room);
// Writes the deselect command (CS high) at buffer; returns 3, or 0 when room < 3.
std::uint32_t spi_deselect(std::uint8_t* buffer, std::uint32_t room);
