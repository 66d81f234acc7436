// How a board's run tells what it is doing: the one-shot commands' progress
// lines and the production line's stations both take it.
#pragma once

#include <cstdint>
#include <string>

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
