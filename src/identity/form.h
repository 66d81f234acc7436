// How a pool's values look: as text in a record and as bytes in the chip.
// A value is a number between the pool's first and last; its form turns it
// into the bytes a field writes and the text a record shows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class FormKind {
    kAscii,         // ascii:W: the prefix, then the number in W decimal digits, no terminator
    kBigEndian,     // be:N: an N-byte unsigned integer, most significant byte first
    kLittleEndian,  // le:N: the same, least significant byte first
    kMac,           // mac: 6 bytes, written aa:bb:cc:dd:ee:ff
};

struct ValueForm {
    FormKind kind = FormKind::kAscii;
    unsigned width = 0;  // ascii: digits; be, le: bytes; mac: 6
    std::string prefix;  // ascii only
};

// Reads FORM ("ascii:6", "be:4", "le:2", "mac") with its prefix (ascii only;
// printable ASCII). False with `error` naming what is wrong.
bool parse_form(const std::string& text, const std::string& prefix, ValueForm& form,
                std::string& error);
// The form as parse_form takes it back: "ascii:6", "be:4", "mac".
std::string form_text(const ValueForm& form);
// The bytes a value takes in the chip.
std::size_t form_size(const ValueForm& form);
// The largest number the form can hold.
std::uint64_t form_max(const ValueForm& form);

// A value as a person writes it: a MAC as aa:bb:cc:dd:ee:ff; an ascii value
// with or without its prefix; any other as a decimal or 0x-hex number. False
// with `error` naming the bad part.
bool parse_value(const ValueForm& form, const std::string& text, std::uint64_t& number,
                 std::string& error);
// A pool's range as pool add takes it: both values readable, first at most
// last, last within the form.
bool check_range(const ValueForm& form, std::uint64_t first, std::uint64_t last,
                 std::string& error);

// The value as a record shows it: ascii as written, a MAC in lower case,
// be and le in decimal.
std::string value_text(const ValueForm& form, std::uint64_t number);
// The value as the image gives it (before any bit reversal).
std::vector<std::uint8_t> value_bytes(const ValueForm& form, std::uint64_t number);
