#include "store/record_json.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <vector>

#include "json/json.h"
#include "store/json_reader.h"

namespace {

std::string quoted(std::string_view text) {
    return json_string(text);
}

std::string quoted_or_null(const std::optional<std::string>& text) {
    return text ? quoted(*text) : "null";
}

// A JSON object's text as it is, when it is one; else the empty object.
std::string object_or_empty(const std::string& text) {
    std::vector<JsonMember> members;
    std::string ignored;
    return json_read_object(text, members, ignored) ? text : "{}";
}

using Members = std::map<std::string, JsonMember>;

bool text_of(const Members& m, const char* key, std::string& out, std::string& missing) {
    auto it = m.find(key);
    if (it == m.end() || !it->second.is_string) {
        missing = key;
        return false;
    }
    out = it->second.value;
    return true;
}

std::optional<std::string> optional_text(const Members& m, const char* key) {
    auto it = m.find(key);
    if (it == m.end() || !it->second.is_string) {
        return std::nullopt;
    }
    return it->second.value;
}

bool number_of(const Members& m, const char* key, double& out, std::string& missing) {
    auto it = m.find(key);
    char* end = nullptr;
    if (it != m.end() && !it->second.is_string) {
        out = std::strtod(it->second.value.c_str(), &end);
        if (end != it->second.value.c_str() && *end == '\0') {
            return true;
        }
    }
    missing = key;
    return false;
}

std::string raw_or(const Members& m, const char* key, const char* otherwise) {
    auto it = m.find(key);
    return it == m.end() || it->second.is_string ? otherwise : it->second.value;
}

}  // namespace

std::string store_record_json(const StoreRecord& r) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", r.seconds);
    const std::pair<const char*, std::string> keys[] = {
        {"time", quoted(r.time)},
        {"host", quoted(r.host)},
        {"version", quoted(r.version)},
        {"location", std::to_string(r.location)},
        {"serial", quoted(r.serial)},
        {"chip", quoted_or_null(r.chip)},
        {"jedec_id", quoted_or_null(r.jedec_id)},
        {"unique_id", quoted_or_null(r.unique_id)},
        {"image", quoted_or_null(r.image)},
        {"sha256", quoted_or_null(r.sha256)},
        {"erase", quoted_or_null(r.erase)},
        {"result", quoted(r.result)},
        {"exit_status", std::to_string(r.exit_status)},
        {"phase", quoted_or_null(r.phase)},
        {"message", quoted_or_null(r.message)},
        {"seconds", seconds},
        {"retries", r.retries.empty() ? "null" : r.retries},
        {"protected", !r.is_protected   ? "null"
                      : *r.is_protected ? "true"
                                        : "false"},
        {"run_id", quoted(r.run_id)},
        {"fields", object_or_empty(r.fields)},
        {"field_states", object_or_empty(r.field_states)},
    };
    std::string out = "{";
    for (const auto& [key, value] : keys) {
        out += (out.size() > 1 ? ", " : "") + quoted(key) + ": " + value;
    }
    return out + "}";
}

bool store_record_from_json(std::string_view text, StoreRecord& r, std::string& error) {
    std::vector<JsonMember> list;
    if (!json_read_object(text, list, error)) {
        return false;
    }
    Members m;
    for (JsonMember& member : list) {
        m[member.key] = std::move(member);
    }
    r = StoreRecord{};
    std::string missing;
    double location = 0;
    double status = 0;
    if (!text_of(m, "time", r.time, missing) || !text_of(m, "host", r.host, missing) ||
        !text_of(m, "version", r.version, missing) ||
        !number_of(m, "location", location, missing) || !text_of(m, "serial", r.serial, missing) ||
        !text_of(m, "result", r.result, missing) || !number_of(m, "exit_status", status, missing) ||
        !number_of(m, "seconds", r.seconds, missing)) {
        error = "no " + missing + " in the record";
        return false;
    }
    r.location = static_cast<std::uint32_t>(location);
    r.exit_status = static_cast<int>(status);
    r.run_id = optional_text(m, "run_id").value_or("");
    r.chip = optional_text(m, "chip");
    r.jedec_id = optional_text(m, "jedec_id");
    r.unique_id = optional_text(m, "unique_id");
    r.image = optional_text(m, "image");
    r.sha256 = optional_text(m, "sha256");
    r.erase = optional_text(m, "erase");
    r.phase = optional_text(m, "phase");
    r.message = optional_text(m, "message");
    r.retries = raw_or(m, "retries", "0");
    const std::string protection = raw_or(m, "protected", "null");
    if (protection == "true" || protection == "false") {
        r.is_protected = protection == "true";
    }
    r.fields = object_or_empty(raw_or(m, "fields", "{}"));
    r.field_states = object_or_empty(raw_or(m, "field_states", "{}"));
    return true;
}
