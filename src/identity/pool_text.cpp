#include "identity/pool_text.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace {

constexpr std::size_t kColumns = 6;
using Line = std::array<std::string, kColumns>;

std::string location_text(std::uint32_t location) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04x", static_cast<unsigned>(location));
    return text;
}

}  // namespace

std::string pool_table(const std::vector<Pool>& pools, const std::vector<PoolCounts>& counts) {
    if (pools.empty()) {
        return "no pools\n";
    }
    std::vector<Line> lines = {{"NAME", "FORM", "RANGE", "ISSUED", "SPOILED", "LEFT"}};
    for (std::size_t i = 0; i < pools.size() && i < counts.size(); ++i) {
        const Pool& p = pools[i];
        lines.push_back({p.name, form_text(p.form),
                         value_text(p.form, p.first) + ".." + value_text(p.form, p.last),
                         std::to_string(counts[i].issued), std::to_string(counts[i].spoiled),
                         std::to_string(counts[i].left)});
    }
    std::array<std::size_t, kColumns> width{};
    for (const Line& line : lines) {
        for (std::size_t c = 0; c < kColumns; ++c) {
            width[c] = std::max(width[c], line[c].size());
        }
    }
    std::string out;
    for (const Line& line : lines) {
        std::string text;
        for (std::size_t c = 0; c < kColumns; ++c) {
            const std::string pad(width[c] - line[c].size(), ' ');
            // Names and words to the left, counts to the right.
            text += (c == 0 ? "" : "  ") + (c < 3 ? line[c] + pad : pad + line[c]);
        }
        text.erase(text.find_last_not_of(' ') + 1);
        out += text + "\n";
    }
    return out;
}

std::string pool_value_text(const Pool& pool, std::uint64_t number, const PoolValue* row) {
    const std::string value = pool.name + " " + value_text(pool.form, number);
    if (row == nullptr) {
        return value + ": never handed out\n";
    }
    std::string board = row->unique_id.empty() ? "a board without a unique ID"
                                               : "the board with unique ID " + row->unique_id;
    std::string out = value + ": " + row->state;
    if (row->state == "released") {
        out += " (back in the pool; last taken for " + board + ")";
    } else {
        out += row->state == "reserved" ? " for " : row->state == "spoiled" ? " on " : " to ";
        out += board;
        if (row->stale) {
            out += " (its station never came back)";
        }
    }
    out += "\n  run " + row->run_id + " on " + row->host + " at " + location_text(row->location) +
           ", taken " + row->reserved + ", " + row->state + " " + row->updated + "\n";
    return out;
}
