// The burn of the fast path: read the chip, plan, erase and program as
// planned through nor/, read back what changed, verify. The one room that
// turns an image_map into the plan's spans; hexflash calls it beside nor/'s
// operations. The functions print nothing; progress and cancellation go
// through link_progress.
#pragma once

#include <cstdint>

#include "image/image.h"
#include "nor/nor.h"
#include "plan/plan.h"

struct fast_stats {
    std::uint32_t sectors_erased;            // sectors in which anything was erased
    std::uint32_t erases[CHIP_ERASE_TYPES];  // instructions carried out, per erase type
    std::uint32_t sectors_skipped;
    std::uint32_t pages_programmed;
    std::uint32_t pages_skipped;
    double seconds_read;  // driver clock, per phase
    double seconds_erase;
    double seconds_program;
    double seconds_verify;
    std::uint64_t bytes_moved;      // over the SPI bus, both ways
    std::int64_t first_difference;  // -1: none
};

// Reads the chip and decides what to do (PLAN_ERASE_CHIP reads nothing,
// unless keep_rest: the sectors it keeps are written back after the erase).
int fast_plan_burn(nor_chip* chip, const image_map* image, const plan_options* options,
                   plan_burn* plan, fast_stats* stats, const link_progress* progress);
// Erases and programs as planned, then reads back every sector it changed
// and compares it with plan->target: LINK_OK only when all match.
int fast_execute(nor_chip* chip, plan_burn* plan, fast_stats* stats, const link_progress* progress);
// Compares the whole chip with the image (0xFF where the image has no byte).
int fast_verify(nor_chip* chip, const image_map* image, fast_stats* stats,
                const link_progress* progress);
// How long the plan should take on `part` at clock_hz, in nanoseconds, by
// the part's typical times: the cheapest cover (or one chip erase), the
// pages to program, every sector changed read back.
std::uint64_t fast_estimate_ns(const plan_burn* plan, const chip_part& part, bool chip_erase,
                               std::uint32_t clock_hz);
