// Fields: --field's grammar, where fields may lie, and a board's values laid
// over its image exactly as a HEX record there would lay them.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "case_name.h"
#include "identity/fields.h"
#include "image/hex_record.h"

namespace {

constexpr std::uint32_t kChip = 0x200000;

struct ParseCase {
    std::string name;
    std::string text;
    std::string pool;
    std::uint32_t address;
    std::string error;  // empty: accepted
};

class FieldGrammar : public testing::TestWithParam<ParseCase> {};

TEST_P(FieldGrammar, NameAtAddress) {
    const ParseCase& c = GetParam();
    FieldSpec field;
    std::string error;
    const bool ok = parse_field(c.text, field, error);
    if (c.error.empty()) {
        ASSERT_TRUE(ok) << error;
        EXPECT_EQ(field.name, c.pool);
        EXPECT_EQ(field.address, c.address);
    } else {
        EXPECT_FALSE(ok);
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FieldGrammar,
    testing::Values(
        ParseCase{"Hex", "serial@0x1FF000", "serial", 0x1FF000, ""},
        ParseCase{"LowerHex", "mac@0x1ff100", "mac", 0x1FF100, ""},
        ParseCase{"Decimal", "board.id-2_b@4096", "board.id-2_b", 4096, ""},
        ParseCase{"NoAt", "serial", "", 0, "--field serial: NAME@ADDR"},
        ParseCase{"NoName", "@0x10", "", 0, "--field @0x10: pool name \"\""},
        ParseCase{"BadName", "se rial@0x10", "", 0, "--field se rial@0x10: pool name"},
        ParseCase{"NoAddress", "serial@", "", 0, "--field serial@: bad address"},
        ParseCase{"BareHexPrefix", "serial@0x", "", 0, "--field serial@0x: bad address"},
        ParseCase{"HexWithoutPrefix", "serial@1FF000", "", 0, "--field serial@1FF000: bad"},
        ParseCase{"PastFourGiB", "serial@0x100000000", "", 0, "--field serial@0x100000000: bad"},
        ParseCase{"TwoAts", "serial@0x10@0x20", "", 0, "--field serial@0x10@0x20: bad"}),
    case_name<ParseCase>);

struct PlaceCase {
    std::string name;
    std::vector<FieldPlace> fields;
    std::string error;  // empty: accepted
};

class FieldPlacement : public testing::TestWithParam<PlaceCase> {};

TEST_P(FieldPlacement, InsideTheChipAndApart) {
    const PlaceCase& c = GetParam();
    std::string error;
    const bool ok = check_fields(c.fields, kChip, error);
    if (c.error.empty()) {
        EXPECT_TRUE(ok) << error;
    } else {
        EXPECT_FALSE(ok);
        EXPECT_EQ(error, c.error);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FieldPlacement,
    testing::Values(
        PlaceCase{"TheLine", {{"serial", 0x1FF000, 11}, {"mac", 0x1FF100, 6}}, ""},
        PlaceCase{"EndsAtTheChipsEnd", {{"serial", kChip - 11, 11}}, ""},
        PlaceCase{"SideBySide", {{"a", 0x100, 4}, {"b", 0x104, 4}, {"c", 0xFC, 4}}, ""},
        PlaceCase{"OneBytePast",
                  {{"serial", kChip - 10, 11}},
                  "field serial@0x1ffff6 (11 bytes) reaches past the chip's end (0x200000)"},
        PlaceCase{"FarPast",
                  {{"mac", 0xFFFFFFFF, 6}},
                  "field mac@0xffffffff (6 bytes) reaches past the chip's end (0x200000)"},
        PlaceCase{"Overlap",
                  {{"serial", 0x1FF000, 11}, {"mac", 0x1FF00A, 6}},
                  "fields serial@0x1ff000 (11 bytes) and mac@0x1ff00a (6 bytes) overlap"},
        PlaceCase{"Inside",
                  {{"a", 0x100, 16}, {"b", 0x104, 1}},
                  "fields a@0x000100 (16 bytes) and b@0x000104 (1 byte) overlap"},
        PlaceCase{"OverlapFromBelow",
                  {{"a", 0x104, 4}, {"c", 0x10, 4}, {"b", 0x101, 4}},
                  "fields a@0x000104 (4 bytes) and b@0x000101 (4 bytes) overlap"},
        PlaceCase{"SamePoolTwice",
                  {{"mac", 0x100, 6}, {"mac", 0x200, 6}},
                  "--field mac is given twice (one value per pool and board)"}),
    case_name<PlaceCase>);

// An image as load_image leaves a HEX file: `bytes` at `at`, bit-reversed.
LoadedImage image_with(std::uint32_t at, const std::vector<std::uint8_t>& bytes) {
    LoadedImage image;
    image.map = std::make_unique<image_map>();
    std::memset(image.map->bytes, 0xFF, sizeof image.map->bytes);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const std::uint32_t a = at + static_cast<std::uint32_t>(i);
        image.map->bytes[a] = static_cast<std::uint8_t>(reverse_bits(bytes[i]));
        image.map->defined[a >> 3] |= static_cast<std::uint8_t>(1u << (a & 7));
    }
    if (!bytes.empty()) {
        image.ranges = {{at, at + static_cast<std::uint32_t>(bytes.size())}};
    }
    return image;
}

TEST(FieldBytesInTheImage, AsAHexRecordThereWould) {
    // A record ":0B1FF000..." of the same bytes leaves the chip as the field does.
    const std::vector<std::uint8_t> serial = {'O', 'X', 'A', '2', '-', '0',
                                              '0', '0', '0', '0', '1'};
    LoadedImage expected = image_with(0x1FF000, serial);
    LoadedImage image = image_with(0, {});
    apply_fields(image, {{0x1FF000, serial}}, false);
    EXPECT_EQ(std::memcmp(image.map->bytes, expected.map->bytes, sizeof image.map->bytes), 0);
    EXPECT_EQ(std::memcmp(image.map->defined, expected.map->defined, sizeof image.map->defined), 0);
    EXPECT_EQ(image.map->bytes[0x1FF000], 0xF2);  // 'O' 0x4F reversed
}

TEST(FieldBytesInTheImage, RawBinaryTakesThemAsTheyAre) {
    LoadedImage image = image_with(0, {});
    apply_fields(image, {{0x10, {0x01, 0x80}}}, true);
    EXPECT_EQ(image.map->bytes[0x10], 0x01);
    EXPECT_EQ(image.map->bytes[0x11], 0x80);
    EXPECT_EQ(image.map->bytes[0x12], 0xFF);
}

TEST(FieldBytesInTheImage, OverImageDataTheFieldWinsAndRangesMerge) {
    LoadedImage image = image_with(0x100, std::vector<std::uint8_t>(16, 0x00));
    apply_fields(image, {{0x108, {0x01}}, {0x110, {0x02, 0x03}}, {0x40, {0x04}}}, false);
    EXPECT_EQ(image.map->bytes[0x108], 0x80);
    EXPECT_EQ(image.map->bytes[0x107], 0x00);
    ASSERT_EQ(image.ranges.size(), 2u);
    EXPECT_EQ(image.ranges[0].start, 0x40u);
    EXPECT_EQ(image.ranges[0].end, 0x41u);
    EXPECT_EQ(image.ranges[1].start, 0x100u);
    EXPECT_EQ(image.ranges[1].end, 0x112u);
}

TEST(FieldBytesInTheImage, CopyLeavesTheSharedImageAlone) {
    const LoadedImage shared = image_with(0x100, {0xAA});
    LoadedImage board = copy_image(shared);
    apply_fields(board, {{0x100, {0x55}}}, false);
    EXPECT_EQ(shared.map->bytes[0x100], reverse_bits(0xAA));
    EXPECT_EQ(board.map->bytes[0x100], reverse_bits(0x55));
    EXPECT_EQ(shared.ranges.size(), 1u);
}

TEST(FieldsOverImage, SaidOnceNamingEach) {
    const LoadedImage image = image_with(0x1000, std::vector<std::uint8_t>(0x100, 0));
    EXPECT_EQ(fields_over_image({{"serial", 0x2000, 11}}, *image.map), "");
    EXPECT_EQ(fields_over_image({{"serial", 0x0FF6, 11}, {"mac", 0x1100, 6}}, *image.map),
              "field serial@0x000ff6 lies over image data: the field's bytes win");
    EXPECT_EQ(fields_over_image({{"serial", 0x10FF, 1}, {"mac", 0x1000, 6}}, *image.map),
              "fields serial@0x0010ff, mac@0x001000 lie over image data: the field's bytes win");
}

}  // namespace
