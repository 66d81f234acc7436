// What pool list and pool show print.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "case_name.h"
#include "identity/pool_text.h"

namespace {

Pool pool_of(const std::string& name, const std::string& form, const std::string& prefix,
             std::uint64_t first, std::uint64_t last) {
    Pool pool{name, {}, first, last, 0, ""};
    std::string error;
    EXPECT_TRUE(parse_form(form, prefix, pool.form, error)) << error;
    return pool;
}

TEST(PoolTable, ColumnsLinedUpCountsToTheRight) {
    const std::vector<Pool> pools = {pool_of("mac", "mac", "", 0x020000000000, 0x02000000FFFF),
                                     pool_of("serial", "ascii:6", "OXA2-", 1, 999999)};
    const std::vector<PoolCounts> counts = {{8, 1, 0, 0, 65527}, {12, 0, 2, 1, 999988}};
    EXPECT_EQ(pool_table(pools, counts),
              "NAME    FORM     RANGE                                 ISSUED  SPOILED    LEFT\n"
              "mac     mac      02:00:00:00:00:00..02:00:00:00:ff:ff       8        1   65527\n"
              "serial  ascii:6  OXA2-000001..OXA2-999999                  12        0  999988\n");
    EXPECT_EQ(pool_table({}, {}), "no pools\n");
}

struct ShowCase {
    std::string name;
    std::string state;
    std::string unique_id;
    bool stale;
    std::string first_line;
};

class PoolShow : public testing::TestWithParam<ShowCase> {};

TEST_P(PoolShow, StateAndBoard) {
    const ShowCase& c = GetParam();
    const Pool serial = pool_of("serial", "ascii:6", "OXA2-", 1, 999999);
    const PoolValue row{
        "OXA2-000003",          c.state, c.unique_id, "3f2a", "jig1", 0x21, "2026-12-11T08:00:00Z",
        "2026-12-11T08:00:09Z", c.stale};
    const std::string text = pool_value_text(serial, 3, &row);
    EXPECT_EQ(text.substr(0, text.find('\n')), c.first_line);
    EXPECT_EQ(text.substr(text.find('\n') + 1),
              "  run 3f2a on jig1 at 0x0021, taken 2026-12-11T08:00:00Z, " + c.state +
                  " 2026-12-11T08:00:09Z\n");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PoolShow,
    testing::Values(
        ShowCase{"Issued", "issued", "d5e1a7c04b000002", false,
                 "serial OXA2-000003: issued to the board with unique ID d5e1a7c04b000002"},
        ShowCase{"Reserved", "reserved", "", false,
                 "serial OXA2-000003: reserved for a board without a unique ID"},
        ShowCase{"Spoiled", "spoiled", "aa", false,
                 "serial OXA2-000003: spoiled on the board with unique ID aa"},
        ShowCase{"SpoiledStale", "spoiled", "aa", true,
                 "serial OXA2-000003: spoiled on the board with unique ID aa (its station never "
                 "came back)"},
        ShowCase{"Released", "released", "aa", false,
                 "serial OXA2-000003: released (back in the pool; last taken for the board with "
                 "unique ID aa)"}),
    case_name<ShowCase>);

TEST(PoolShowNever, SaysSo) {
    EXPECT_EQ(pool_value_text(pool_of("mac", "mac", "", 0, 0xFFFF), 0x10, nullptr),
              "mac 00:00:00:00:00:10: never handed out\n");
}

}  // namespace
