#include "hexflash/report.h"

#include <cstdio>
#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

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
        std::uint32_t first = first_protected_sector(record.status);
        std::snprintf(
            text, sizeof text, ": JEDEC ID %02x %02x %02x%s, status 0x%02x, ", record.id[0],
            record.id[1], record.id[2],
            record.id[0] == 0x20 && record.id[1] == 0x20 && record.id[2] == 0x15 ? " (M25P16)" : "",
            record.status);
        out += text;
        out += first == 32 ? "no sector protected"
                           : "sectors " + std::to_string(first) + "-31 protected";
        out += format(", clock %.6g MHz", static_cast<double>(record.clock_hz) / 1e6);
    } else if (options.command == Command::kRead) {
        out += " into " + options.path;
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
        auto byte = static_cast<unsigned char>(ch);
        const std::size_t length = utf8_length(text, i);
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += ch;
        } else if (byte < 0x20 || length == 0) {
            // A byte that is not UTF-8 (a Latin-1 name on Linux) stands for
            // the character of that number, as Latin-1 has it.
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", byte);
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
    std::uint32_t first = first_protected_sector(record.status);
    keys.emplace_back("protected_sectors", !record.have_status ? null
                                           : first == 32       ? std::string("[]")
                                                               : "[" + count(first) + ", 31]");
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
    std::string retries;
    for (const fast_retry& retry : record.retry_log) {
        retries += (retries.empty() ? "" : ", ") + std::string("{\"phase\": ") +
                   json_string(retry.phase) + ", \"address\": " + count(retry.address) +
                   ", \"cause\": " + json_string(retry.cause) + "}";
    }
    keys.emplace_back("retries",
                      "{\"count\": " + count(record.retries) + ", \"first\": [" + retries + "]}");
    std::string out = "{";
    for (std::size_t i = 0; i < keys.size(); ++i) {
        out += (i == 0 ? "\n  " : ",\n  ") + json_string(keys[i].first) + ": " + keys[i].second;
    }
    return out + "\n}";
}
