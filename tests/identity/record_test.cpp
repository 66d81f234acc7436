// A board's values in its record: what a run makes of each, and the JSON
// objects the store keeps them in.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "case_name.h"
#include "identity/record.h"

namespace {

struct OutcomeCase {
    std::string name;
    bool kept;
    bool passed;
    bool changed;
    std::string state;
};

class RunOutcome : public testing::TestWithParam<OutcomeCase> {};

TEST_P(RunOutcome, StateOfTheValue) {
    const OutcomeCase& c = GetParam();
    EXPECT_EQ(field_state_name(field_outcome(c.kept, c.passed, c.changed)), c.state);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RunOutcome,
    testing::Values(OutcomeCase{"Passed", false, true, true, "issued"},
                    OutcomeCase{"PassedWithoutAChange", false, true, false, "issued"},
                    OutcomeCase{"PulledAfterTheErase", false, false, true, "spoiled"},
                    OutcomeCase{"FailedBeforeTheErase", false, false, false, "released"},
                    OutcomeCase{"KeptAndPassed", true, true, true, "kept"},
                    OutcomeCase{"KeptAndPulled", true, false, true, "kept"},
                    OutcomeCase{"KeptAndRefused", true, false, false, "kept"}),
    case_name<OutcomeCase>);

TEST(RecordObjects, WrittenAndReadBack) {
    const std::vector<BoardField> fields = {{"serial", "OXA2-\"1\"\\", FieldState::kIssued},
                                            {"mac", "02:00:00:00:00:00", FieldState::kKept}};
    EXPECT_EQ(fields_json(fields), R"({"serial": "OXA2-\"1\"\\", "mac": "02:00:00:00:00:00"})");
    EXPECT_EQ(field_states_json(fields), R"({"serial": "issued", "mac": "kept"})");
    std::vector<std::pair<std::string, std::string>> pairs;
    ASSERT_TRUE(read_string_object(fields_json(fields), pairs));
    ASSERT_EQ(pairs.size(), 2u);
    EXPECT_EQ(pairs[0], std::make_pair(std::string("serial"), std::string("OXA2-\"1\"\\")));
    EXPECT_EQ(pairs[1], std::make_pair(std::string("mac"), std::string("02:00:00:00:00:00")));
    EXPECT_EQ(fields_json({}), "{}");
}

struct ObjectCase {
    std::string name;
    std::string text;
    bool ok;
    std::size_t pairs;
};

class StringObjects : public testing::TestWithParam<ObjectCase> {};

TEST_P(StringObjects, OnlyFlatObjectsOfStrings) {
    const ObjectCase& c = GetParam();
    std::vector<std::pair<std::string, std::string>> pairs;
    EXPECT_EQ(read_string_object(c.text, pairs), c.ok);
    if (c.ok) {
        EXPECT_EQ(pairs.size(), c.pairs);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StringObjects,
    testing::Values(ObjectCase{"Empty", "{}", true, 0},
                    ObjectCase{"Spaced", " { \"a\" : \"b\" ,\n\"c\":\"d\" } ", true, 2},
                    ObjectCase{"PostgresJsonb", R"({"a": "b", "c": "d"})", true, 2},
                    ObjectCase{"Unicode", R"({"a": "\u0041"})", true, 1},
                    ObjectCase{"NotAString", R"({"a": 1})", false, 0},
                    ObjectCase{"Nested", R"({"a": {"b": "c"}})", false, 0},
                    ObjectCase{"Unclosed", R"({"a": "b")", false, 0},
                    ObjectCase{"TrailingComma", R"({"a": "b",})", false, 0},
                    ObjectCase{"TextAfter", R"({"a": "b"} x)", false, 0},
                    ObjectCase{"NoText", "", false, 0}, ObjectCase{"Array", R"(["a"])", false, 0}),
    case_name<ObjectCase>);

}  // namespace
