// One board's part of a run: open it, do the command, close it, and say how
// it went. Each board runs on its own thread with its own handle and link;
// what they share (options, image) is read only.
#pragma once

#include <cstdint>
#include <string>

#include "fastflash/fastflash.h"
#include "hexflash/boards.h"
#include "hexflash/options.h"
#include "image/image_file.h"

// What one board's run found and did: the per-board record of --json and the
// summary line.
struct BoardRecord {
    Board board;
    bool have_id = false;
    std::uint8_t id[3] = {};
    bool have_status = false;
    std::uint8_t status = 0;        // the status register as first read
    std::uint16_t status_word = 0;  // both registers (register 2 in bits 15..8)
    fast_found found = FAST_FOUND_NONE;
    bool sfdp_read = false;
    bool forced = false;  // --force drove an unknown part
    bool have_part = false;
    std::uint32_t unique_id_length = 0;  // 0: the part has none, or it read as no identity
    std::uint8_t unique_id[16] = {};
    chip_part part = {};  // what the run drove the chip as (a copy: the link's goes)
    bool have_stats = false;
    fast_stats stats = {};
    bool bulk_erase = false;
    std::uint32_t clock_hz = 0;
    double seconds = 0;  // open to close, driver clock
    std::string result;  // "written", "verified", "read", "erased", "identified",
                         // "refused", "failed", "mismatch", "interrupted"
    int exit_status = 0;
    std::string message;  // why it failed or was refused; empty otherwise
};

// Receives progress from every board's thread (must be thread-safe).
class Progress {
  public:
    virtual ~Progress() = default;
    virtual void phase(int slot, const char* phase, std::uint64_t done, std::uint64_t total) = 0;
};

struct Job {
    const Options* options;
    const LoadedImage* image;  // write and verify
};

// Runs the command on `board`; `slot` tells the board apart in progress calls.
BoardRecord run_board(const Job& job, const Board& board, int slot, Progress& progress);

// The first sector BP2..BP0 of `status` protect (32: none).
std::uint32_t first_protected_sector(std::uint8_t status);
// The sectors the record's part's protection covers.
chip_sectors protected_sectors(const BoardRecord& record);
