// The parts the simulated board can carry, one row each, from their
// datasheets.
#include "sim/chip_model.h"

namespace sim {
namespace {

constexpr std::uint64_t kMs = 1'000'000;

// Numonyx/Micron M25P16. Figures: the M25P16 datasheets; tRES as ST's
// behavioural model gives it. SRWD b7, BP2..0 b4..2; no second register.
constexpr ChipModel kM25p16 = {
    .name = "m25p16",
    .present = true,
    .jedec_id = 0x202015,
    .id_fourth = 0x10,
    .res_signature = 0x14,
    .wake_ns = 30'000,
    .erases = {{.opcode = 0xD8, .size = 0x10000}, {.opcode = 0xC7, .size = kChipSize}},
    .typical = {.page_program = 640'000,
                .erase_4k = 0,
                .erase_32k = 0,
                .erase_64k = 600 * kMs,
                .chip_erase = 13'000 * kMs,
                .write_status = 1'300'000},
    .maximum = {.page_program = 5 * kMs,
                .erase_4k = 0,
                .erase_32k = 0,
                .erase_64k = 3'000 * kMs,
                .chip_erase = 40'000 * kMs,
                .write_status = 15 * kMs},
    .second_register = false,
    .stored = 0x9C,
    .one_time = 0,
    .lock = 0,
    .factory = 0,
    .sfdp = false,
    .unique_id_bytes = 0,
};

// Winbond W25Q16JV-IQ. Figures: Winbond's W25Q16JV datasheet (tRES1 3 us).
// SRP0 b7, SEC b6, TB b5, BP2..0 b4..2; register 2: SUS b7 (read only),
// CMP b6, LB3..1 b5..3 (one time), QE b1 (set at the factory), SRL b0.
constexpr ChipModel kW25q16jv = {
    .name = "w25q16jv",
    .present = true,
    .jedec_id = 0xEF4015,
    .id_fourth = 0x00,
    .res_signature = 0x14,
    .wake_ns = 3'000,
    .erases = {{.opcode = 0x20, .size = 0x1000},
               {.opcode = 0x52, .size = 0x8000},
               {.opcode = 0xD8, .size = 0x10000},
               {.opcode = 0xC7, .size = kChipSize},
               {.opcode = 0x60, .size = kChipSize}},
    .typical = {.page_program = 400'000,
                .erase_4k = 45 * kMs,
                .erase_32k = 120 * kMs,
                .erase_64k = 150 * kMs,
                .chip_erase = 5'000 * kMs,
                .write_status = 10 * kMs},
    .maximum = {.page_program = 3 * kMs,
                .erase_4k = 400 * kMs,
                .erase_32k = 1'600 * kMs,
                .erase_64k = 2'000 * kMs,
                .chip_erase = 25'000 * kMs,
                .write_status = 15 * kMs},
    .second_register = true,
    .stored = 0x7BFC,
    .one_time = 0x3800,
    .lock = 0x0100,
    .factory = 0x0200,
    .sfdp = true,
    .unique_id_bytes = 8,
};

// Adesto AT25SF161B, the layout of the W25Q16JV's registers (SRP1 in b8).
// Figures: Adesto's AT25SF161B datasheet. It gives no page program time: the
// AT25SF161's 0.7 ms; nor a status write time: the M25P16's 1.3 ms; the
// maxima are the M25P16's (3 s for a block, 40 s for the chip, 5 ms for a
// page, 15 ms for a status write). tRES taken as the M25P16's 30 us.
constexpr ChipModel kAt25sf161b = {
    .name = "at25sf161b",
    .present = true,
    .jedec_id = 0x1F8601,
    .id_fourth = 0x00,
    .res_signature = 0x14,
    .wake_ns = 30'000,
    .erases = {{.opcode = 0x20, .size = 0x1000},
               {.opcode = 0x52, .size = 0x8000},
               {.opcode = 0xD8, .size = 0x10000},
               {.opcode = 0xC7, .size = kChipSize},
               {.opcode = 0x60, .size = kChipSize}},
    .typical = {.page_program = 700'000,
                .erase_4k = 60 * kMs,
                .erase_32k = 150 * kMs,
                .erase_64k = 250 * kMs,
                .chip_erase = 7'000 * kMs,
                .write_status = 1'300'000},
    .maximum = {.page_program = 5 * kMs,
                .erase_4k = 3'000 * kMs,
                .erase_32k = 3'000 * kMs,
                .erase_64k = 3'000 * kMs,
                .chip_erase = 40'000 * kMs,
                .write_status = 15 * kMs},
    .second_register = true,
    .stored = 0x7BFC,
    .one_time = 0x3800,
    .lock = 0x0100,
    .factory = 0x0000,
    .sfdp = true,
    .unique_id_bytes = 8,
};

// An empty footprint: nothing drives Q, every answer reads as ones.
constexpr ChipModel kNone = {
    .name = "none",
    .present = false,
    .jedec_id = 0xFFFFFF,
    .id_fourth = 0xFF,
    .res_signature = 0xFF,
    .wake_ns = 0,
    .erases = {},
    .typical = {},
    .maximum = {},
    .second_register = false,
    .stored = 0,
    .one_time = 0,
    .lock = 0,
    .factory = 0,
    .sfdp = false,
    .unique_id_bytes = 0,
};

constexpr const ChipModel* kModels[] = {&kM25p16, &kW25q16jv, &kAt25sf161b, &kNone};

}  // namespace

const ChipModel* find_model(std::string_view name) {
    for (const ChipModel* model : kModels) {
        if (name == model->name) {
            return model;
        }
    }
    return nullptr;
}

const ChipModel& default_model() {
    return kM25p16;
}

std::uint8_t erase_opcode(const ChipModel& model, std::uint32_t size) {
    for (const EraseOp& op : model.erases) {
        if (op.opcode != 0 && op.size == size) {
            return op.opcode;
        }
    }
    return 0;
}

}  // namespace sim
