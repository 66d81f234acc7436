#include "json/json.h"

#include <cstdio>

std::size_t utf8_length(std::string_view text, std::size_t i) {
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned lead = at(i);
    std::size_t length = lead < 0x80                    ? 1
                         : lead >= 0xC2 && lead <= 0xDF ? 2
                         : lead >= 0xE0 && lead <= 0xEF ? 3
                         : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                        : 0;
    if (length == 0 || i + length > text.size()) {
        return 0;
    }
    for (std::size_t k = 1; k < length; ++k) {
        if ((at(i + k) & 0xC0) != 0x80) {
            return 0;
        }
    }
    const unsigned second = at(i + 1);
    const bool overlong_or_surrogate =
        (lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) ||
        (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F);
    return length > 2 && overlong_or_surrogate ? 0 : length;
}

std::string json_string(std::string_view text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const char ch = text[i];
        const auto unit = static_cast<unsigned char>(ch);
        const std::size_t length = utf8_length(text, i);
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += ch;
        } else if (unit < 0x20 || length == 0) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", unit);
            out += escape;
        } else {
            out.append(text, i, length);
            i += length;
            continue;
        }
        ++i;
    }
    return out + "\"";
}

std::string json_bool(bool value) {
    return value ? "true" : "false";
}

std::string json_number(std::uint64_t value) {
    return std::to_string(value);
}

std::string json_array(const std::vector<std::string>& items) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) {
        out += (i == 0 ? "" : ", ") + items[i];
    }
    return out + "]";
}

JsonObject& JsonObject::add(std::string_view key, std::string value) {
    members_.emplace_back(json_string(key), std::move(value));
    return *this;
}

std::string JsonObject::line() const {
    std::string out = "{";
    for (std::size_t i = 0; i < members_.size(); ++i) {
        out += (i == 0 ? "" : ", ") + members_[i].first + ": " + members_[i].second;
    }
    return out + "}";
}

std::string JsonObject::block() const {
    std::string out = "{";
    for (std::size_t i = 0; i < members_.size(); ++i) {
        out += (i == 0 ? "\n  " : ",\n  ") + members_[i].first + ": " + members_[i].second;
    }
    return out + "\n}";
}
