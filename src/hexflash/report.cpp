#include "hexflash/report.h"

#include <algorithm>
#include <cstdio>
#if defined(_WIN32)
#include "host/windows_api.h"
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#include "board/fields.h"
#include "d2xx/d2xx.h"
#include "json/json.h"

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
    // Appended to a blank rather than put behind one: mingw's g++ 12 sees an
    // overlap in the latter that is not there (-Wrestrict).
    std::string sizes = " ";
    sizes += size(line.done) + " of " + size(line.total);
    std::string rate, eta;
    double seconds = seconds_between(line.phase_start_ms, line.now_ms);
    double phase_left = -1;
    if (seconds > 0 && line.done > 0) {
        double per_second = static_cast<double>(line.done) / seconds;
        phase_left = static_cast<double>(line.total - line.done) / per_second;
        rate = " ";
        rate += size(per_second) + "/s";
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

const char* unique_id_method(const chip_part& part) {
    return part.unique_id == CHIP_UID_RUID ? "4B" : "none";
}

std::string chip_json(const chip_part& part) {
    char id[8];
    std::snprintf(id, sizeof id, "%06x", part.jedec_id);
    return JsonObject()
        .add("part", json_string(part.name))
        .add("maker", json_string(part.maker))
        .add("jedec_id", json_string(id))
        .add("size", json_number(part.size))
        .add("page_size", json_number(part.page_size))
        .add("erase_types", erase_types_json(part))
        .add("sfdp", json_bool(part.sfdp))
        .add("unique_id", json_string(unique_id_method(part)))
        .line();
}

// "2 MiB", "512 KiB".
std::string chip_size_text(std::uint32_t bytes) {
    return bytes % 1048576 == 0 ? std::to_string(bytes / 1048576) + " MiB"
           : bytes % 1024 == 0  ? std::to_string(bytes / 1024) + " KiB"
                                : std::to_string(bytes) + " B";
}

// What a write did, every sector in one class, so that the figures add up
// to the part's sectors.
std::string write_summary(const BoardRecord& record) {
    const fast_stats& s = record.stats;
    char text[200];
    std::snprintf(text, sizeof text,
                  " and verified: of %u sectors, %u erased%s, %u programmed without erase, "
                  "%u already right, %u untouched; %u page%s programmed",
                  part_sectors(record.part), s.sectors_erased, record.bulk_erase ? " (bulk)" : "",
                  record.sectors_programmed, record.sectors_right, record.sectors_untouched,
                  s.pages_programmed, s.pages_programmed == 1 ? "" : "s");
    return text;
}

// What id found: the part, its status and protection in its own terms, its
// size and erases, the unique ID, SFDP and the clock.
std::string id_summary(const BoardRecord& record) {
    const chip_part& part = record.have_part ? record.part : CHIP_FORCED_PART;
    const std::string name = record.found == NOR_FOUND_TABLE  ? part.name
                             : record.found == NOR_FOUND_SFDP ? "SFDP part, identified by its SFDP"
                                                               : "unknown part";
    char status[8];
    std::snprintf(status, sizeof status, "0x%02x", record.status);
    std::string out =
        ": JEDEC ID " + jedec_hex(record, " ") + " (" + name + "), status " + status + ", ";
    const chip_sectors covered = protected_sectors(record);
    out += chip_protection_text(part, record.status_word) + ": ";
    out += covered.count == 0
               ? "no sector protected"
               : "sectors " + std::to_string(covered.first) + "-" +
                     std::to_string(covered.first + covered.count - 1) + " protected";
    if (record.found != NOR_FOUND_UNKNOWN) {
        out += "; " + chip_size_text(part.size) + ", erases " + chip_erase_text(part);
    }
    out += record.unique_id.empty() ? "; no unique ID" : "; unique ID " + record.unique_id;
    out += record.sfdp_read ? "; SFDP read" : "; no SFDP";
    return out + format("; clock %.6g MHz", static_cast<double>(record.clock_hz) / 1e6);
}

// The protection read back after the run, as the part's own bits decode it.
std::string protection_summary(const BoardRecord& record) {
    const chip_sectors covered = protected_sectors(record);
    std::string out = covered.count == 0 ? ""
                      : covered.first == 0 && covered.count == part_sectors(record.part)
                          ? "; the chip is write-protected"
                          : "; sectors " + std::to_string(covered.first) + "-" +
                                std::to_string(covered.first + covered.count - 1) +
                                " are write-protected";
    return out + (record.locked ? " and SRWD is set: with W# low it can no longer be changed" : "");
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
        if (json) {
            out += std::string(i == 0 ? "\n  " : ",\n  ") + chip_json(part);
            continue;
        }
        const std::uint32_t id = part.jedec_id;
        std::snprintf(text, sizeof text, "%-16s %-20s %02x %02x %02x  %-4s %-9s ", part.name,
                      part.maker, id >> 16, (id >> 8) & 0xFF, id & 0xFF, part.sfdp ? "yes" : "no",
                      unique_id_method(part));
        out += text + chip_erase_text(part) + "\n";
    }
    return json ? "[" + out + "\n]\n" : out;
}

std::string summary_line(const JobOptions& options, const std::string& label,
                         const BoardRecord& record) {
    std::string out = label + ": " + record.result;
    if (record.exit_status != 0) {
        return record.message.empty() || record.result == "interrupted"
                   ? out
                   : out + ": " + record.message;
    }
    if (options.task == Task::kWrite) {
        out += write_summary(record);
    } else if (options.task == Task::kId) {
        out += id_summary(record);
    } else if (options.task == Task::kRead) {
        out += " into " + record.output;
    }
    if (record.have_protection && options.task != Task::kId) {
        out += protection_summary(record);
    }
    if (record.found == NOR_FOUND_SFDP && options.task != Task::kId) {
        out += "; JEDEC ID " + jedec_hex(record, " ") + " identified by its SFDP";
    }
    return out + format(" in %.2f s", record.seconds);
}
