// What tells one simulated part from another: a ChipModel per part, written
// from its datasheet (chip_models.cpp), never from the programs' chip table.
// SpiNor (spi_nor.h) carries out the instructions of whichever model it is
// given; a new part is a new row there, plus any behaviour no model had yet.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace sim {

// Every model holds 16 Mbit, addressed with 3 bytes.
inline constexpr std::uint32_t kChipSize = 2 * 1024 * 1024;
inline constexpr std::size_t kEraseOps = 6;

// Busy times of one part, in virtual nanoseconds.
struct ModelTimes {
    std::uint64_t page_program;
    std::uint64_t erase_4k;
    std::uint64_t erase_32k;
    std::uint64_t erase_64k;
    std::uint64_t chip_erase;
    std::uint64_t write_status;
};

// One erase instruction: its opcode and the aligned bytes it erases around
// the address that follows it; kChipSize erases the chip and takes no
// address. Opcode 0 marks an unused slot.
struct EraseOp {
    std::uint8_t opcode;
    std::uint32_t size;
};

// One part the board can carry. Status bits as one word: register 1 in bits
// 7..0, register 2 (0x35 / 0x31) in bits 15..8.
//
// Protection, for every model: BP2..0 (b4..2) = n protects 2^(n-1) sectors
// of 64 KiB at the top, 6 and 7 the whole chip; TB (b5) counts them from the
// bottom, SEC (b6) in blocks of 4 KiB (at most 8), CMP (b14) protects the
// rest instead. A part without TB, SEC or CMP leaves them out of `stored`,
// so they always read 0 (the M25P16's table is the same formula).
struct ChipModel {
    const char* name;  // as chip= and the status file name it
    bool present;      // false: nothing on the bus, every answer reads as ones

    // Identity.
    std::uint32_t jedec_id;
    std::uint8_t id_fourth;  // the RDID byte after the ID (M25P16: a length, 0x10)
    std::uint8_t res_signature;
    std::uint64_t wake_ns;  // tRES: from RES until the chip hears instructions

    // Erase instructions (an opcode not listed is ignored) and busy times.
    EraseOp erases[kEraseOps];
    ModelTimes typical;
    ModelTimes maximum;

    // Status registers.
    bool second_register;    // register 2: read with 0x35, written with 0x31 or 0x01's 2nd byte
    std::uint16_t stored;    // the bits a status write sets, kept without power
    std::uint16_t one_time;  // of those, bits that once 1 stay 1 (LB)
    std::uint16_t lock;      // SRL: while set, status writes are ignored
    std::uint16_t factory;   // the status bits as shipped

    // Other reads.
    bool sfdp;  // answers 0x5A with a table built from the facts above
    // 0x4B, 4 dummy bytes, then this many bytes of ID (at most 8); 0: no
    // unique ID, 0x4B is ignored.
    std::uint8_t unique_id_bytes;
};

// The models by name (m25p16, w25q16jv, at25sf161b, none); nullptr when unknown.
const ChipModel* find_model(std::string_view name);
const ChipModel& default_model();  // the M25P16

// The opcode of the model's first erase of `size` bytes; 0 when it has none.
std::uint8_t erase_opcode(const ChipModel& model, std::uint32_t size);

}  // namespace sim
