// The simulated board's virtual clock, shared by every model on the board.
#pragma once

#include <cstdint>

namespace sim {

struct VirtualClock {
    std::uint64_t now_ns = 0;
    void advance(std::uint64_t ns) { now_ns += ns; }
};

}  // namespace sim
