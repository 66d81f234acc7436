// Planning a burn on spans of bytes: from what the chip must hold, which of
// those bytes the image defines and what the chip holds now, an action per
// 64 KiB sector, the cheapest cover of what needs an erase with the part's
// erase types, and what it all should cost by the part's typical times.
// Knows nothing of USB or images; the costs of moving bytes come from above.
#pragma once

#include <cstdint>
#include <span>

#include "chip/chip.h"

// The plan's arrays hold the largest part; each part uses its own share.
inline constexpr std::uint32_t PLAN_MAX_SECTORS = CHIP_MAX_SIZE / CHIP_SECTOR_SIZE;
inline constexpr std::uint32_t PLAN_MAX_BLOCKS = CHIP_MAX_SIZE / CHIP_BLOCK_SIZE;

enum plan_erase_mode { PLAN_ERASE_AUTO, PLAN_ERASE_CHIP, PLAN_ERASE_NONE };

enum plan_sector_action : std::uint8_t {
    PLAN_SECTOR_SKIP,     // already holds what it must
    PLAN_SECTOR_PROGRAM,  // only 1 bits become 0: program without erasing
    PLAN_SECTOR_ERASE,    // erase, then program what is not 0xFF
};

struct plan_options {
    plan_erase_mode erase;
    bool keep_rest;  // sectors the image does not touch stay as they are
};

// One erase of a plan: the part's erase type `type` at `address`.
struct plan_erase {
    std::uint32_t address;
    std::uint8_t type;  // index into the part's erases
};

// What a burn will do, decided from the image and the chip's first read.
// 4 MiB: static or heap storage, not the stack.
struct plan_burn {
    bool chip_erase;                              // one chip erase instead of block erases
    bool chip_known;                              // chip[] was read (not with --erase chip alone)
    plan_sector_action action[PLAN_MAX_SECTORS];  // per sector: ERASE when any of it is erased
    bool erased[PLAN_MAX_BLOCKS];                 // per 4 KiB block: erased before programming
    std::uint32_t erase_count;
    plan_erase erases[PLAN_MAX_BLOCKS];  // the cheapest cover of what needs an erase
    std::uint8_t target[CHIP_MAX_SIZE];  // what the chip must hold after the burn
    std::uint8_t chip[CHIP_MAX_SIZE];    // what it held at the first read
};

// What moving bytes costs, in nanoseconds (the transport's figures).
struct plan_costs {
    std::uint64_t page_ns;         // one page programmed: the part's typical time and its clocks
    std::uint64_t sector_read_ns;  // one sector read back
};

// True when the image defines any byte of `sector`: bit a & 7 of
// defined[a >> 3] set for some address a in it.
bool plan_sector_touched(std::span<const std::uint8_t> defined, std::uint32_t sector);

// Fills plan->target from `image` (what the chip must hold) or, for a
// sector the image does not touch and keep_rest, from plan->chip; then
// decides each sector's action and, by `options`, one chip erase or the
// cheapest cover (a chip erase only when `status`, both status registers,
// protects no sector). plan->chip and plan->chip_known as read before.
void plan_decide(plan_burn* plan, const chip_part& part, std::span<const std::uint8_t> image,
                 std::span<const std::uint8_t> defined, const plan_options& options,
                 std::uint16_t status, const plan_costs& costs);

// What the plan's choice between the cheapest cover and one chip erase
// weighs for `part`: its erase types and typical times, the pages to program
// and every sector changed read back.
std::uint64_t plan_estimate_ns(const plan_burn* plan, const chip_part& part, bool chip_erase,
                               const plan_costs& costs);

// The pages to program once the plan's erases are done: their bits set in
// `todo` (bit p & 7 of todo[p >> 3], room for the part's pages), their number
// returned.
std::uint32_t plan_pages(const plan_burn* plan, const chip_part& part,
                         std::span<std::uint8_t> todo);
