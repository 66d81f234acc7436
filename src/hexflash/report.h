// What people and scripts see: progress and summaries on standard error,
// the JSON record on standard output.
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "hexflash/job.h"

// Progress of one or more boards on standard error. On a terminal: a bar
// with percent, bytes, rate and ETA (one line per board, redrawn in place);
// otherwise one line per board and phase as each phase ends. Silent when quiet.
class Display final : public Progress {
  public:
    Display(std::vector<std::string> labels, bool terminal, bool quiet);
    void phase(int slot, const char* phase, std::uint64_t done, std::uint64_t total) override;
    // Ends the board's progress (its last phase line).
    void finish(int slot);

  private:
    struct Line {
        std::string phase;
        std::uint64_t done = 0;
        std::uint64_t total = 0;
        std::uint64_t phase_start_ms = 0;
        std::uint64_t now_ms = 0;
        bool finished = false;
    };
    void end_phase(int slot);  // non-terminal: the line for the phase just over
    void draw();               // terminal: every board's line, in place
    std::string bar(const Line& line) const;

    std::vector<std::string> labels_;
    std::vector<Line> lines_;
    bool terminal_;
    bool quiet_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point last_draw_{};
    std::mutex mutex_;
};

// The closing line for the board `label` names: "B: written ... in 1.2 s".
std::string summary_line(const Options& options, const std::string& label,
                         const BoardRecord& record);

// The JSON object of one board's record (hexflash(1) documents the keys).
std::string json_record(const Options& options, const LoadedImage* image, const BoardRecord& record,
                        bool has_board);
// A JSON string literal.
std::string json_string(const std::string& text);
// The chip table, one part a line (or a JSON array with json).
std::string chips_text(bool json);
