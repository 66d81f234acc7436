// Fuzz target: parse_hex_record on any bytes taken as one line. Checks the
// parser's answer against a decoding written here from the record syntax:
// it accepts exactly the valid records, and an accepted record says what the
// line says, with no data entry written past its length.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "hexfile/hex_record.h"

namespace {

constexpr std::uint8_t kUntouched = 0xA5;

int digit(char c) {
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

std::uint8_t mirrored(std::uint8_t byte) {
    std::uint8_t out = 0;
    for (int bit = 0; bit < 8; ++bit) {
        out = static_cast<std::uint8_t>(out | (((byte >> bit) & 1) << (7 - bit)));
    }
    return out;
}

// The fields of a valid record: count, offset high, offset low, type, data...,
// checksum. Empty when `text` (up to its NUL) is no valid record.
std::basic_string<std::uint8_t> decode(const char* text) {
    std::size_t size = std::strlen(text);
    std::basic_string<std::uint8_t> bytes;
    if (size < 11 || text[0] != ':') {
        return {};
    }
    for (std::size_t at = 1; at + 1 < size; at += 2) {
        int high = digit(text[at]);
        int low = digit(text[at + 1]);
        if (high < 0 || low < 0) {
            break;
        }
        bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
        if (bytes.size() == 5u + bytes[0]) {
            unsigned sum = 0;
            for (std::uint8_t byte : bytes) {
                sum += byte;
            }
            return sum % 256 == 0 ? bytes : std::basic_string<std::uint8_t>();
        }
    }
    return {};
}

void fail(const char* what) {
    std::fprintf(stderr, "hex_record_fuzz: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string line(reinterpret_cast<const char*>(data), size);  // NUL-terminated copy
    hex_record record;
    std::memset(&record, kUntouched, sizeof record);
    int result = parse_hex_record(&record, line.c_str());
    std::basic_string<std::uint8_t> fields = decode(line.c_str());

    if (result != 0 && result != -1) {
        fail("result is neither 0 nor -1");
    }
    if ((result == 0) != !fields.empty()) {
        fail(result == 0 ? "accepted an invalid record" : "refused a valid record");
    }
    if (result != 0) {
        return 0;
    }
    if (record.length != fields[0] || record.address != fields[1] * 256 + fields[2] ||
        record.type != fields[3]) {
        fail("the length, address or type differs from the line");
    }
    for (int i = 0; i < record.length; ++i) {
        std::uint8_t byte = fields[4 + static_cast<std::size_t>(i)];
        if (record.data[i] != (record.type == 0 ? mirrored(byte) : byte)) {
            fail("a data byte differs from the line");
        }
    }
    for (std::size_t i = static_cast<std::size_t>(record.length); i < sizeof record.data; ++i) {
        if (record.data[i] != kUntouched) {
            fail("a data entry past the length was written");
        }
    }
    return 0;
}
