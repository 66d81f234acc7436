#include "identity/record.h"

#include <cstdio>

namespace {

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

template <class Value>
std::string object(const std::vector<BoardField>& fields, Value value) {
    std::string out = "{";
    for (const BoardField& field : fields) {
        out += (out.size() == 1 ? "" : ", ") + quoted(field.name) + ": " + quoted(value(field));
    }
    return out + "}";
}

void skip_blanks(const std::string& text, std::size_t& at) {
    while (at < text.size() &&
           (text[at] == ' ' || text[at] == '\t' || text[at] == '\n' || text[at] == '\r')) {
        ++at;
    }
}

// A JSON string at text[at] (its opening quote); the escapes a record's
// values can hold (\uXXXX below 0x80 only).
bool read_string(const std::string& text, std::size_t& at, std::string& out) {
    out.clear();
    if (at >= text.size() || text[at] != '"') {
        return false;
    }
    for (++at; at < text.size(); ++at) {
        char c = text[at];
        if (c == '"') {
            ++at;
            return true;
        }
        if (c == '\\') {
            if (++at >= text.size()) {
                return false;
            }
            c = text[at];
            if (c == 'u') {
                unsigned code = 0;
                if (at + 4 >= text.size() ||
                    std::sscanf(text.c_str() + at + 1, "%4x", &code) != 1 || code >= 0x80) {
                    return false;
                }
                out += static_cast<char>(code);
                at += 4;
                continue;
            }
            c = c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c;
        }
        out += c;
    }
    return false;
}

bool expect(const std::string& text, std::size_t& at, char c) {
    skip_blanks(text, at);
    if (at < text.size() && text[at] == c) {
        ++at;
        return true;
    }
    return false;
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
    std::size_t at = 0;
    if (!expect(text, at, '{')) {
        return false;
    }
    if (!expect(text, at, '}')) {
        for (;;) {
            std::string key;
            std::string value;
            skip_blanks(text, at);
            if (!read_string(text, at, key) || !expect(text, at, ':')) {
                return false;
            }
            skip_blanks(text, at);
            if (!read_string(text, at, value)) {
                return false;
            }
            pairs.emplace_back(std::move(key), std::move(value));
            if (expect(text, at, '}')) {
                break;
            }
            if (!expect(text, at, ',')) {
                return false;
            }
        }
    }
    skip_blanks(text, at);
    return at == text.size();
}
