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
#include <vector>

#include "image/hex_record.h"
#include "reference.h"

namespace {

constexpr std::uint8_t kUntouched = 0xA5;

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
    std::vector<std::uint8_t> fields = reference_decode(line.c_str());

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
        if (record.data[i] != (record.type == 0 ? reference_mirror(byte) : byte)) {
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
