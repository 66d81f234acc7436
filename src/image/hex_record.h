// Intel HEX records: one text line of the image file to one checked record.
#pragma once

#include <cstdint>

// One parsed record; the caller owns it and may reuse it for every line.
struct hex_record {
    std::int32_t address;    // 16-bit load offset: high byte * 256 + low byte
    std::uint8_t data[256];  // first `length` entries: the data, bit-reversed in a type 0 record
    std::int32_t length;     // byte count, 0 to 255
    std::int32_t type;       // record type, 0 to 255, stored without interpretation
};

// Value 0..255 of the two hex digits at text[0] (high) and text[1] (low),
// either case; -1 when either is not a digit. Reads both characters.
int hex_byte(const char* text);

// Checks one NUL-terminated line (line end optional, anything after the
// checksum ignored) and fills *record. Returns 0 for a valid record, -1
// otherwise (then *record may be partly overwritten).
int parse_hex_record(hex_record* record, const char* line);

// The low 8 bits of value with their order reversed (bit i to bit 7 - i).
int reverse_bits(int value);
