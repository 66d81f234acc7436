// JSON text: what a string literal keeps and what it escapes, and the two
// layouts of an object.
#include <gtest/gtest.h>

#include <string>

#include "case_name.h"
#include "json/json.h"

namespace {

struct StringCase {
    const char* name;
    std::string text;
    std::string json;
};

class JsonStringTest : public testing::TestWithParam<StringCase> {};

TEST_P(JsonStringTest, KeepsUtf8AndEscapesTheRest) {
    EXPECT_EQ(json_string(GetParam().text), GetParam().json);
}

INSTANTIATE_TEST_SUITE_P(
    Strings, JsonStringTest,
    testing::Values(StringCase{"Empty", "", "\"\""},
                    StringCase{"QuoteAndBackslash", "a\"b\\c", "\"a\\\"b\\\\c\""},
                    StringCase{"ControlCharacters", std::string("\t\n\x1f\0x", 5),
                               "\"\\u0009\\u000a\\u001f\\u0000x\""},
                    StringCase{"DeleteIsNoControl", "\x7f", "\"\x7f\""},
                    StringCase{"TwoByteSequence", "caf\xc3\xa9", "\"caf\xc3\xa9\""},
                    StringCase{"ThreeByteSequence", "\xe2\x82\xac", "\"\xe2\x82\xac\""},
                    StringCase{"FourByteSequence", "\xf0\x9f\x94\xa5", "\"\xf0\x9f\x94\xa5\""},
                    StringCase{"Latin1ByteStandsForItsCharacter", "caf\xe9", "\"caf\\u00e9\""},
                    StringCase{"OverlongTwoBytes", "\xc0\xaf", "\"\\u00c0\\u00af\""},
                    StringCase{"OverlongThreeBytes", "\xe0\x80\xaf", "\"\\u00e0\\u0080\\u00af\""},
                    StringCase{"Surrogate", "\xed\xa0\x80", "\"\\u00ed\\u00a0\\u0080\""},
                    StringCase{"PastU10FFFF", "\xf4\x90\x80\x80",
                               "\"\\u00f4\\u0090\\u0080\\u0080\""},
                    StringCase{"TruncatedAtTheEnd", "a\xe2\x82", "\"a\\u00e2\\u0082\""},
                    StringCase{"ContinuationWithoutLead", "\x80z", "\"\\u0080z\""}),
    case_name<StringCase>);

TEST(JsonObject, OneLineAndOneMemberALine) {
    JsonObject object;
    object.add("a", json_number(1)).add("b\"", json_string("x")).add("c", std::string(kJsonNull));
    EXPECT_EQ(object.line(), "{\"a\": 1, \"b\\\"\": \"x\", \"c\": null}");
    EXPECT_EQ(object.block(), "{\n  \"a\": 1,\n  \"b\\\"\": \"x\",\n  \"c\": null\n}");
    EXPECT_EQ(JsonObject().line(), "{}");
}

TEST(JsonArray, CommaAndBlankBetweenItems) {
    EXPECT_EQ(json_array({}), "[]");
    EXPECT_EQ(json_array({"1"}), "[1]");
    EXPECT_EQ(json_array({json_bool(true), json_bool(false), "[2, 3]"}), "[true, false, [2, 3]]");
}

}  // namespace
