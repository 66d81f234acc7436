// What people and scripts see: progress and summaries on standard error,
// the JSON record on standard output.
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "board/job.h"
#include "board/progress.h"
#include "board/record.h"

// Progress of one or more boards on standard error. On a terminal: a bar
// with percent, bytes, rate and the whole run's ETA (one line per board,
// redrawn in place, cut to the terminal's width as it is at each redraw);
// otherwise one line per board and phase as each phase ends. Silent when quiet.
class Display final : public Progress {
  public:
    Display(std::vector<std::string> labels, bool terminal, bool quiet);
    void phase(int slot, const char* phase, std::uint64_t done, std::uint64_t total) override;
    void estimate(int slot, double seconds, bool after_read) override;
    void note(int slot, const std::string& line) override;
    // Ends the board's progress with its result ("written", "failed"...).
    void finish(int slot, const std::string& result);

    // What a board's progress line says at `now_ms`, in at most `width` columns.
    struct Line {
        std::string phase;
        std::uint64_t done = 0;
        std::uint64_t total = 0;
        std::uint64_t phase_start_ms = 0;
        std::uint64_t now_ms = 0;
        std::string result;             // set when the board is finished
        double estimate_s = -1;         // the rest of the run (-1: no estimate)
        bool after_read = false;        // estimate_s starts when the read phase ends
        std::uint64_t estimate_ms = 0;  // when the estimate was made
    };
    static std::string line_text(const std::string& label, const Line& line, std::size_t width);

  private:
    void end_phase(int slot);  // non-terminal: the line for the phase just over
    void draw();               // terminal: every board's line, in place

    std::vector<std::string> labels_;
    std::vector<Line> lines_;
    bool terminal_;
    bool quiet_;
    bool drawn_ = false;
    std::size_t columns_ = 0;  // the width the lines on screen were drawn for
    std::chrono::steady_clock::time_point last_draw_{};
    std::mutex mutex_;
};

// The closing line for the board `label` names: "B: written ... in 1.2 s".
std::string summary_line(const JobOptions& options, const std::string& label,
                         const BoardRecord& record);

// The chip table, one part a line (or a JSON array with json).
std::string chips_text(bool json);
