// One board's part of a run: open it, do the command, close it, and say how
// it went. Each board runs on its own thread with its own handle and link;
// what they share (options, image) is read only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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
    nor_found found = NOR_FOUND_NONE;
    bool sfdp_read = false;
    bool forced = false;  // --force drove an unknown part
    bool have_part = false;
    chip_part part = {};  // what the run drove the chip as (a copy: the link's goes)
    bool have_stats = false;
    fast_stats stats = {};
    bool bulk_erase = false;
    std::uint32_t clock_hz = 0;
    std::string unique_id;         // the chip's unique ID in hex; empty: the part has none
    bool have_protection = false;  // `protected` is known (read back after the run)
    bool is_protected = false;     // the block protection covers the whole chip
    bool locked = false;           // SRWD set by --lock
    std::string phase;             // where it failed: open, setup, identify, read, erase,
                                   // program, verify, protect
    double seconds = 0;            // open to close, driver clock
    std::string result;            // "written", "verified", "read", "erased", "identified",
                                   // "refused", "failed", "mismatch", "interrupted"
    int exit_status = 0;
    std::string message;   // why it failed or was refused; empty otherwise
    std::string output;    // read: the file this board's chip went to
    bool changed = false;  // write, erase: the chip began to change
    // write: every sector in one class (stats.sectors_erased are the erased)
    std::uint32_t sectors_programmed = 0;  // programmed without an erase
    std::uint32_t sectors_right = 0;       // already held what they must
    std::uint32_t sectors_untouched = 0;   // outside the image, kept (--keep-rest)
    // A mismatch: the bytes that differ from what the chip should hold, and
    // the first few ranges of them.
    std::uint64_t differing_bytes = 0;
    std::vector<ByteRange> differing;
    std::uint32_t retries = 0;                // units redone after a failed transfer
    std::vector<link_retry_entry> retry_log;  // the first few of them
};

// Receives progress from every board's thread (must be thread-safe).
class Progress {
  public:
    virtual ~Progress() = default;
    virtual void phase(int slot, const char* phase, std::uint64_t done, std::uint64_t total) = 0;
    // How long the rest of the run should take: from the end of the read
    // phase under way (`after_read`), or from now.
    virtual void estimate(int /*slot*/, double /*seconds*/, bool /*after_read*/) {}
    // One line about the board, e.g. a retry (standard error by default).
    virtual void note(int slot, const std::string& line);
};

struct Job {
    const Options* options;
    const LoadedImage* image;  // write and verify
};

// Runs the command on `board`; `slot` tells the board apart in progress calls.
// `output`: read's file for this board (the command's OUT when empty).
BoardRecord run_board(const Job& job, const Board& board, int slot, Progress& progress,
                      const std::string& output = "");
// The same on a board already opened (FT_Open right after the census, as
// watch does); closes the handle.
BoardRecord run_opened_board(const Job& job, const Board& board, FT_HANDLE handle, int slot,
                             Progress& progress, const std::string& output = "");

// The first sector BP2..BP0 of `status` protect (32: none).
std::uint32_t first_protected_sector(std::uint8_t status);
// The sectors the record's part's protection covers.
chip_sectors protected_sectors(const BoardRecord& record);
