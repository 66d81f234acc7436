// watch's screen: one line per station (a port a board is plugged into) with
// its state, and a tally. On a terminal the block is redrawn in place;
// otherwise each change of state is one plain line.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "board/progress.h"
#include "board/record.h"
#include "store/store.h"

class StationBoard final : public Progress {
  public:
    StationBoard(bool terminal, bool quiet);
    // The station for `location`, made on first sight; its slot number.
    int station(std::uint32_t location);
    void arrived(int slot, const std::string& serial);
    // The board's run is over (and logged). `spooled`: it passed, but its
    // record waits in the spool, not yet in the store: not shown as passed.
    void finished(int slot, const BoardRecord& record, bool spooled = false);
    // The board left: its station waits again (a FAILED mark goes with it).
    void left(int slot);
    void phase(int slot, const char* phase, std::uint64_t done, std::uint64_t total) override;
    // The tally: "passed 7, failed 1, 412 boards/hour" ("spooled 2" when any).
    std::string tally() const;
    // Records waiting for a store that does not answer: a line of its own
    // while there are any.
    void store_waiting(std::size_t records);
    // Each station as the store's station table keeps it (no host, no time).
    std::vector<StoreStation> snapshot() const;
    // Redraws now (terminal), or prints the tally (plain lines).
    void close();

  private:
    enum class State { kWaiting, kBurning, kPassed, kFailed, kSpooled };
    struct Station {
        std::uint32_t location = 0;
        std::string serial;
        State state = State::kWaiting;
        std::string phase;
        std::uint64_t done = 0;
        std::uint64_t total = 0;
        std::chrono::steady_clock::time_point phase_start{};
        std::chrono::steady_clock::time_point arrived{};
        std::string reason;  // FAILED: why; passed: the time it took
    };
    std::string line(const Station& station) const;
    void show(const Station& station);  // plain: the station's line now
    void draw();                        // terminal: every line in place
    std::string tally_locked() const;

    bool terminal_;
    bool quiet_;
    std::vector<Station> stations_;
    std::size_t drawn_ = 0;  // lines drawn last time
    unsigned passed_ = 0;
    unsigned failed_ = 0;
    unsigned spooled_ = 0;
    std::string store_note_;  // "store unreachable: 2 records waiting", or empty
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point last_draw_{};
    mutable std::mutex mutex_;
};
