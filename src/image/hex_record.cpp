#include "image/hex_record.h"

#include <array>

namespace {

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

// Each byte with its bit order reversed, and each byte as it is: the data of
// a record goes through one of the two.
constexpr std::array<std::uint8_t, 256> make_byte_table(bool reversed) {
    std::array<std::uint8_t, 256> table{};
    for (unsigned value = 0; value < 256; ++value) {
        unsigned out = value;
        if (reversed) {
            out = 0;
            for (unsigned bit = 0; bit < 8; ++bit) {
                out |= ((value >> bit) & 1u) << (7 - bit);
            }
        }
        table[value] = static_cast<std::uint8_t>(out);
    }
    return table;
}

constexpr std::array<std::uint8_t, 256> kReversed = make_byte_table(true);
constexpr std::array<std::uint8_t, 256> kAsRead = make_byte_table(false);

int digit_value(char c) {
    return kDigit[static_cast<unsigned char>(c)];
}

// Value of the two digits at text[0] and text[1], or -1. The second is read
// only when the first is a digit, so a NUL in either place ends the reading
// there: a line is never read past its end.
int pair_value(const char* text) {
    int high = digit_value(text[0]);
    if (high < 0) {
        return -1;
    }
    int low = digit_value(text[1]);
    if (low < 0) {
        return -1;
    }
    return high << 4 | low;
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
    return kReversed[static_cast<unsigned>(value) & 0xFFu];
}

int parse_hex_record(hex_record* record, const char* line) {
    // Every field is read digit by digit and a NUL is no digit, so a line
    // shorter than its fields fails where it ends, without a strlen; this is
    // the loop every line of the image goes through, twice.
    if (line[0] != ':') {
        return -1;
    }
    const int length = pair_value(line + 1);
    if (length < 0) {
        return -1;
    }
    const int high = pair_value(line + 3);
    if (high < 0) {
        return -1;
    }
    const int low = pair_value(line + 5);
    if (low < 0) {
        return -1;
    }
    const int type = pair_value(line + 7);
    if (type < 0) {
        return -1;
    }
    record->length = length;
    record->address = high * 256 + low;
    record->type = type;

    // The checksum covers the bytes as written in the line, before reversal.
    // A non-digit in the data is corrupt input, not a 0xFF byte.
    unsigned sum = static_cast<unsigned>(length + high + low + type);
    const std::uint8_t* store = type == kTypeData ? kReversed.data() : kAsRead.data();
    const char* pair = line + kDataStart;
    for (int i = 0; i < length; ++i, pair += 2) {
        const int value = pair_value(pair);
        if (value < 0) {
            return -1;
        }
        sum += static_cast<unsigned>(value);
        record->data[i] = store[value];
    }

    const int checksum = pair_value(pair);
    if (checksum < 0) {
        return -1;
    }
    return ((sum + static_cast<unsigned>(checksum)) & 0xFFu) == 0 ? 0 : -1;
}
