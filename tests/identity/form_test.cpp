// A pool's forms: what pool add accepts, and the text and bytes of a value.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "case_name.h"
#include "identity/form.h"

namespace {

ValueForm form_of(const std::string& text, const std::string& prefix = "") {
    ValueForm form;
    std::string error;
    EXPECT_TRUE(parse_form(text, prefix, form, error)) << error;
    return form;
}

// --- pool add's input -------------------------------------------------------------------

struct InputCase {
    std::string name;
    std::string form;
    std::string prefix;
    std::string first;
    std::string last;
    std::string error;  // empty: accepted; else the start of the message
};

class PoolInput : public testing::TestWithParam<InputCase> {};

TEST_P(PoolInput, AcceptedOrRefusedWithWhy) {
    const InputCase& c = GetParam();
    ValueForm form;
    std::string error;
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    const bool ok = parse_form(c.form, c.prefix, form, error) &&
                    parse_value(form, c.first, first, error) &&
                    parse_value(form, c.last, last, error) && check_range(form, first, last, error);
    if (c.error.empty()) {
        EXPECT_TRUE(ok) << error;
        EXPECT_EQ(form_text(form), c.form);
    } else {
        EXPECT_FALSE(ok);
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PoolInput,
    testing::Values(
        InputCase{"Serial", "ascii:6", "OXA2-", "1", "999999", ""},
        InputCase{"SerialWithPrefixGiven", "ascii:6", "OXA2-", "OXA2-000001", "OXA2-999999", ""},
        InputCase{"Mac", "mac", "", "02:00:00:00:00:00", "02:00:00:00:ff:ff", ""},
        InputCase{"MacUpperCase", "mac", "", "02:00:00:00:00:00", "02:00:00:00:FF:FF", ""},
        InputCase{"BigEndianHex", "be:4", "", "0x10", "0xFFFFFFFF", ""},
        InputCase{"EightBytesToTheTop", "le:8", "", "0", "18446744073709551615", ""},
        InputCase{"OneValue", "be:1", "", "7", "7", ""},
        InputCase{"FirstAboveLast", "ascii:6", "", "10", "9", "--first 000010 is above --last"},
        InputCase{"MacFirstAboveLast", "mac", "", "02:00:00:00:00:01", "02:00:00:00:00:00",
                  "--first 02:00:00:00:00:01 is above --last 02:00:00:00:00:00"},
        InputCase{"AsciiTooNarrow", "ascii:3", "", "1", "1000",
                  "--form ascii:3 is too narrow for --last 1000"},
        InputCase{"BigEndianTooNarrow", "be:1", "", "0", "256", "--last 256 does not fit be:1"},
        InputCase{"MacBadByte", "mac", "", "02:00:00:00:00:0g", "02:00:00:00:ff:ff",
                  "02:00:00:00:00:0g: bad byte \"0g\""},
        InputCase{"MacThreeDigits", "mac", "", "02:00:00:00:00:100", "02:00:00:00:ff:ff",
                  "02:00:00:00:00:100: bad byte \"100\""},
        InputCase{"MacFiveBytes", "mac", "", "02:00:00:00:00", "02:00:00:00:ff:ff",
                  "02:00:00:00:00: a MAC has 6 bytes"},
        InputCase{"MacSevenBytes", "mac", "", "02:00:00:00:00:00:00", "02:00:00:00:ff:ff",
                  "02:00:00:00:00:00:00: bad byte \"00:00\""},
        InputCase{"NotANumber", "be:2", "", "12a", "20", "12a: not a number"},
        InputCase{"NegativeNumber", "le:2", "", "-1", "20", "-1: not a number"},
        InputCase{"PastTwoToTheSixtyFour", "le:8", "", "0", "18446744073709551616",
                  "18446744073709551616: not a number"},
        InputCase{"AsciiOtherPrefix", "ascii:6", "OXA2-", "OXB2-000001", "9",
                  "OXB2-000001: not a decimal number"},
        InputCase{"AsciiNoWidth", "ascii", "", "1", "9", "--form ascii: ascii:W takes 1 to 20"},
        InputCase{"AsciiTooWide", "ascii:21", "", "1", "9", "--form ascii:21: ascii:W takes"},
        InputCase{"NineBytes", "be:9", "", "1", "9", "--form be:9: be:N takes 1 to 8 bytes"},
        InputCase{"ZeroBytes", "le:0", "", "1", "9", "--form le:0: le:N takes 1 to 8 bytes"},
        InputCase{"UnknownForm", "bcd:4", "", "1", "9", "unknown --form bcd:4"},
        InputCase{"MacWithWidth", "mac:6", "", "1", "9", "unknown --form mac:6"},
        InputCase{"PrefixOnNumber", "be:2", "X", "1", "9", "--prefix goes with an ascii form"},
        InputCase{"PrefixNotPrintable", "ascii:4", "a\tb", "1", "9", "--prefix a\tb: printable"}),
    case_name<InputCase>);

// --- a value's text and bytes ----------------------------------------------------------

struct ValueCase {
    std::string name;
    std::string form;
    std::string prefix;
    std::uint64_t number;
    std::string text;
    std::vector<std::uint8_t> bytes;
};

class ValueShape : public testing::TestWithParam<ValueCase> {};

TEST_P(ValueShape, TextBytesAndBack) {
    const ValueCase& c = GetParam();
    const ValueForm form = form_of(c.form, c.prefix);
    EXPECT_EQ(value_text(form, c.number), c.text);
    EXPECT_EQ(value_bytes(form, c.number), c.bytes);
    EXPECT_EQ(form_size(form), c.bytes.size());
    // What a record shows reads back as the same number (pool show takes it).
    std::uint64_t back = 0;
    std::string error;
    ASSERT_TRUE(parse_value(form, c.text, back, error)) << error;
    EXPECT_EQ(back, c.number);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ValueShape,
    testing::Values(
        ValueCase{"AsciiPadded",
                  "ascii:6",
                  "OXA2-",
                  1,
                  "OXA2-000001",
                  {'O', 'X', 'A', '2', '-', '0', '0', '0', '0', '0', '1'}},
        ValueCase{"AsciiFull", "ascii:3", "", 999, "999", {'9', '9', '9'}},
        ValueCase{"AsciiTwentyDigits",
                  "ascii:20",
                  "",
                  18446744073709551615ull,
                  "18446744073709551615",
                  {'1', '8', '4', '4', '6', '7', '4', '4', '0', '7',
                   '3', '7', '0', '9', '5', '5', '1', '6', '1', '5'}},
        ValueCase{"BigEndian", "be:4", "", 0x01020304, "16909060", {1, 2, 3, 4}},
        ValueCase{"LittleEndian", "le:4", "", 0x01020304, "16909060", {4, 3, 2, 1}},
        ValueCase{"BigEndianHighBytesZero", "be:3", "", 0x10, "16", {0, 0, 0x10}},
        ValueCase{"EightBytes",
                  "le:8",
                  "",
                  0x8000000000000001ull,
                  "9223372036854775809",
                  {1, 0, 0, 0, 0, 0, 0, 0x80}},
        ValueCase{"Mac", "mac", "", 0x0200000000ABull, "02:00:00:00:00:ab", {2, 0, 0, 0, 0, 0xAB}},
        ValueCase{"MacTop",
                  "mac",
                  "",
                  0xFFFFFFFFFFFFull,
                  "ff:ff:ff:ff:ff:ff",
                  {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}}),
    case_name<ValueCase>);

TEST(FormMax, EachFormsLargestNumber) {
    EXPECT_EQ(form_max(form_of("ascii:1")), 9u);
    EXPECT_EQ(form_max(form_of("ascii:19")), 9999999999999999999ull);
    EXPECT_EQ(form_max(form_of("ascii:20")), 18446744073709551615ull);
    EXPECT_EQ(form_max(form_of("be:1")), 255u);
    EXPECT_EQ(form_max(form_of("le:7")), 0xFFFFFFFFFFFFFFull);
    EXPECT_EQ(form_max(form_of("be:8")), 18446744073709551615ull);
    EXPECT_EQ(form_max(form_of("mac")), 0xFFFFFFFFFFFFull);
}

}  // namespace
