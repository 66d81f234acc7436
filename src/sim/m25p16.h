// A simulated STMicroelectronics M25P16 (16 Mbit SPI NOR flash), faithful at
// the bit level: the host drives S# (chip select) and one clock cycle at a
// time, in SPI mode 0.
#pragma once

#include <cstdint>

#include "sim/clock.h"

namespace sim {

// Busy times of the write-type instructions, in virtual nanoseconds.
struct ChipTiming {
    std::uint64_t page_program_ns;
    std::uint64_t sector_erase_ns;
    std::uint64_t bulk_erase_ns;
    std::uint64_t write_status_ns;

    static ChipTiming typical();  // datasheet typical values
    static ChipTiming maximum();  // datasheet maximum values
    static ChipTiming zero();     // over by the next status poll
};

struct ChipFaults {
    bool stuck_busy = false;          // once a write cycle starts, WIP never clears
    bool stuck_zero = false;          // bit 0 of the byte at stuck_zero_address reads 0
    std::uint32_t stuck_zero_address = 0;
};

struct ChipCounters {
    std::uint64_t transactions = 0;  // S# falling edges
    std::uint64_t page_programs = 0;
    std::uint64_t sector_erases = 0;
    std::uint64_t bulk_erases = 0;
};

class M25P16 {
public:
    static constexpr std::uint32_t kSize = 2 * 1024 * 1024;

    // `memory` holds kSize bytes (the array; the caller owns it, e.g. a
    // mapped file); `clock` is read to end busy cycles.
    M25P16(std::uint8_t* memory, const VirtualClock& clock, ChipTiming timing,
           ChipFaults faults = {});

    // S# level: false = low (selected). A rising edge ends the instruction
    // (write-type ones act then, if on a byte boundary).
    void set_select(bool high);
    // One clock cycle: D is sampled on the rising edge; the return value is
    // the level of Q during the cycle (1 when Q is high-impedance), which
    // changes after the falling edge.
    bool clock(bool d);

    std::uint8_t status() const;  // the status register as RDSR would read it now
    const ChipCounters& counters() const { return counters_; }

private:
    // Implementation state lives here.
};

}  // namespace sim
