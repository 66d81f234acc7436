// An independent reading of Intel HEX records for the fuzz targets' checks,
// written from the record syntax alone, not from the program's parser.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

inline int reference_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

inline std::uint8_t reference_mirror(std::uint8_t byte) {
    std::uint8_t out = 0;
    for (int bit = 0; bit < 8; ++bit) {
        out = static_cast<std::uint8_t>(out | (((byte >> bit) & 1) << (7 - bit)));
    }
    return out;
}

// The fields of a valid record (count, offset high, offset low, type, data...,
// checksum) read from `line` up to its first NUL; empty when it is none.
inline std::vector<std::uint8_t> reference_decode(std::string_view line) {
    line = line.substr(0, line.find('\0'));
    std::vector<std::uint8_t> bytes;
    if (line.size() < 11 || line[0] != ':') {
        return {};
    }
    for (std::size_t at = 1; at + 1 < line.size(); at += 2) {
        int high = reference_digit(line[at]);
        int low = reference_digit(line[at + 1]);
        if (high < 0 || low < 0) {
            return {};
        }
        bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
        if (bytes.size() == 5u + bytes[0]) {
            unsigned sum = 0;
            for (std::uint8_t byte : bytes) {
                sum += byte;
            }
            return sum % 256 == 0 ? bytes : std::vector<std::uint8_t>();
        }
    }
    return {};
}
