// Reads back the one-line JSON objects the store writes (the spool's lines,
// a log line): the members of one object, each value either a string (its
// text decoded) or any other JSON value as the text it was written as.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct JsonMember {
    std::string key;
    bool is_string = false;
    std::string value;  // a string's text; else the value as written: 12, null, {"a": 1}
};

// The members of the object that is the whole of `text` (space around it
// allowed). False with `error` set when it is no such object.
bool json_read_object(std::string_view text, std::vector<JsonMember>& members, std::string& error);
