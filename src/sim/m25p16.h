// A simulated STMicroelectronics M25P16 (16 Mbit SPI NOR flash), faithful at
// the bit level: the host drives S# (chip select) and one clock cycle at a
// time, in SPI mode 0. The same class carries the parts that replace it in
// its footprint (W25Q16JV, AT25SF161B), each a ChipModel written from its
// datasheet, and an empty footprint ("none").
#pragma once

#include <cstdint>
#include <string_view>

#include "sim/clock.h"

namespace sim {

// Busy times of the write-type instructions, in virtual nanoseconds.
struct ChipTiming {
    std::uint64_t page_program_ns;
    std::uint64_t sector_erase_ns;
    std::uint64_t bulk_erase_ns;
    std::uint64_t write_status_ns;

    // Which of the model's own times a chip uses; kGiven: the four above,
    // whatever the model (the M25P16's tests time it so).
    enum class Kind : std::uint8_t { kGiven, kTypical, kMaximum, kZero };
    Kind kind = Kind::kGiven;

    static ChipTiming typical();  // datasheet typical values
    static ChipTiming maximum();  // datasheet maximum values
    static ChipTiming zero();     // over by the next status poll
};

// Busy times of one part, in virtual nanoseconds.
struct ModelTimes {
    std::uint64_t page_program;
    std::uint64_t erase_4k;
    std::uint64_t erase_32k;
    std::uint64_t erase_64k;
    std::uint64_t chip_erase;
    std::uint64_t write_status;
};

// One part the board can carry, from its datasheet. Status bits as one word:
// register 1 in bits 7..0, register 2 (0x35 / 0x31) in bits 15..8.
struct ChipModel {
    const char* name;  // as chip= and the status file name it
    bool present;      // false: nothing on the bus, every answer reads as ones
    std::uint32_t jedec_id;
    std::uint8_t id_fourth;  // the RDID byte after the ID (M25P16: a length, 0x10)
    std::uint8_t res_signature;
    std::uint64_t wake_ns;          // tRES: from RES until the chip hears instructions
    std::uint8_t erase_4k_opcode;   // 0: no such erase
    std::uint8_t erase_32k_opcode;  // 0: no such erase
    bool chip_erase_60;             // 0x60 erases the chip as 0xC7 does
    ModelTimes typical;
    ModelTimes maximum;
    bool second_register;
    std::uint16_t stored;    // the bits a status write sets, kept without power
    std::uint16_t one_time;  // of those, bits that once 1 stay 1 (LB)
    std::uint16_t lock;      // SRL: while set, status writes are ignored
    std::uint16_t factory;   // the status bits as shipped
    bool top_bottom;         // SEC b6, TB b5, CMP b14 (else the M25P16's BP table)
    bool sfdp;
    bool unique_id;  // 0x4B, 4 dummy bytes, 8 bytes of ID
};

// The models by name (m25p16, w25q16jv, at25sf161b, none); nullptr when unknown.
const ChipModel* find_model(std::string_view name);
const ChipModel& default_model();  // the M25P16

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

class M25P16 {
  public:
    static constexpr std::uint32_t kSize = 2 * 1024 * 1024;

    // `memory` holds kSize bytes (the array; the caller owns it, e.g. a
    // mapped file); `clock` is read to end busy cycles.
    M25P16(std::uint8_t* memory, const VirtualClock& clock, ChipTiming timing,
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
    // The part's name, as a status file records it.
    const char* model_name() const { return model_.name; }
    static constexpr const char* kModel = "m25p16";
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
    void after_address();
    void finish_write();
    void start_cycle(std::uint64_t busy_ns, std::uint16_t status_after);
    void settle();
    bool busy() const;
    std::uint8_t read_byte(std::uint32_t address) const;
    std::uint64_t busy_ns(std::uint64_t ModelTimes::*time, std::uint64_t ChipTiming::*given) const;
    bool protected_range(std::uint32_t address, std::uint32_t length) const;
    std::uint8_t sfdp_byte(std::uint32_t address) const;
    bool awake() const;

    std::uint8_t* memory_;
    const VirtualClock& clock_;
    ChipTiming timing_;
    ChipFaults faults_;
    const ChipModel& model_;
    ChipCounters counters_;
    std::uint64_t unique_id_ = 0;
    bool sfdp_off_ = false;
    std::uint64_t wake_at_ns_ = 0;  // RES seen: instructions heard from then on

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
    std::uint32_t erase_size_ = 0;  // of the erase instruction in progress
    std::uint8_t latch_[256];       // PP page buffer
    std::uint8_t latch_index_ = 0;
    std::uint8_t identity_[4] = {0x20, 0x20, 0x15, 0x10};  // RDID, then the factory count
};

}  // namespace sim
