#include "hexflash/report.h"

#include <cstdio>

#include "mpsse/d2xx.h"

namespace {

std::string format(const char* pattern, double a, double b = 0, double c = 0) {
    char text[128];
    std::snprintf(text, sizeof text, pattern, a, b, c);
    return text;
}

// "1.5 MiB", "35.0 KiB", "120 B".
std::string size(double bytes) {
    return bytes >= 1048576 ? format("%.1f MiB", bytes / 1048576)
           : bytes >= 1024  ? format("%.1f KiB", bytes / 1024)
                            : format("%.0f B", bytes);
}
std::string size(std::uint64_t bytes) {
    return size(static_cast<double>(bytes));
}

double seconds_between(std::uint64_t from_ms, std::uint64_t to_ms) {
    return static_cast<double>(to_ms - from_ms) / 1000.0;
}

}  // namespace

Display::Display(std::vector<std::string> labels, bool terminal, bool quiet)
    : labels_(std::move(labels)), lines_(labels_.size()), terminal_(terminal), quiet_(quiet) {}

void Display::phase(int slot, const char* phase, std::uint64_t done, std::uint64_t total) {
    if (quiet_) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    Line& line = lines_[static_cast<std::size_t>(slot)];
    std::uint64_t now = d2xx_clock_ms();
    if (line.phase != phase) {
        end_phase(slot);
        line.phase = phase;
        line.phase_start_ms = now;
    }
    line.done = done;
    line.total = total;
    line.now_ms = now;
    if (terminal_) {
        // A redraw a tenth of a second is enough for the eye.
        auto real_now = std::chrono::steady_clock::now();
        if (real_now - last_draw_ >= std::chrono::milliseconds(100) || done == total) {
            last_draw_ = real_now;
            draw();
        }
    }
}

void Display::finish(int slot) {
    if (quiet_) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    end_phase(slot);
    lines_[static_cast<std::size_t>(slot)].finished = true;
    if (terminal_) {
        draw();
    }
}

void Display::end_phase(int slot) {
    Line& line = lines_[static_cast<std::size_t>(slot)];
    if (terminal_ || line.phase.empty()) {
        return;
    }
    double seconds = seconds_between(line.phase_start_ms, line.now_ms);
    std::string rate =
        seconds > 0 ? ", " + size(static_cast<double>(line.done) / seconds) + "/s" : "";
    std::fprintf(stderr, "%s: %s %s of %s in %.2f s%s\n",
                 labels_[static_cast<std::size_t>(slot)].c_str(), line.phase.c_str(),
                 size(line.done).c_str(), size(line.total).c_str(), seconds, rate.c_str());
    line.phase.clear();
}

std::string Display::bar(const Line& line) const {
    constexpr int kWidth = 24;
    double fraction =
        line.total == 0 ? 0 : static_cast<double>(line.done) / static_cast<double>(line.total);
    int filled = static_cast<int>(fraction * kWidth);
    std::string out(1, '[');
    out.append(static_cast<std::size_t>(filled), '#');
    out.append(static_cast<std::size_t>(kWidth - filled), '.');
    out += format("] %3.0f%% ", fraction * 100);
    out += size(line.done);
    out += " of ";
    out += size(line.total);
    double seconds = seconds_between(line.phase_start_ms, line.now_ms);
    if (seconds > 0 && line.done > 0) {
        double rate = static_cast<double>(line.done) / seconds;
        double eta = static_cast<double>(line.total - line.done) / rate;
        out += ' ';
        out += size(rate);
        out += "/s";
        out += format(" ETA %.0f:%02.0f", static_cast<double>(static_cast<int>(eta) / 60),
                      static_cast<double>(static_cast<int>(eta) % 60));
    }
    return out;
}

void Display::draw() {
    std::string out;
    if (drawn_ && lines_.size() > 1) {
        out += "\x1b[" + std::to_string(lines_.size()) + "A";  // back to the first board's line
    }
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        const Line& line = lines_[i];
        out += "\r\x1b[K" + labels_[i] + ": ";
        out += line.finished        ? std::string("done")
               : line.phase.empty() ? std::string("waiting")
                                    : line.phase + " " + bar(line);
        if (lines_.size() > 1 || line.finished) {
            out += "\n";
        }
    }
    drawn_ = true;
    std::fputs(out.c_str(), stderr);
    std::fflush(stderr);
}

namespace {

std::string unique_id_hex(const BoardRecord& record) {
    std::string out;
    char text[4];
    for (std::uint32_t i = 0; i < record.unique_id_length; ++i) {
        std::snprintf(text, sizeof text, "%02x", record.unique_id[i]);
        out += text;
    }
    return out;
}

// The erase types as JSON: [{"opcode": "20", "bytes": 4096}, ...], the chip
// erase with the chip's size.
std::string erase_types_json(const chip_part& part) {
    std::string out;
    for (const chip_erase_type& type : part.erases) {
        if (type.opcode == 0) {
            continue;
        }
        char text[64];
        std::snprintf(text, sizeof text, "{\"opcode\": \"%02x\", \"bytes\": %u}", type.opcode,
                      type.size == 0 ? part.size : type.size);
        out += (out.empty() ? "" : ", ") + std::string(text);
    }
    return "[" + out + "]";
}

const char* unique_id_method(const chip_part& part) {
    return part.unique_id == CHIP_UID_RUID ? "4B" : "none";
}

}  // namespace

std::string chips_text(bool json) {
    std::size_t count = 0;
    const chip_part* const* parts = chip_table(&count);
    std::string out;
    char text[160];
    if (!json) {
        std::snprintf(text, sizeof text, "%-16s %-20s %-9s %-4s %-9s %s\n", "PART", "MAKER",
                      "JEDEC ID", "SFDP", "UNIQUE ID", "ERASES");
        out += text;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const chip_part& part = *parts[i];
        const std::uint32_t id = part.jedec_id;
        if (json) {
            std::snprintf(text, sizeof text, "%06x", id);
            out += std::string(i == 0 ? "\n" : ",\n") + "  {\"part\": " + json_string(part.name) +
                   ", \"maker\": " + json_string(part.maker) +
                   ", \"jedec_id\": " + json_string(text) +
                   ", \"size\": " + std::to_string(part.size) +
                   ", \"page_size\": " + std::to_string(part.page_size) +
                   ", \"erase_types\": " + erase_types_json(part) +
                   ", \"sfdp\": " + (part.sfdp ? "true" : "false") +
                   ", \"unique_id\": " + json_string(unique_id_method(part)) + "}";
            continue;
        }
        std::snprintf(text, sizeof text, "%-16s %-20s %02x %02x %02x  %-4s %-9s ", part.name,
                      part.maker, id >> 16, (id >> 8) & 0xFF, id & 0xFF, part.sfdp ? "yes" : "no",
                      part.unique_id == CHIP_UID_RUID ? "4B" : "none");
        out += text + chip_erase_text(part) + "\n";
    }
    return json ? "[" + out + "\n]\n" : out;
}

std::string summary_line(const Options& options, const std::string& label,
                         const BoardRecord& record) {
    std::string out = label + ": " + record.result;
    if (record.exit_status != 0) {
        return record.message.empty() || record.result == "interrupted"
                   ? out
                   : out + ": " + record.message;
    }
    const fast_stats& s = record.stats;
    char text[200];
    if (options.command == Command::kWrite) {
        std::snprintf(text, sizeof text,
                      " and verified: %u sectors erased%s, %u skipped; %u pages programmed, %u "
                      "skipped",
                      s.sectors_erased, record.bulk_erase ? " (bulk)" : "", s.sectors_skipped,
                      s.pages_programmed, s.pages_skipped);
        out += text;
    } else if (options.command == Command::kId) {
        const chip_part& part = record.have_part ? record.part : CHIP_FORCED_PART;
        const std::string name = record.found == FAST_FOUND_TABLE ? part.name
                                 : record.found == FAST_FOUND_SFDP
                                     ? "SFDP part, identified by its SFDP"
                                     : "unknown part";
        std::snprintf(text, sizeof text, ": JEDEC ID %02x %02x %02x (%s), status 0x%02x, ",
                      record.id[0], record.id[1], record.id[2], name.c_str(), record.status);
        out += text;
        chip_sectors locked = protected_sectors(record);
        out += chip_protection_text(part, record.status_word) + ": ";
        out += locked.count == 0
                   ? "no sector protected"
                   : "sectors " + std::to_string(locked.first) + "-" +
                         std::to_string(locked.first + locked.count - 1) + " protected";
        if (record.found != FAST_FOUND_UNKNOWN) {
            out += "; 2 MiB, erases " + chip_erase_text(part);
        }
        out += record.unique_id_length != 0 ? "; unique ID " + unique_id_hex(record)
                                            : "; no unique ID";
        out += record.sfdp_read ? "; SFDP read" : "; no SFDP";
    } else if (options.command == Command::kRead) {
        out += " into " + options.path;
    }
    if (record.found == FAST_FOUND_SFDP && options.command != Command::kId) {
        std::snprintf(text, sizeof text, "; JEDEC ID %02x %02x %02x identified by its SFDP",
                      record.id[0], record.id[1], record.id[2]);
        out += text;
    }
    std::snprintf(text, sizeof text, " in %.2f s", record.seconds);
    return out + text;
}

std::string json_string(const std::string& text) {
    std::string out = "\"";
    for (char ch : text) {
        auto byte = static_cast<unsigned char>(ch);
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += ch;
        } else if (byte < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", byte);
            out += escape;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

std::string json_record(const Options& options, const LoadedImage* image, const BoardRecord& record,
                        bool has_board) {
    auto number = [](double value) { return format("%.3f", value); };
    auto count = [](std::uint64_t value) { return std::to_string(value); };
    const std::string null = "null";
    const bool stats = record.have_stats;
    const fast_stats& s = record.stats;
    std::vector<std::pair<std::string, std::string>> keys;
    keys.emplace_back("command", json_string(command_name(options.command)));
    keys.emplace_back(
        "device", has_board ? "{\"serial\": " + json_string(record.board.serial) +
                                  ", \"description\": " + json_string(record.board.description) +
                                  ", \"location\": " + count(record.board.location) +
                                  ", \"index\": " + count(record.board.index) + "}"
                            : null);
    char id[8];
    std::snprintf(id, sizeof id, "%02x%02x%02x", record.id[0], record.id[1], record.id[2]);
    keys.emplace_back("jedec_id", record.have_id ? json_string(id) : null);
    keys.emplace_back("status_register", record.have_status ? count(record.status) : null);
    chip_sectors locked = protected_sectors(record);
    keys.emplace_back("protected_sectors", !record.have_status ? null
                                           : locked.count == 0
                                               ? std::string("[]")
                                               : "[" + count(locked.first) + ", " +
                                                     count(locked.first + locked.count - 1) + "]");
    keys.emplace_back("part", !record.have_id                    ? null
                              : record.found == FAST_FOUND_TABLE ? json_string(record.part.name)
                              : record.found == FAST_FOUND_SFDP  ? json_string("SFDP part")
                                                                 : json_string("unknown part"));
    keys.emplace_back("source", !record.have_part                 ? null
                                : record.forced                   ? json_string("forced")
                                : record.found == FAST_FOUND_SFDP ? json_string("sfdp")
                                                                  : json_string("table"));
    keys.emplace_back("sfdp_read", record.sfdp_read ? "true" : "false");
    keys.emplace_back("erase_types", record.have_part ? erase_types_json(record.part) : null);
    keys.emplace_back("unique_id",
                      record.unique_id_length != 0 ? json_string(unique_id_hex(record)) : null);
    if (image != nullptr && image->map != nullptr) {
        std::string ranges;
        for (const ByteRange& range : image->ranges) {
            ranges += (ranges.empty() ? "" : ", ") + std::string("[") + count(range.start) + ", " +
                      count(range.end) + "]";
        }
        keys.emplace_back("image", "{\"path\": " + json_string(options.path) +
                                       ", \"sha256\": " + json_string(image->sha256) +
                                       ", \"data_records\": " + count(image->map->data_records) +
                                       ", \"ranges\": [" + ranges + "]}");
    } else {
        keys.emplace_back("image", null);
    }
    if (options.command == Command::kRead) {
        keys.emplace_back("output", json_string(options.path));
        keys.emplace_back("raw", options.raw ? "true" : "false");
    }
    static const char* const kModes[] = {"auto", "chip", "none"};
    keys.emplace_back("erase_mode", options.command == Command::kWrite
                                        ? json_string(kModes[options.erase])
                                    : options.command == Command::kErase ? json_string("chip")
                                                                         : null);
    keys.emplace_back("keep_rest", options.keep_rest ? "true" : "false");
    keys.emplace_back("bulk_erase", record.bulk_erase ? "true" : "false");
    // Sectors and pages only where the command writes.
    const bool writes =
        stats && (options.command == Command::kWrite || options.command == Command::kErase);
    keys.emplace_back("sectors_erased", writes ? count(s.sectors_erased) : null);
    keys.emplace_back("sectors_skipped", writes ? count(s.sectors_skipped) : null);
    keys.emplace_back("pages_programmed", writes ? count(s.pages_programmed) : null);
    keys.emplace_back("pages_skipped", writes ? count(s.pages_skipped) : null);
    double phases = s.seconds_read + s.seconds_erase + s.seconds_program + s.seconds_verify;
    keys.emplace_back("seconds", "{\"read\": " + number(s.seconds_read) +
                                     ", \"erase\": " + number(s.seconds_erase) +
                                     ", \"program\": " + number(s.seconds_program) +
                                     ", \"verify\": " + number(s.seconds_verify) +
                                     ", \"total\": " + number(record.seconds) + "}");
    keys.emplace_back("bytes_moved", stats ? count(s.bytes_moved) : null);
    keys.emplace_back(
        "bytes_per_second",
        stats && phases > 0 ? format("%.0f", static_cast<double>(s.bytes_moved) / phases) : null);
    keys.emplace_back("clock_hz", record.clock_hz != 0 ? count(record.clock_hz) : null);
    keys.emplace_back("result", json_string(record.result));
    keys.emplace_back("exit_status", std::to_string(record.exit_status));
    keys.emplace_back("first_difference",
                      stats && s.first_difference >= 0
                          ? count(static_cast<std::uint64_t>(s.first_difference))
                          : null);
    keys.emplace_back("message", record.message.empty() ? null : json_string(record.message));
    std::string out = "{";
    for (std::size_t i = 0; i < keys.size(); ++i) {
        out += (i == 0 ? "\n  " : ",\n  ") + json_string(keys[i].first) + ": " + keys[i].second;
    }
    return out + "\n}";
}
