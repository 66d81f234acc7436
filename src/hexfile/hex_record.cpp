#include "hexfile/hex_record.h"

#include <array>

namespace {

// Colon, byte count, load offset, type and checksum: the shortest record.
constexpr int kMinRecordChars = 11;
constexpr int kDataStart = 9;  // position of the first data digit
constexpr int kTypeData = 0;   // the only type whose bytes are stored reversed

// Digit value of every byte, -1 for non-digits. Built here rather than with
// toupper/isxdigit so that no locale can widen what counts as a digit.
constexpr std::array<std::int8_t, 256> make_digit_table() {
    std::array<std::int8_t, 256> table{};
    for (std::int8_t& entry : table) {
        entry = -1;
    }
    for (int c = '0'; c <= '9'; ++c) {
        table[static_cast<std::size_t>(c)] = static_cast<std::int8_t>(c - '0');
    }
    for (int c = 'A'; c <= 'F'; ++c) {
        table[static_cast<std::size_t>(c)] = static_cast<std::int8_t>(c - 'A' + 10);
        table[static_cast<std::size_t>(c - 'A' + 'a')] = static_cast<std::int8_t>(c - 'A' + 10);
    }
    return table;
}

constexpr std::array<std::int8_t, 256> kDigit = make_digit_table();

int digit_value(char c) {
    return kDigit[static_cast<unsigned char>(c)];
}

}  // namespace

int hex_byte(const char* text) {
    int high = digit_value(text[0]);
    int low = digit_value(text[1]);
    if (high < 0 || low < 0) {
        return -1;
    }
    return high * 16 + low;
}

int reverse_bits(int value) {
    unsigned bits = static_cast<unsigned>(value) & 0xFFu;
    bits = (bits & 0xF0u) >> 4 | (bits & 0x0Fu) << 4;
    bits = (bits & 0xCCu) >> 2 | (bits & 0x33u) << 2;
    bits = (bits & 0xAAu) >> 1 | (bits & 0x55u) << 1;
    return static_cast<int>(bits);
}

int parse_hex_record(hex_record* record, const char* line) {
    // The fixed fields lie in the first 11 characters; looking no further
    // than that keeps a long line from costing a full strlen.
    for (int i = 0; i < kMinRecordChars; ++i) {
        if (line[i] == '\0') {
            return -1;
        }
    }
    if (line[0] != ':') {
        return -1;
    }

    int length = hex_byte(line + 1);
    if (length < 0) {
        return -1;
    }
    record->length = length;

    int high = hex_byte(line + 3);
    int low = hex_byte(line + 5);
    if (high < 0 || low < 0) {
        return -1;
    }
    record->address = high * 256 + low;

    int type = hex_byte(line + 7);
    if (type < 0) {
        return -1;
    }
    record->type = type;

    // The checksum covers the bytes as written in the line, before reversal.
    unsigned sum = static_cast<unsigned>(length + high + low + type);
    bool reverse = type == kTypeData;
    const char* pair = line + kDataStart;
    for (int i = 0; i < length; ++i, pair += 2) {
        // A line shorter than its byte count ends in a NUL here; stopping on
        // the pair's first character keeps hex_byte from reading past it.
        // A non-digit in the data is corrupt input, not a 0xFF byte.
        if (pair[0] == '\0') {
            return -1;
        }
        int value = hex_byte(pair);
        if (value < 0) {
            return -1;
        }
        sum += static_cast<unsigned>(value);
        record->data[i] = static_cast<std::uint8_t>(reverse ? reverse_bits(value) : value);
    }

    if (pair[0] == '\0') {
        return -1;
    }
    int checksum = hex_byte(pair);
    if (checksum < 0) {
        return -1;
    }
    return ((sum + static_cast<unsigned>(checksum)) & 0xFFu) == 0 ? 0 : -1;
}
