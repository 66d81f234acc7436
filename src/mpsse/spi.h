// SPI transactions as MPSSE command buffers.
//
// A transaction is one buffer, filled front to back and sent with one
// FT_Write: select, the clocking commands, select again, deselect. The
// clocking commands have no functions of their own; the drivers write them
// straight into their buffers with the opcodes of mpsse/opcodes.h.
#pragma once

#include <cstdint>

#include "mpsse/opcodes.h"

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
