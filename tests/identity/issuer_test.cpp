// A command's fields: refused before any board when they cannot be burned,
// each board's values laid over its own image, and a store that does not
// answer waited for.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "case_name.h"
#include "identity/issuer.h"
#include "image/hex_record.h"
#include "scratch.h"

namespace {

constexpr std::uint32_t kChip = 0x200000;

StoreUrl sqlite_url(const std::string& path) {
    StoreUrl url;
    url.kind = StoreUrl::Kind::kSqlite;
    url.path = path;
    url.named = true;
    return url;
}

void add_line_pools(const StoreUrl& url) {
    std::string error;
    auto store = RecordStore::open(url, RecordStore::Mode::kReadWrite, error);
    ASSERT_NE(store, nullptr) << error;
    PoolStore pools(store->sql());
    Pool serial{"serial", {}, 1, 999999, 0, "2026-12-11T08:00:00Z"};
    Pool mac{"mac", {}, 0x020000000000, 0x02000000FFFF, 0, "2026-12-11T08:00:00Z"};
    ASSERT_TRUE(parse_form("ascii:6", "OXA2-", serial.form, error));
    ASSERT_TRUE(parse_form("mac", "", mac.form, error));
    ASSERT_TRUE(pools.add(serial, error)) << error;
    ASSERT_TRUE(pools.add(mac, error)) << error;
}

// An image giving the bytes 0x00 at 0x1FF0F0..0x1FF0FF.
LoadedImage small_image() {
    LoadedImage image;
    image.map = std::make_unique<image_map>();
    std::memset(image.map->bytes, 0xFF, sizeof image.map->bytes);
    for (std::uint32_t a = 0x1FF0F0; a < 0x1FF100; ++a) {
        image.map->bytes[a] = 0;
        image.map->defined[a >> 3] |= static_cast<std::uint8_t>(1u << (a & 7));
    }
    image.ranges = {{0x1FF0F0, 0x1FF100}};
    return image;
}

struct PrepareCase {
    std::string name;
    std::vector<FieldSpec> fields;
    std::string error;  // empty: prepared
    std::string note;
};

class IssuerPrepare : public testing::TestWithParam<PrepareCase> {};

TEST_P(IssuerPrepare, RefusedBeforeAnyBoard) {
    const PrepareCase& c = GetParam();
    StoreScratch scratch;
    const StoreUrl url = sqlite_url(scratch.path("line.db"));
    add_line_pools(url);
    std::string note;
    std::string error;
    auto issuer = FieldIssuer::prepare(c.fields, url, small_image(), kChip, note, error);
    if (c.error.empty()) {
        ASSERT_NE(issuer, nullptr) << error;
        EXPECT_EQ(note, c.note);
    } else {
        EXPECT_EQ(issuer, nullptr);
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IssuerPrepare,
    testing::Values(
        PrepareCase{"TheLine", {{"serial", 0x1FF000}, {"mac", 0x1FF100}}, "", ""},
        PrepareCase{"OverImageData",
                    {{"serial", 0x1FF0F8}},
                    "",
                    "field serial@0x1ff0f8 lies over image data: the field's bytes win"},
        PrepareCase{"PastTheChipsEnd",
                    {{"serial", 0x1FFFF8}},
                    "field serial@0x1ffff8 (11 bytes) reaches past the chip's end (0x200000)",
                    ""},
        PrepareCase{"Overlapping",
                    {{"serial", 0x1FF000}, {"mac", 0x1FF004}},
                    "fields serial@0x1ff000 (11 bytes) and mac@0x1ff004 (6 bytes) overlap",
                    ""},
        PrepareCase{"UnknownPool", {{"serial", 0x1FF000}, {"imei", 0x1FF100}}, "no pool imei", ""}),
    case_name<PrepareCase>);

TEST(Issuer, UnknownPoolNamesTheStore) {
    StoreScratch scratch;
    const StoreUrl url = sqlite_url(scratch.path("line.db"));
    add_line_pools(url);
    std::string note;
    std::string error;
    EXPECT_EQ(FieldIssuer::prepare({{"imei", 0}}, url, small_image(), kChip, note, error), nullptr);
    EXPECT_EQ(error, "no pool imei in sqlite:" + url.path + " (hexflash pool add)");
}

TEST(Issuer, EachBoardItsOwnImage) {
    StoreScratch scratch;
    const StoreUrl url = sqlite_url(scratch.path("line.db"));
    add_line_pools(url);
    std::string note;
    std::string error;
    const LoadedImage shared = small_image();
    auto issuer = FieldIssuer::prepare({{"serial", 0x1FF000}, {"mac", 0x1FF100}}, url, shared,
                                       kChip, note, error);
    ASSERT_NE(issuer, nullptr) << error;
    auto never = [] { return false; };
    auto waiting = [](const std::string& why) { ADD_FAILURE() << why; };
    for (int board = 0; board < 2; ++board) {
        BoardValues values;
        ASSERT_EQ(
            issuer->take({"run" + std::to_string(board), "", "jig", 0, "2026-12-11T08:00:00Z"},
                         values, error, never, waiting),
            PoolStore::Take::kTaken)
            << error;
        const LoadedImage image = issuer->board_image(shared, values, false);
        const std::string serial = "OXA2-00000" + std::to_string(board + 1);
        for (std::size_t i = 0; i < serial.size(); ++i) {
            EXPECT_EQ(image.map->bytes[0x1FF000 + i], reverse_bits(serial[i])) << i;
        }
        EXPECT_EQ(image.map->bytes[0x1FF100], reverse_bits(0x02));
        EXPECT_EQ(image.map->bytes[0x1FF105], reverse_bits(board));
        EXPECT_EQ(image.ranges.size(), 2u);
        EXPECT_EQ(shared.map->bytes[0x1FF000], 0xFF);
        const std::vector<BoardField> end = issuer->outcome(values, board == 0, true);
        EXPECT_EQ(field_states_json(end), board == 0
                                              ? R"({"serial": "issued", "mac": "issued"})"
                                              : R"({"serial": "spoiled", "mac": "spoiled"})");
        EXPECT_EQ(fields_json(end), "{\"serial\": \"" + serial + "\", \"mac\": \"02:00:00:00:00:0" +
                                        std::to_string(board) + "\"}");
    }
}

TEST(Issuer, WaitsForTheStoreUntilItAnswersOrTheRunStops) {
    StoreScratch scratch;
    const StoreUrl url = sqlite_url(scratch.path("later/line.db"));  // no such folder yet
    std::vector<FieldSpec> fields = {{"serial", 0x1FF000}};
    Pool serial{"serial", {}, 1, 999999, 0, ""};
    std::string error;
    ASSERT_TRUE(parse_form("ascii:6", "OXA2-", serial.form, error));
    FieldIssuer issuer(fields, {serial}, url, nullptr);
    const ValueClaim claim{"run1", "", "jig", 0, "2026-12-11T08:00:00Z"};
    BoardValues values;
    int waits = 0;
    // Interrupted while waiting: nothing taken.
    EXPECT_EQ(issuer.take(
                  claim, values, error, [&] { return waits == 2; },
                  [&](const std::string&) { ++waits; }, std::chrono::milliseconds(100)),
              PoolStore::Take::kFailed);
    EXPECT_EQ(waits, 2);
    // The store comes back while the board waits.
    std::string shown;
    EXPECT_EQ(issuer.take(
                  claim, values, error, [] { return false; },
                  [&](const std::string& why) {
                      shown = why;
                      std::filesystem::create_directory(scratch.path("later"));
                      add_line_pools(url);
                  },
                  std::chrono::milliseconds(100)),
              PoolStore::Take::kTaken)
        << error;
    EXPECT_EQ(shown.rfind("waiting for the store: no folder", 0), 0u) << shown;
    ASSERT_EQ(values.values.size(), 1u);
    EXPECT_EQ(values.values[0].text, "OXA2-000001");
}

}  // namespace
