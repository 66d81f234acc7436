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
    bool stuck_busy = false;  // once a write cycle starts, WIP never clears
    // When not 0: the write cycle of that number (erase, page program or
    // status write, counted from 1) never ends; the earlier ones do.
    std::uint64_t stuck_busy_cycle = 0;
    bool stuck_zero = false;  // bit 0 of the byte at stuck_zero_address reads 0
    std::uint32_t stuck_zero_address = 0;
    bool stuck_one = false;  // bit 0 of the byte at stuck_one_address reads 1
    std::uint32_t stuck_one_address = 0;
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
    // Eight clock cycles, D bits MSB first, returning the eight Q bits MSB
    // first: exactly what eight clock() calls do, in one step when the clocks
    // since S# fell are a whole number of bytes (the common case).
    std::uint8_t clock_byte(std::uint8_t d);

    // The three RDID bytes (manufacturer, type, capacity) as 0xMMTTCC.
    void set_identity(std::uint32_t jedec_id);

    std::uint8_t status() const;  // the status register as RDSR would read it now

    // The part's name, as a status file records it.
    static constexpr const char* kModel = "m25p16";
    // The status bits the part keeps without power (SRWD, BP2..BP0) as they
    // are now: a finished WRSR counts at once. A holder that keeps them (a
    // status file) compares this after each transfer to see them change.
    std::uint8_t nonvolatile_status() const;
    // At power-up: the bits kept without power; the others are ignored.
    void set_nonvolatile_status(std::uint8_t bits);
    const ChipCounters& counters() const { return counters_; }

  private:
    // Where the current instruction is: decides what a completed byte means
    // and what Q carries during the next one.
    enum class Phase : std::uint8_t {
        kOpcode,        // the first byte
        kAddress,       // 3 address bytes
        kDummy,         // dummy bytes before FAST_READ data or the RES signature
        kReadData,      // READ / FAST_READ data out
        kProgramData,   // PP data in
        kStatusData,    // WRSR's one data byte
        kStatusOut,     // RDSR, repeated
        kIdOut,         // RDID
        kSignatureOut,  // RES, repeated
        kComplete,      // a fixed-length write has all its bytes
        kIgnore,        // unknown, rejected or not decoded now: wait for S# rise
    };

    void on_byte(std::uint8_t in);
    void decode(std::uint8_t opcode);
    void after_address();
    void finish_write();
    void start_cycle(std::uint64_t busy_ns, std::uint8_t status_after);
    void settle();
    bool busy() const;
    std::uint8_t read_byte(std::uint32_t address) const;

    std::uint8_t* memory_;
    const VirtualClock& clock_;
    ChipTiming timing_;
    ChipFaults faults_;
    ChipCounters counters_;

    // Status register: stored SRWD/BP bits, WEL, and the write cycle (WIP).
    std::uint8_t stored_ = 0;
    bool wel_ = false;
    bool cycle_ = false;
    bool cycle_stuck_ = false;  // this cycle never ends (a fault)
    std::uint64_t cycles_ = 0;  // write cycles started so far
    std::uint64_t cycle_end_ns_ = 0;
    std::uint8_t status_after_ = 0;  // register once the cycle is over
    bool deep_power_down_ = false;

    // The transaction in progress.
    bool selected_ = false;
    Phase phase_ = Phase::kIgnore;
    std::uint8_t opcode_ = 0;
    std::uint8_t bit_ = 0;     // clocks into the current byte, 0..7
    std::uint8_t in_ = 0;      // D bits of the current byte so far
    std::uint8_t out_ = 0xFF;  // Q byte of the current byte
    std::uint32_t count_ = 0;  // address/dummy/ID bytes of the phase; PP: data seen
    std::uint32_t address_ = 0;
    std::uint8_t status_in_ = 0;
    std::uint8_t latch_[256];  // PP page buffer
    std::uint8_t latch_index_ = 0;
    std::uint8_t identity_[4] = {0x20, 0x20, 0x15, 0x10};  // RDID, then the factory count
};

}  // namespace sim
