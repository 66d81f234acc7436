// Building and sending one SPI transaction; used only inside the flash driver.
//
// A frame is select, the clocking commands, select again, deselect, sent with
// one FT_Write; an answer, when due, comes back with one FT_Read of exactly
// its length. The frames are small and fixed, so the clocking commands are
// written without room checks. A transaction that fails drains the receive
// queue before it returns: whatever answer it left there would otherwise be
// read as the next transaction's.
#pragma once

#include <cstdint>

#include "d2xx/d2xx.h"
#include "mpsse/mpsse.h"
#include "mpsse/opcodes.h"
#include "mpsse/spi.h"

inline constexpr std::uint32_t FRAME_SIZE = 128;          // every transaction but PP
inline constexpr std::uint32_t PROGRAM_FRAME_SIZE = 300;  // PP: 16 + 256 bytes in use

// Select and the instruction on the bit command; returns the position after it.
inline std::uint32_t frame_instruction(std::uint8_t* frame, std::uint32_t capacity,
                                       std::uint8_t instruction) {
    std::uint32_t at = spi_select(frame, capacity);
    frame[at++] = MPSSE_BITS_OUT_FALLING_MSB;
    frame[at++] = MPSSE_EIGHT_BITS;
    frame[at++] = instruction;
    return at;
}

// Select, then instruction, the low 24 bits of `address` and `data_count`
// bytes on one byte command; the caller puts the data at the returned position.
inline std::uint32_t frame_address(std::uint8_t* frame, std::uint32_t capacity,
                                   std::uint8_t instruction, std::uint32_t address,
                                   std::uint32_t data_count) {
    std::uint32_t at = spi_select(frame, capacity);
    frame[at++] = MPSSE_BYTES_OUT_FALLING_MSB;
    at += mpsse_length_field(frame + at, 4 + data_count);
    frame[at++] = instruction;
    frame[at++] = static_cast<std::uint8_t>((address >> 16) & 0xFF);
    frame[at++] = static_cast<std::uint8_t>((address >> 8) & 0xFF);
    frame[at++] = static_cast<std::uint8_t>(address & 0xFF);
    return at;
}

// One answer byte on the bit command.
inline std::uint32_t frame_bits_in(std::uint8_t* frame, std::uint32_t at) {
    frame[at++] = MPSSE_BITS_IN_FALLING_MSB;
    frame[at++] = MPSSE_EIGHT_BITS;
    return at;
}

// `count` answer bytes (1 to 65536) on the byte command.
inline std::uint32_t frame_bytes_in(std::uint8_t* frame, std::uint32_t at, std::uint32_t count) {
    frame[at++] = MPSSE_BYTES_IN_FALLING_MSB;
    return at + mpsse_length_field(frame + at, count);
}

// Select a second time, then deselect; returns the frame's length.
inline std::uint32_t frame_close(std::uint8_t* frame, std::uint32_t at, std::uint32_t capacity) {
    at += spi_select(frame + at, capacity - at);
    at += spi_deselect(frame + at, capacity - at);
    return at;
}

// True when the whole frame was written. Part of a frame that was not may
// have reached the engine, and clocked an answer.
inline bool frame_send(FT_HANDLE handle, const std::uint8_t* frame, std::uint32_t length) {
    std::uint32_t written = 0;
    const bool sent = FT_Write(handle, frame, length, &written) == FT_OK && written == length;
    if (!sent) {
        mpsse_drain(handle);
    }
    return sent;
}

// True when exactly `count` answer bytes arrived.
inline bool frame_receive(FT_HANDLE handle, std::uint8_t* answer, std::uint32_t count) {
    std::uint32_t got = 0;
    const bool received = FT_Read(handle, answer, count, &got) == FT_OK && got == count;
    if (!received) {
        mpsse_drain(handle);
    }
    return received;
}
