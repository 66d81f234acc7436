// One board's part of a run: open it, do the command, close it, and say how
// it went. Each board runs on its own thread with its own handle and link;
// what they share (options, image) is read only.
#pragma once

#include <cstdint>
#include <string>

#include "board/boards.h"
#include "board/progress.h"
#include "board/record.h"
#include "d2xx/d2xx_types.h"
#include "fastflash/fastflash.h"
#include "image/image_file.h"

// What a board's run does to its chip.
enum class Task { kId, kWrite, kVerify, kRead, kErase, kProtect, kUnprotect };

// The task's name as records give it: "write".
const char* task_name(Task task);

// What one board's run is asked to do: the command line's share of it.
struct JobOptions {
    Task task = Task::kId;
    std::uint32_t clock_hz = NOR_DEFAULT_CLOCK_HZ;
    std::string path;  // IMAGE of write and verify, OUT of read
    plan_erase_mode erase = PLAN_ERASE_AUTO;
    bool keep_rest = false;
    bool force = false;      // drive a part neither the table nor its SFDP describes
    bool unprotect = false;  // clear the protection in the way for the run
    bool raw = false;        // the file holds the chip's own bytes
    bool protect = false;    // write: protect the whole chip after the verify
    bool lock = false;       // with the protection, SRWD
};

struct Job {
    const JobOptions* options;
    const LoadedImage* image;  // write and verify
};

// Runs the task on `board`; `slot` tells the board apart in progress calls.
// `output`: read's file for this board (the options' path when empty).
BoardRecord run_board(const Job& job, const Board& board, int slot, Progress& progress,
                      const std::string& output = "");
// The same on a board already opened (FT_Open right after the census, as
// watch does); closes the handle.
BoardRecord run_opened_board(const Job& job, const Board& board, FT_HANDLE handle, int slot,
                             Progress& progress, const std::string& output = "");

// The record of a board that would not open. `may_be_gone`: it may have left
// since the census that found it (watch opens a board right after a census,
// and tries again while the census still lists it).
BoardRecord unopened_record(const Board& board, bool may_be_gone);

// 3 over 2 over 1 over 0; an interrupt over all: a run's status from its boards'.
int worse_status(int a, int b);

// The part's 64 KiB sectors, as many as the transport's plan holds at most.
std::uint32_t part_sectors(const chip_part& part);

// The sectors a plan of `sectors` changes, first to last; first > last when
// it changes none. A bulk erase changes every one.
struct SectorSpan {
    std::uint32_t first;
    std::uint32_t last;
};
SectorSpan planned_changes(const plan_burn& plan, std::uint32_t sectors);
