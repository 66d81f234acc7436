#include "line/station.h"

#include <cstdio>

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point from) {
    return std::chrono::duration<double>(Clock::now() - from).count();
}

}  // namespace

StationBoard::StationBoard(bool terminal, bool quiet) : terminal_(terminal), quiet_(quiet) {}

int StationBoard::station(std::uint32_t location) {
    std::lock_guard<std::mutex> hold(mutex_);
    for (std::size_t i = 0; i < stations_.size(); ++i) {
        if (stations_[i].location == location) {
            return static_cast<int>(i);
        }
    }
    stations_.push_back({});
    stations_.back().location = location;
    return static_cast<int>(stations_.size() - 1);
}

void StationBoard::arrived(int slot, const std::string& serial) {
    std::lock_guard<std::mutex> hold(mutex_);
    Station& s = stations_[static_cast<std::size_t>(slot)];
    s = Station{s.location, serial, State::kBurning, "", 0, 0, Clock::now(), Clock::now(), ""};
    show(s);
}

void StationBoard::finished(int slot, const BoardRecord& record, bool spooled) {
    std::lock_guard<std::mutex> hold(mutex_);
    Station& s = stations_[static_cast<std::size_t>(slot)];
    char text[64];
    std::snprintf(text, sizeof text, "in %.1f s", seconds_since(s.arrived));
    if (record.exit_status == 0 && spooled) {
        s.state = State::kSpooled;
        s.reason = text;
        ++spooled_;
    } else if (record.exit_status == 0) {
        s.state = State::kPassed;
        s.reason = text;
        ++passed_;
    } else {
        s.state = State::kFailed;
        s.reason = record.message.empty() ? record.result : record.message;
        ++failed_;
    }
    show(s);
}

void StationBoard::left(int slot) {
    std::lock_guard<std::mutex> hold(mutex_);
    Station& s = stations_[static_cast<std::size_t>(slot)];
    s = Station{s.location, "", State::kWaiting, "", 0, 0, {}, {}, ""};
    show(s);
}

void StationBoard::phase(int slot, const char* phase, std::uint64_t done, std::uint64_t total) {
    std::lock_guard<std::mutex> hold(mutex_);
    Station& s = stations_[static_cast<std::size_t>(slot)];
    if (s.phase != phase) {
        s.phase = phase;
        s.phase_start = Clock::now();
    }
    s.done = done;
    s.total = total;
    if (terminal_ && !quiet_ && Clock::now() - last_draw_ >= std::chrono::milliseconds(200)) {
        draw();
    }
}

std::string StationBoard::line(const Station& s) const {
    char head[80];
    std::snprintf(head, sizeof head, "0x%04x %-10s ", static_cast<unsigned>(s.location),
                  s.serial.empty() ? "-" : s.serial.c_str());
    std::string out = head;
    switch (s.state) {
        case State::kWaiting:
            return out + "waiting";
        case State::kPassed:
            return out + "passed " + s.reason;
        case State::kFailed:
            return out + "FAILED: " + s.reason + " (unplug it)";
        case State::kSpooled:
            return out + "done " + s.reason + ", record spooled (store unreachable)";
        case State::kBurning:
            break;
    }
    out += "burning";
    if (s.total > 0 && !s.phase.empty()) {
        double fraction = static_cast<double>(s.done) / static_cast<double>(s.total);
        char text[64];
        std::snprintf(text, sizeof text, " %s %3.0f%%", s.phase.c_str(), fraction * 100);
        out += text;
        double elapsed = seconds_since(s.phase_start);
        if (fraction > 0.01 && elapsed > 0) {
            auto eta = static_cast<int>(elapsed / fraction - elapsed);
            std::snprintf(text, sizeof text, " ETA %d:%02d", eta / 60, eta % 60);
            out += text;
        }
    }
    return out;
}

std::string StationBoard::tally_locked() const {
    double hours = seconds_since(start_) / 3600;
    double done = passed_ + failed_ + spooled_;
    char spooled[32] = "";
    if (spooled_ != 0) {
        std::snprintf(spooled, sizeof spooled, ", spooled %u", spooled_);
    }
    char text[128];
    std::snprintf(text, sizeof text, "passed %u, failed %u%s, %.0f boards/hour", passed_, failed_,
                  spooled, hours > 0 ? done / hours : 0.0);
    return text;
}

std::string StationBoard::tally() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return tally_locked();
}

void StationBoard::show(const Station& station) {
    if (quiet_) {
        return;
    }
    if (terminal_) {
        draw();
        return;
    }
    bool over = station.state == State::kPassed || station.state == State::kFailed ||
                station.state == State::kSpooled;
    std::fprintf(stderr, "%s%s\n", line(station).c_str(),
                 over ? ("   [" + tally_locked() + "]").c_str() : "");
    std::fflush(stderr);
}

void StationBoard::draw() {
    last_draw_ = Clock::now();
    std::string out;
    if (drawn_ > 0) {
        out += "\x1b[" + std::to_string(drawn_) + "A";  // back to the first line
    }
    for (const Station& s : stations_) {
        out += "\r\x1b[K" + line(s) + "\n";
    }
    out += "\r\x1b[K" + tally_locked() + "\n";
    drawn_ = stations_.size() + 1;
    if (!store_note_.empty()) {
        out += "\r\x1b[K" + store_note_ + "\n";
        ++drawn_;
    }
    std::fputs(out.c_str(), stderr);
    std::fflush(stderr);
}

void StationBoard::close() {
    std::lock_guard<std::mutex> hold(mutex_);
    if (quiet_) {
        return;
    }
    if (terminal_) {
        draw();
    } else {
        std::fprintf(stderr, "%s\n", tally_locked().c_str());
    }
}

void StationBoard::store_waiting(std::size_t records) {
    std::lock_guard<std::mutex> hold(mutex_);
    std::string note;
    if (records != 0) {
        note = "store unreachable: " + std::to_string(records) + " record" +
               (records == 1 ? "" : "s") + " waiting";
    }
    if (note == store_note_) {
        return;
    }
    const bool was = !store_note_.empty();
    store_note_ = note;
    if (quiet_) {
        return;
    }
    if (terminal_) {
        // A line fewer: the block is drawn again from its top.
        draw();
        if (note.empty()) {
            std::fputs("\r\x1b[K", stderr);
        }
    } else if (!note.empty() || was) {
        std::fprintf(stderr, "hexflash: %s\n",
                     note.empty() ? "the store answers again: every record stored" : note.c_str());
        std::fflush(stderr);
    }
}

std::vector<StoreStation> StationBoard::snapshot() const {
    std::lock_guard<std::mutex> hold(mutex_);
    static const char* const kStates[] = {"waiting", "burning", "passed", "failed", "spooled"};
    std::vector<StoreStation> out;
    for (const Station& s : stations_) {
        StoreStation row;
        row.location = s.location;
        row.state = kStates[static_cast<int>(s.state)];
        if (s.state == State::kBurning) {
            row.phase = s.phase;
            row.percent = s.total > 0 ? static_cast<int>(s.done * 100 / s.total) : 0;
        }
        out.push_back(row);
    }
    return out;
}
