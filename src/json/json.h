// JSON text as the programs write it: string literals that keep UTF-8 and
// escape everything else, and objects and arrays put together from values
// already written. Plain text in, text out: where the text comes from (a
// code page, a file name) is the caller's business.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

inline constexpr std::string_view kJsonNull = "null";

// Length of the well-formed UTF-8 sequence at text[i]; 0 when there is none
// (a stray byte, a truncated, overlong or surrogate sequence).
std::size_t utf8_length(std::string_view text, std::size_t i);

// A string literal: quotes and backslashes escaped, control characters and
// bytes that are no UTF-8 as \u00XX (a Latin-1 byte stands for its character).
std::string json_string(std::string_view text);

std::string json_bool(bool value);
std::string json_number(std::uint64_t value);

// "[a, b, c]" from values already written.
std::string json_array(const std::vector<std::string>& items);

// An object built member by member, each value already written.
class JsonObject {
  public:
    JsonObject& add(std::string_view key, std::string value);
    // {"a": 1, "b": 2}: one line, as a log line or a nested object.
    std::string line() const;
    // One member a line, indented two spaces, the braces on lines of their own.
    std::string block() const;

  private:
    std::vector<std::pair<std::string, std::string>> members_;
};
