// A simulated SPI NOR flash of 16 Mbit, faithful at the bit level: the host
// drives S# (chip select) and one clock cycle at a time, in SPI mode 0. One
// class for every part the board can carry in the M25P16's footprint: what
// tells them apart is the ChipModel it is given (chip_model.h).
#pragma once

#include <cstdint>

#include "sim/chip_model.h"
#include "sim/clock.h"
#include "sim/sfdp_table.h"

namespace sim {

// Busy times of the write-type instructions, in virtual nanoseconds.
struct ChipTiming {
    std::uint64_t page_program_ns;
    std::uint64_t sector_erase_ns;
    std::uint64_t bulk_erase_ns;
    std::uint64_t write_status_ns;

    // Which of the model's own times a chip uses; kGiven: the four above,
    // whatever the model (the tests time it so).
    enum class Kind : std::uint8_t { kGiven, kTypical, kMaximum, kZero };
    Kind kind = Kind::kGiven;

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
    std::uint64_t sector_erases = 0;  // every 64 KiB erase, whichever instruction
    std::uint64_t bulk_erases = 0;    // chip erases
    std::uint64_t erases_4k = 0;
    std::uint64_t erases_32k = 0;
};

class SpiNor {
  public:
    static constexpr std::uint32_t kSize = kChipSize;

    // `memory` holds kSize bytes (the array; the caller owns it, e.g. a
    // mapped file); `clock` is read to end busy cycles.
    SpiNor(std::uint8_t* memory, const VirtualClock& clock, ChipTiming timing,
           ChipFaults faults = {}, const ChipModel& model = default_model());

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

    // The unique ID (0x4B) of a model that has one.
    void set_unique_id(std::uint64_t id) { unique_id_ = id; }
    // Starts in deep power-down, as a board whose firmware left it there.
    void set_asleep() { deep_power_down_ = true; }
    // Answers SFDP reads with ones, as a part without SFDP.
    void set_sfdp_off() { sfdp_off_ = true; }

    const ChipModel& model() const { return model_; }
    // The status bits the part keeps without power (SRWD/SRP0, BP, TB, SEC,
    // CMP, QE, the lock bits; register 2 in bits 15..8) as they are now: a
    // finished write counts at once. A holder that keeps them (a status
    // file) compares this after each transfer to see them change.
    std::uint16_t nonvolatile_status() const;
    // At power-up: the bits kept without power; the others are ignored.
    void set_nonvolatile_status(std::uint16_t bits);
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
        kStatusData,    // WRSR's data bytes (one, or two with register 2)
        kStatus2Out,    // RDSR2, repeated
        kSfdpOut,       // SFDP table bytes
        kUniqueOut,     // the unique ID
        kStatusOut,     // RDSR, repeated
        kIdOut,         // RDID
        kSignatureOut,  // RES, repeated
        kComplete,      // a fixed-length write has all its bytes
        kIgnore,        // unknown, rejected or not decoded now: wait for S# rise
    };

    void on_byte(std::uint8_t in);
    void decode(std::uint8_t opcode);
    bool heard(std::uint8_t opcode) const;
    std::uint32_t erase_size(std::uint8_t opcode) const;
    void after_address();
    void after_dummy();
    void status_byte(std::uint8_t in);
    void finish_write();
    void finish_erase();
    void start_cycle(std::uint64_t busy_ns, std::uint16_t status_after);
    void settle();
    bool busy() const;
    std::uint8_t read_byte(std::uint32_t address) const;
    std::uint64_t busy_ns(std::uint64_t ModelTimes::*time, std::uint64_t ChipTiming::*given) const;
    bool protected_range(std::uint32_t address, std::uint32_t length) const;
    std::uint8_t sfdp_byte(std::uint32_t address) const;
    std::uint8_t unique_id_byte(std::uint32_t index) const;
    bool awake() const;

    std::uint8_t* memory_;
    const VirtualClock& clock_;
    ChipTiming timing_;
    ChipFaults faults_;
    const ChipModel& model_;
    ChipCounters counters_;
    std::uint64_t unique_id_ = 0;
    bool sfdp_off_ = false;
    std::uint8_t sfdp_[kSfdpBytes];  // the model's SFDP area
    std::uint64_t wake_at_ns_ = 0;   // RES seen: instructions heard from then on

    // Status registers: stored bits, WEL, and the write cycle (WIP).
    std::uint16_t stored_ = 0;
    bool wel_ = false;
    bool cycle_ = false;
    bool cycle_stuck_ = false;  // this cycle never ends (a fault)
    std::uint64_t cycles_ = 0;  // write cycles started so far
    std::uint64_t cycle_end_ns_ = 0;
    std::uint16_t status_after_ = 0;  // registers once the cycle is over
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
    std::uint16_t status_in_ = 0;
    std::uint32_t erase_size_ = 0;  // of the erase instruction in progress (kSize: the chip)
    std::uint8_t latch_[256];       // PP page buffer
    std::uint8_t latch_index_ = 0;
    std::uint8_t identity_[4] = {0x20, 0x20, 0x15, 0x10};  // RDID, then the factory count
};

}  // namespace sim
