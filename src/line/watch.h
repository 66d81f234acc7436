// watch: burn every board as it is plugged in, log it, until --count boards
// or an interrupt.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "board/job.h"

struct WatchOptions {
    JobOptions burn;  // how each board is burned: a write of burn.path, whatever burn.task says
    std::vector<std::string> devices;  // the stations taken, by serial or location; all when empty
    bool quiet = false;
    bool new_only = false;    // boards present at the start are left alone
    std::uint64_t count = 0;  // stop after this many boards (0: never)
    std::string log_path;     // JSON Lines, one per board; none when empty
    std::string db;           // the record store's URL ("": HEXFLASH_DB, else the default)
};

// The whole watch run; returns the exit status: 0 when every board passed,
// else the worst board's (an interrupt that cut a burn short above all).
int watch_boards(const WatchOptions& options, const char* version, bool terminal);
