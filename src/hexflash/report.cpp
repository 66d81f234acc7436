#include "hexflash/report.h"

#include <algorithm>
#include <cstdio>
#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#include "d2xx/d2xx.h"

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

void Display::estimate(int slot, double seconds, bool after_read) {
    std::lock_guard<std::mutex> lock(mutex_);
    Line& line = lines_[static_cast<std::size_t>(slot)];
    line.estimate_s = seconds;
    line.after_read = after_read;
    line.estimate_ms = d2xx_clock_ms();
}

void Display::note(int slot, const std::string& text) {
    if (quiet_) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    // On a terminal the line goes above the bars, which are drawn again.
    std::string out = terminal_ && drawn_ ? "\r\x1b[K" : "";
    std::fprintf(stderr, "%s%s: %s\n", out.c_str(), labels_[static_cast<std::size_t>(slot)].c_str(),
                 text.c_str());
    drawn_ = false;
}

void Display::finish(int slot, const std::string& result) {
    if (quiet_) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    end_phase(slot);
    lines_[static_cast<std::size_t>(slot)].result = result.empty() ? "finished" : result;
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
    std::fprintf(stderr, "hexflash: %s: %s %s of %s in %.2f s%s\n",
                 labels_[static_cast<std::size_t>(slot)].c_str(), line.phase.c_str(),
                 size(line.done).c_str(), size(line.total).c_str(), seconds, rate.c_str());
    line.phase.clear();
}

namespace {

// The terminal's columns now (80 when it does not say); read at every redraw,
// so a resized window is followed.
std::size_t terminal_columns() {
#if defined(_WIN32)
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info) != 0) {
        return static_cast<std::size_t>(info.srWindow.Right - info.srWindow.Left + 1);
    }
#else
    winsize size{};
    if (ioctl(fileno(stderr), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
#endif
    return 80;
}

std::string minutes(double seconds) {
    auto whole = static_cast<long long>(seconds + 0.5);
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld", whole / 60, whole % 60);
    return text;
}

}  // namespace

std::string Display::line_text(const std::string& label, const Line& line, std::size_t width) {
    std::string head = label + ": ";
    if (!line.result.empty() || line.phase.empty()) {
        head += line.result.empty() ? "waiting" : line.result;
        return head.substr(0, width);
    }
    head += line.phase;
    double fraction =
        line.total == 0 ? 0 : static_cast<double>(line.done) / static_cast<double>(line.total);
    std::string percent = format(" %3.0f%%", fraction * 100);
    std::string sizes = " " + size(line.done) + " of " + size(line.total);
    std::string rate, eta;
    double seconds = seconds_between(line.phase_start_ms, line.now_ms);
    double phase_left = -1;
    if (seconds > 0 && line.done > 0) {
        double per_second = static_cast<double>(line.done) / seconds;
        phase_left = static_cast<double>(line.total - line.done) / per_second;
        rate = " " + size(per_second) + "/s";
    }
    // The whole run's: this phase at its rate, and what the estimate says follows.
    double left = phase_left;
    if (line.estimate_s >= 0 && line.after_read && line.phase == "read") {
        left = phase_left < 0 ? -1 : phase_left + line.estimate_s;
    } else if (line.estimate_s >= 0 && !line.after_read) {
        double rest = line.estimate_s - seconds_between(line.estimate_ms, line.now_ms);
        left = rest > left ? rest : left;
    }
    if (left >= 0) {
        eta = " ETA " + minutes(left);
    }
    // What does not fit goes, the sizes first, then the rate; the bar takes
    // what room is left.
    std::size_t used = head.size() + percent.size() + eta.size();
    if (used + sizes.size() > width) {
        sizes.clear();
    }
    used += sizes.size();
    if (used + rate.size() > width) {
        rate.clear();
    }
    used += rate.size();
    std::string bar;
    if (width > used + 3 + 6) {
        std::size_t room = std::min<std::size_t>(width - used - 3, 24);
        auto filled = static_cast<std::size_t>(fraction * static_cast<double>(room));
        bar = " [" + std::string(filled, '#') + std::string(room - filled, '.') + "]";
    }
    return (head + bar + percent + sizes + rate + eta).substr(0, width);
}

void Display::draw() {
    std::size_t columns = terminal_columns();
    std::string out;
    if (drawn_ && columns != columns_) {
        // The terminal rewrapped what was drawn: start afresh below it.
        out += lines_.size() > 1 ? "" : "\n";
    } else if (drawn_ && lines_.size() > 1) {
        out += "\x1b[" + std::to_string(lines_.size()) + "A";  // back to the first board's line
    }
    columns_ = columns;
    // One column spare: a line filling the last one would wrap on some terminals.
    std::size_t width = columns > 1 ? columns - 1 : 1;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        out += "\r\x1b[K" + line_text(labels_[i], lines_[i], width);
        if (lines_.size() > 1 || !lines_[i].result.empty()) {
            out += "\n";
        }
    }
    drawn_ = true;
    std::fputs(out.c_str(), stderr);
    std::fflush(stderr);
}

namespace {

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
        // Every sector in one class, so that the figures add up to 32.
        std::snprintf(text, sizeof text,
                      " and verified: of %u sectors, %u erased%s, %u programmed without erase, "
                      "%u already right, %u untouched; %u page%s programmed",
                      PLAN_MAX_SECTORS, s.sectors_erased, record.bulk_erase ? " (bulk)" : "",
                      record.sectors_programmed, record.sectors_right, record.sectors_untouched,
                      s.pages_programmed, s.pages_programmed == 1 ? "" : "s");
        out += text;
    } else if (options.command == Command::kId) {
        const chip_part& part = record.have_part ? record.part : CHIP_FORCED_PART;
        const std::string name = record.found == NOR_FOUND_TABLE ? part.name
                                 : record.found == NOR_FOUND_SFDP
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
        if (record.found != NOR_FOUND_UNKNOWN) {
            out += "; 2 MiB, erases " + chip_erase_text(part);
        }
        out += record.unique_id.empty() ? "; no unique ID" : "; unique ID " + record.unique_id;
        out += record.sfdp_read ? "; SFDP read" : "; no SFDP";
        out += format("; clock %.6g MHz", static_cast<double>(record.clock_hz) / 1e6);
    } else if (options.command == Command::kRead) {
        out += " into " + record.output;
    }
    if (record.have_protection && options.command != Command::kId) {
        std::uint32_t first = first_protected_sector(record.status);
        out += first == 0   ? "; the chip is write-protected"
               : first < 32 ? "; sectors " + std::to_string(first) + "-31 are write-protected"
                            : "";
        out += record.locked ? " and SRWD is set: with W# low it can no longer be changed" : "";
    }
    if (record.found == NOR_FOUND_SFDP && options.command != Command::kId) {
        std::snprintf(text, sizeof text, "; JEDEC ID %02x %02x %02x identified by its SFDP",
                      record.id[0], record.id[1], record.id[2]);
        out += text;
    }
    std::snprintf(text, sizeof text, " in %.2f s", record.seconds);
    return out + text;
}

#if defined(_WIN32)
// Windows hands the program its arguments in the ANSI code page.
std::string ansi_to_utf8(const std::string& text) {
    if (text.empty()) {
        return text;
    }
    const int size = static_cast<int>(text.size());
    int wide = MultiByteToWideChar(CP_ACP, 0, text.data(), size, nullptr, 0);
    std::wstring buffer(static_cast<std::size_t>(wide), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), size, buffer.data(), wide);
    int bytes = WideCharToMultiByte(CP_UTF8, 0, buffer.data(), wide, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, buffer.data(), wide, out.data(), bytes, nullptr, nullptr);
    return out;
}
#endif

// Length of the well-formed UTF-8 sequence at text[i], 0 when there is none.
std::size_t utf8_length(const std::string& text, std::size_t i) {
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

std::string json_string(const std::string& raw) {
#if defined(_WIN32)
    const std::string text = ansi_to_utf8(raw);
#else
    const std::string& text = raw;
#endif
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const char ch = text[i];
        const auto unit = static_cast<unsigned char>(ch);
        const std::size_t length = utf8_length(text, i);
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += ch;
        } else if (unit < 0x20 || length == 0) {
            // A byte that is not UTF-8 (a Latin-1 name on Linux) stands for
            // the character of that number, as Latin-1 has it.
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

std::string retries_json(const BoardRecord& record) {
    std::string first;
    for (const link_retry_entry& retry : record.retry_log) {
        first += (first.empty() ? "" : ", ") + std::string("{\"phase\": ") +
                 json_string(retry.phase) + ", \"address\": " + std::to_string(retry.address) +
                 ", \"cause\": " + json_string(retry.cause) + "}";
    }
    return "{\"count\": " + std::to_string(record.retries) + ", \"first\": [" + first + "]}";
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
                                  ", \"index\": " + count(record.board.index) +
                                  ", \"number\": " + count(record.board.number) + "}"
                            : null);
    char id[8];
    std::snprintf(id, sizeof id, "%02x%02x%02x", record.id[0], record.id[1], record.id[2]);
    keys.emplace_back("jedec_id", record.have_id ? json_string(id) : null);
    keys.emplace_back("unique_id", record.unique_id.empty() ? null : json_string(record.unique_id));
    keys.emplace_back("status_register", record.have_status ? count(record.status) : null);
    chip_sectors locked = protected_sectors(record);
    keys.emplace_back("protected_sectors", !record.have_status ? null
                                           : locked.count == 0
                                               ? std::string("[]")
                                               : "[" + count(locked.first) + ", " +
                                                     count(locked.first + locked.count - 1) + "]");
    keys.emplace_back("part", !record.have_id                   ? null
                              : record.found == NOR_FOUND_TABLE ? json_string(record.part.name)
                              : record.found == NOR_FOUND_SFDP  ? json_string("SFDP part")
                                                                : json_string("unknown part"));
    keys.emplace_back("source", !record.have_part                ? null
                                : record.forced                  ? json_string("forced")
                                : record.found == NOR_FOUND_SFDP ? json_string("sfdp")
                                                                 : json_string("table"));
    keys.emplace_back("sfdp_read", record.sfdp_read ? "true" : "false");
    keys.emplace_back("erase_types", record.have_part ? erase_types_json(record.part) : null);
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
        keys.emplace_back("output", json_string(record.output));
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
    const bool classes = stats && options.command == Command::kWrite;
    keys.emplace_back("sectors_programmed", classes ? count(record.sectors_programmed) : null);
    keys.emplace_back("sectors_already_right", classes ? count(record.sectors_right) : null);
    keys.emplace_back("sectors_untouched", classes ? count(record.sectors_untouched) : null);
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
    keys.emplace_back("protected", !record.have_protection ? null
                                   : record.is_protected   ? std::string("true")
                                                           : std::string("false"));
    keys.emplace_back("result", json_string(record.result));
    keys.emplace_back("exit_status", std::to_string(record.exit_status));
    keys.emplace_back("first_difference",
                      stats && s.first_difference >= 0
                          ? count(static_cast<std::uint64_t>(s.first_difference))
                          : null);
    std::string ranges;
    for (const ByteRange& range : record.differing) {
        ranges +=
            (ranges.empty() ? "[" : ", [") + count(range.start) + ", " + count(range.end) + "]";
    }
    keys.emplace_back("differing_bytes",
                      record.differing_bytes != 0 ? count(record.differing_bytes) : null);
    keys.emplace_back("differing_ranges", record.differing_bytes != 0 ? "[" + ranges + "]" : null);
    keys.emplace_back("message", record.message.empty() ? null : json_string(record.message));
    keys.emplace_back("retries", retries_json(record));
    std::string out = "{";
    for (std::size_t i = 0; i < keys.size(); ++i) {
        out += (i == 0 ? "\n  " : ",\n  ") + json_string(keys[i].first) + ": " + keys[i].second;
    }
    return out + "\n}";
}
