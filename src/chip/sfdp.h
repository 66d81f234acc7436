// The fields of a part's SFDP tables (JEDEC JESD216) that the parser reads,
// each by name: the SFDP header and a parameter header at address 0, then the
// Basic Flash Parameter Table (BFPT), whose DWORDs are numbered from 1 and
// handed over as the little-endian values they are (`dwN` is DWORD N).
//
// Plain bit-field reads: what a value means for a part (and whether it is
// plausible) is chip_from_bfpt's to decide.
#pragma once

#include <cstddef>
#include <cstdint>

// --- reading ---------------------------------------------------------------------
// DWORD `n` (from 1) of a table of little-endian DWORDs.
constexpr std::uint32_t sfdp_dword(const std::uint8_t* table, std::uint32_t n) {
    const std::uint8_t* at = table + 4 * (n - 1);
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
           static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

// --- the SFDP header (bytes 0-7) and the first parameter header (8-15) ----------------
inline constexpr std::size_t SFDP_HEADER_BYTES = 8;
inline constexpr std::uint16_t SFDP_BFPT_ID = 0xFF00;  // the parameter ID of the BFPT

constexpr std::uint32_t sfdp_signature(const std::uint8_t* header) {
    return sfdp_dword(header, 1);
}
// A parameter header's fields (`param` at its first byte): the ID, from its
// LSB (byte 0) and MSB (byte 7); the table's length in DWORDs; its address.
constexpr std::uint16_t sfdp_param_id(const std::uint8_t* param) {
    return static_cast<std::uint16_t>(param[7] << 8 | param[0]);
}
constexpr std::uint32_t sfdp_param_dwords(const std::uint8_t* param) {
    return param[3];
}
constexpr std::uint32_t sfdp_param_address(const std::uint8_t* param) {
    return static_cast<std::uint32_t>(param[4]) | static_cast<std::uint32_t>(param[5]) << 8 |
           static_cast<std::uint32_t>(param[6]) << 16;
}

// --- BFPT lengths --------------------------------------------------------------------------
inline constexpr std::uint32_t BFPT_FIRST_DWORDS = 9;   // the first JESD216: no times, no page
inline constexpr std::uint32_t BFPT_TIMED_DWORDS = 11;  // DWORDs 10 and 11 there (rev A on)

// --- DWORD2: density -----------------------------------------------------------------------
// The size in bits: bit 31 clear, the value + 1; set, 2^N. 0 when 2^N is
// beyond any part (N of 40 or more).
constexpr std::uint64_t bfpt_density_bits(std::uint32_t dw2) {
    const std::uint32_t value = dw2 & 0x7FFFFFFFU;
    if ((dw2 & 0x80000000U) == 0) {
        return std::uint64_t{value} + 1;
    }
    return value < 40 ? 1ULL << value : 0;
}

// --- DWORDs 8 and 9: erase types 1-4 -------------------------------------------------------
// Type n (1..4) is a size byte N (2^N bytes, 0: no such type) and its opcode;
// `dw8_9` holds DWORD8 in bits 31..0 and DWORD9 in bits 63..32.
struct bfpt_erase {
    std::uint32_t size;  // bytes; 0: no such type (or one of 4 GiB or more)
    std::uint8_t opcode;
};
constexpr std::uint64_t bfpt_erase_dwords(std::uint32_t dw8, std::uint32_t dw9) {
    return std::uint64_t{dw8} | std::uint64_t{dw9} << 32;
}
constexpr bfpt_erase bfpt_erase_type(std::uint64_t dw8_9, std::uint32_t n) {
    const std::uint32_t pair = static_cast<std::uint32_t>(dw8_9 >> (16 * (n - 1))) & 0xFFFF;
    const std::uint32_t shift = pair & 0xFF;
    return {shift != 0 && shift < 32 ? 1U << shift : 0, static_cast<std::uint8_t>(pair >> 8)};
}

// --- DWORD10: erase times ------------------------------------------------------------------
// Maximum = typical x this factor, 2 (C + 1) with C in bits 3:0; the chip
// erase's maximum too.
constexpr std::uint32_t bfpt_erase_max_factor(std::uint32_t dw10) {
    return 2 * ((dw10 & 0xF) + 1);
}
// Erase type n's (1..4) typical time: a 7-bit field at bit 4 + 7 (n - 1),
// count in bits 4:0, unit in 6:5 (1 ms, 16 ms, 128 ms, 1 s).
constexpr std::uint32_t bfpt_erase_typ_ms(std::uint32_t dw10, std::uint32_t n) {
    constexpr std::uint32_t kUnits[] = {1, 16, 128, 1000};
    const std::uint32_t field = (dw10 >> (4 + 7 * (n - 1))) & 0x7F;
    return ((field & 0x1F) + 1) * kUnits[field >> 5];
}

// --- DWORD11: program times, page size, chip erase time ------------------------------------
// Maximum = typical x this factor, 2 (C + 1) with C in bits 3:0.
constexpr std::uint32_t bfpt_program_max_factor(std::uint32_t dw11) {
    return 2 * ((dw11 & 0xF) + 1);
}
// 2^N bytes, N in bits 7:4.
constexpr std::uint32_t bfpt_page_size(std::uint32_t dw11) {
    return 1U << ((dw11 >> 4) & 0xF);
}
// Bits 13:8: count in 12:8, unit in 13 (8 us, 64 us).
constexpr std::uint32_t bfpt_page_program_typ_us(std::uint32_t dw11) {
    const std::uint32_t field = (dw11 >> 8) & 0x3F;
    return ((field & 0x1F) + 1) * ((field & 0x20) != 0 ? 64 : 8);
}
// Bits 30:24: count in 28:24, unit in 30:29 (16 ms, 256 ms, 4 s, 64 s).
constexpr std::uint32_t bfpt_chip_erase_typ_ms(std::uint32_t dw11) {
    constexpr std::uint32_t kUnits[] = {16, 256, 4000, 64000};
    const std::uint32_t field = (dw11 >> 24) & 0x7F;
    return ((field & 0x1F) + 1) * kUnits[field >> 5];
}
