#include "image/hex_record.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "case_name.h"

namespace {

constexpr std::uint8_t kUntouched = 0x5A;  // marks data entries the parser must leave alone

// A record filled with the marker, so unwritten entries show.
hex_record fresh_record() {
    hex_record record{};
    record.address = -7;
    record.length = -7;
    record.type = -7;
    for (std::uint8_t& byte : record.data) {
        byte = kUntouched;
    }
    return record;
}

std::string hex2(unsigned value) {
    char text[3];
    std::snprintf(text, sizeof text, "%02X", value & 0xFFu);
    return text;
}

// A well-formed record line (without line end) for the given fields.
std::string make_line(unsigned address, unsigned type, const std::vector<std::uint8_t>& bytes) {
    unsigned sum = static_cast<unsigned>(bytes.size()) + (address >> 8) + (address & 0xFFu) + type;
    std::string line = ":" + hex2(static_cast<unsigned>(bytes.size())) + hex2(address >> 8) +
                       hex2(address) + hex2(type);
    for (std::uint8_t byte : bytes) {
        line += hex2(byte);
        sum += byte;
    }
    return line + hex2(0x100u - (sum & 0xFFu));
}

struct AcceptCase {
    const char* name;
    std::string line;
    std::int32_t address;
    std::int32_t type;
    std::vector<std::uint8_t> data;  // as stored, after any reversal
};

class AcceptTest : public testing::TestWithParam<AcceptCase> {};

TEST_P(AcceptTest, FillsRecordAndLeavesRestOfData) {
    const AcceptCase& c = GetParam();
    hex_record record = fresh_record();
    ASSERT_EQ(parse_hex_record(&record, c.line.c_str()), 0);
    EXPECT_EQ(record.address, c.address);
    EXPECT_EQ(record.type, c.type);
    ASSERT_EQ(record.length, static_cast<std::int32_t>(c.data.size()));
    for (std::size_t i = 0; i < sizeof record.data; ++i) {
        std::uint8_t expected = i < c.data.size() ? c.data[i] : kUntouched;
        EXPECT_EQ(record.data[i], expected) << "data[" << i << "]";
    }
}

INSTANTIATE_TEST_SUITE_P(
    HexRecord, AcceptTest,
    testing::Values(
        AcceptCase{"DataReversed", ":0400000001020304F2\n", 0, 0, {0x80, 0x40, 0xC0, 0x20}},
        AcceptCase{"DataAtOffset", ":03123400A53C0FC7\n", 0x1234, 0, {0xA5, 0x3C, 0xF0}},
        AcceptCase{"ExtendedAddressNotReversed", ":020000040001F9\n", 0, 4, {0x00, 0x01}},
        AcceptCase{"EndOfFile", ":00000001FF\n", 0, 1, {}},
        AcceptCase{"EndOfFileLowerCaseNoLineEnd", ":00000001ff", 0, 1, {}},
        AcceptCase{"EndOfFileCrLf", ":00000001FF\r\n", 0, 1, {}},
        AcceptCase{"EmptyDataRecord", ":00ABCD0088\n", 0xABCD, 0, {}},
        AcceptCase{"MixedCaseEveryField", ":03aBcD00a53CEabA\n", 0xABCD, 0, {0xA5, 0x3C, 0x57}},
        AcceptCase{"HighestOffset", ":01FFFF000100\n", 0xFFFF, 0, {0x80}},
        AcceptCase{"TrailingBlanks", ":0400000001020304F2   \n", 0, 0, {0x80, 0x40, 0xC0, 0x20}},
        AcceptCase{"SecondRecordIgnored", ":00000001FF:0400000001020304F3\n", 0, 1, {}},
        AcceptCase{
            "TrailingText", ":0400000001020304F2 garbage\r\n", 0, 0, {0x80, 0x40, 0xC0, 0x20}},
        AcceptCase{"SegmentAddressType2", ":020000021200EA\n", 0, 2, {0x12, 0x00}},
        AcceptCase{"StartSegmentType3", ":0400000312345678E5\n", 0, 3, {0x12, 0x34, 0x56, 0x78}},
        AcceptCase{"StartLinearType5", ":04000005000000CD2A\n", 0, 5, {0x00, 0x00, 0x00, 0xCD}},
        AcceptCase{"Type255", ":030102FF01128068\n", 0x0102, 255, {0x01, 0x12, 0x80}},
        AcceptCase{"Type4WithOneByte", ":0100000401FA\n", 0, 4, {0x01}}),
    case_name<AcceptCase>);

struct RejectCase {
    const char* name;
    std::string line;
};

class RejectTest : public testing::TestWithParam<RejectCase> {};

TEST_P(RejectTest, Rejects) {
    hex_record record = fresh_record();
    EXPECT_EQ(parse_hex_record(&record, GetParam().line.c_str()), -1);
}

INSTANTIATE_TEST_SUITE_P(
    HexRecord, RejectTest,
    testing::Values(RejectCase{"ChecksumMismatch", ":0400000001020304F3\n"},
                    RejectCase{"LineFeedAsChecksumDigit", ":03000000010203F\n"},
                    RejectCase{"TooShortForByteCount", ":03000000010203\n"},
                    RejectCase{"LeadingBlank", " :00000001FF\n"},
                    RejectCase{"LeadingTab", "\t:00000001FF\n"},
                    RejectCase{"ByteOrderMark", "\xEF\xBB\xBF:00000001FF\n"},
                    RejectCase{"OtherFirstCharacter", ";00000001FF\n"},
                    RejectCase{"LineFeedOnly", "\n"}, RejectCase{"Empty", ""},
                    RejectCase{"TenCharacters", ":00000001F"},
                    // A non-digit in a header field or the checksum rejects, also where
                    // the checksum would match were the pair taken as 0xFF.
                    RejectCase{"NonDigitInByteCount", ":0G000001FF\n"},
                    RejectCase{"NonDigitInOffsetHigh", ":00XX000001\n"},
                    RejectCase{"NonDigitInOffsetLow", ":0000GG0001\n"},
                    RejectCase{"NonDigitInType", ":000000ZZ01\n"},
                    RejectCase{"NonDigitInChecksumMatchingAsFF", ":00000001FG\n"},
                    RejectCase{"BlankInType", ":0000000 FF\n"},
                    RejectCase{"NonDigitInChecksum", ":00000001 F\n"},
                    RejectCase{"HighByteInChecksum", ":00000001F\xC6\n"},
                    RejectCase{"ValueOfChecksumNotComplement", ":00000001FE\n"},
                    // The checksum covers the bytes as read: one matching the reversed
                    // data is wrong.
                    RejectCase{"ChecksumOverReversedBytes", ":04000000010203041C\n"},
                    // The mended fault: a non-digit in the data is corrupt input even
                    // when the checksum matches it taken as 0xFF.
                    RejectCase{"NonDigitDataPair", ":01000000ZZ00\n"},
                    RejectCase{"NonDigitLowDataDigit", ":010000000G00\n"},
                    RejectCase{"NonDigitLaterDataPair", ":0200000012GGED\n"},
                    RejectCase{"NonDigitDataOfType4", ":02000004G001FA\n"},
                    RejectCase{"BlankDataPair", ":01000000  00\n"}),
    case_name<RejectCase>);

// A line shorter than its byte count is rejected even when characters that
// would complete it follow the NUL: the parser must stop at the NUL.
TEST(HexRecord, IgnoresWhatFollowsTerminator) {
    const std::string whole = ":0400000001020304F2\n";
    for (std::size_t cut = 11; cut < 19; ++cut) {
        std::string buffer = whole;
        buffer[cut] = '\0';
        hex_record record = fresh_record();
        EXPECT_EQ(parse_hex_record(&record, buffer.c_str()), -1) << "cut at " << cut;
    }
}

// Each cut line ends its own allocation, so a read past the NUL is out of
// bounds (reported when built with AddressSanitizer).
TEST(HexRecord, NeverReadsPastTerminator) {
    const std::string whole = ":0400000001020304F2";
    for (std::size_t cut = 0; cut < whole.size(); ++cut) {
        std::vector<char> line(cut + 1, '\0');
        whole.copy(line.data(), cut);
        hex_record record = fresh_record();
        EXPECT_EQ(parse_hex_record(&record, line.data()), -1) << "cut at " << cut;
    }
}

TEST(HexRecord, LargestRecordFillsAllButLastEntry) {
    std::vector<std::uint8_t> bytes(255);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i + 1);
    }
    std::string line = make_line(0x8000, 0, bytes);
    ASSERT_EQ(line.size(), 521u);
    hex_record record = fresh_record();
    ASSERT_EQ(parse_hex_record(&record, line.c_str()), 0);
    ASSERT_EQ(record.length, 255);
    EXPECT_EQ(record.address, 0x8000);
    EXPECT_EQ(record.data[0], 0x80);    // 0x01 reversed
    EXPECT_EQ(record.data[254], 0xFF);  // 0xFF reversed
    EXPECT_EQ(record.data[255], kUntouched);

    line.pop_back();  // one character short of the checksum
    EXPECT_EQ(parse_hex_record(&record, line.c_str()), -1);
}

// Exactly the 22 characters 0-9, A-F, a-f are digits, in either position;
// bytes from 0x80 up (negative as plain char) never are.
TEST(HexRecord, HexByteKnowsExactlyTwentyTwoDigits) {
    const std::string digits = "0123456789ABCDEFabcdef";
    for (int c = 0; c < 256; ++c) {
        std::size_t at = digits.find(static_cast<char>(c));
        int expected = at == std::string::npos ? -1 : static_cast<int>(at < 16 ? at : at - 6);
        const char high[2] = {static_cast<char>(c), '0'};
        const char low[2] = {'0', static_cast<char>(c)};
        EXPECT_EQ(hex_byte(high), expected < 0 ? -1 : expected * 16) << "char " << c;
        EXPECT_EQ(hex_byte(low), expected) << "char " << c;
    }
}

TEST(HexRecord, ReverseBitsExamples) {
    const int pairs[][2] = {{0x01, 0x80}, {0x03, 0xC0}, {0x12, 0x48}, {0x34, 0x2C},
                            {0x0F, 0xF0}, {0xA5, 0xA5}, {0xFF, 0xFF}, {0x00, 0x00}};
    for (const auto& pair : pairs) {
        EXPECT_EQ(reverse_bits(pair[0]), pair[1]) << pair[0];
    }
    EXPECT_EQ(reverse_bits(0x101), 0x80);  // only the low 8 bits count
}

TEST(HexRecord, ReverseBitsIsAnInvolutionMirroringEachBit) {
    for (int value = 0; value < 256; ++value) {
        int reversed = reverse_bits(value);
        ASSERT_GE(reversed, 0);
        ASSERT_LE(reversed, 255);
        EXPECT_EQ(reverse_bits(reversed), value);
        for (int bit = 0; bit < 8; ++bit) {
            EXPECT_EQ((reversed >> (7 - bit)) & 1, (value >> bit) & 1) << value << " bit " << bit;
        }
    }
}

}  // namespace
