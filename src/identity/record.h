// A board's values in its record: `fields` {NAME: "value"} and
// `field_states` {NAME: "issued" | "kept" | "spoiled" | "released"}, both
// JSON objects as the store keeps them.
#pragma once

#include <string>
#include <utility>
#include <vector>

enum class FieldState { kIssued, kKept, kSpoiled, kReleased };

const char* field_state_name(FieldState state);

// What a board's run made of a value it took: a kept one stays the board's;
// a new one is issued when the board passed, spoiled when the chip began to
// change (its first erase or program instruction went out), else released.
FieldState field_outcome(bool kept, bool passed, bool chip_changed);

struct BoardField {
    std::string name;
    std::string value;
    FieldState state = FieldState::kIssued;
};

std::string fields_json(const std::vector<BoardField>& fields);
std::string field_states_json(const std::vector<BoardField>& fields);

// A JSON object whose values are all strings, its pairs in order. False when
// `text` is anything else.
bool read_string_object(const std::string& text,
                        std::vector<std::pair<std::string, std::string>>& pairs);
