// What one board's run found and did: the per-board record that the summary
// line, the JSON record and the production log are written from.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "board/boards.h"
#include "chip/chip.h"
#include "fastflash/fastflash.h"
#include "image/image_file.h"

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
