#include "identity/record.h"

#include "json/json.h"
#include "store/json_reader.h"

namespace {

template <class Value>
std::string object(const std::vector<BoardField>& fields, Value value) {
    JsonObject out;
    for (const BoardField& field : fields) {
        out.add(field.name, json_string(value(field)));
    }
    return out.line();
}

}  // namespace

const char* field_state_name(FieldState state) {
    static const char* const kNames[] = {"issued", "kept", "spoiled", "released"};
    return kNames[static_cast<int>(state)];
}

FieldState field_outcome(bool kept, bool passed, bool chip_changed) {
    if (kept) {
        return FieldState::kKept;
    }
    if (passed) {
        return FieldState::kIssued;
    }
    return chip_changed ? FieldState::kSpoiled : FieldState::kReleased;
}

std::string fields_json(const std::vector<BoardField>& fields) {
    return object(fields, [](const BoardField& field) { return field.value; });
}

std::string field_states_json(const std::vector<BoardField>& fields) {
    return object(
        fields, [](const BoardField& field) { return std::string(field_state_name(field.state)); });
}

bool read_string_object(const std::string& text,
                        std::vector<std::pair<std::string, std::string>>& pairs) {
    pairs.clear();
    std::vector<JsonMember> members;
    std::string ignored;
    if (!json_read_object(text, members, ignored)) {
        return false;
    }
    for (JsonMember& member : members) {
        if (!member.is_string) {
            return false;
        }
        pairs.emplace_back(std::move(member.key), std::move(member.value));
    }
    return true;
}
