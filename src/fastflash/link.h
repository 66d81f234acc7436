// The transport's command queue: SPI transactions appended to the link's
// buffer and sent in one USB write, their answers read in one go.
#pragma once

#include <cstdint>

#include "fastflash/fastflash.h"

// The part's typical page program time, for estimates only.
inline std::uint64_t link_typ_page_ns(const fast_link* link) {
    return link->part->page_program_typ_us * 1000ULL;
}

// A page's cost in the plan: the part's typical program time and its clocks.
std::uint64_t link_page_ns(const chip_part& part, std::uint32_t clock_hz);

// Free command bytes in the queue.
std::uint32_t link_room(const fast_link* link);
// One transaction: the instruction, `count` more bytes out, then `answer`
// bytes in (sampled on the rising edge).
void link_transaction(fast_link* link, std::uint8_t instruction, const std::uint8_t* bytes,
                      std::uint32_t count, std::uint32_t answer);
// Instruction with a 24-bit address, then `count` bytes out and `answer` in.
void link_address(fast_link* link, std::uint8_t instruction, std::uint32_t address,
                  const std::uint8_t* bytes, std::uint32_t count, std::uint32_t answer);
// RDSR with one answer byte.
void link_status(fast_link* link);
// RDSR read `samples` times, `gap_ns` of clocks apart, in one transaction:
// the live status over a stretch of time.
void link_status_train(fast_link* link, std::uint32_t samples, std::uint64_t gap_ns);
// SK cycles with the chip deselected: a pause of at least `ns` on the engine.
void link_pause(fast_link* link, std::uint64_t ns);
// Sends the queue with 0x87 behind it (answers at once) and, when answers
// are due, reads exactly that many into `answers` (room for link->answers bytes).
// A write or read that fails or comes up short empties the receive queue
// and gives FAST_ERR_TRANSFER; no answer is ever taken for another.
int link_flush(fast_link* link, std::uint8_t* answers);
// The unit that follows (for retries and the unplugged message): its
// phase and address; clears the last transfer's fault.
void link_unit(fast_link* link, const char* phase, std::uint32_t address);
// After a unit failed: true when it may be done again, the link drained,
// resynchronised and the chip seen idle. False when the failure was not a
// transfer's (a chip that refuses or stays busy), the board is gone, or the
// unit (*attempts) or the run ran out of retries.
bool link_retry(fast_link* link, std::uint32_t* attempts);
// link_retry without the wait: for a failed status poll, which only polls again.
bool link_recover(fast_link* link, std::uint32_t* attempts);
// Polls RDSR until WIP clears or `bound_ms` pass on the driver clock (a
// failed poll is redone after a resync); at least 1 ms between polls, so
// nothing spins. *status gets the
// last status read.
int link_wait_ready(fast_link* link, std::uint64_t bound_ms, std::uint32_t pause_ms,
                    std::uint8_t* status);
// An erase of the part's `type` at address (none for the chip erase): waits
// for the chip, WREN and the instruction, then waits up to the type's bound
// from it. Reports "erase" progress from done to done + share of total, by
// the typical time.
int link_erase(fast_link* link, const chip_erase_type& type, std::uint32_t address,
               const fast_progress* progress, std::uint64_t done, std::uint64_t share,
               std::uint64_t total);
// Reads with FAST_READ, each chunk behind a status read that shows the chip
// idle, into `out` (when not null) and compared with `expect` (when not
// null): FAST_ERR_MISMATCH at the first byte that differs, its address in
// *first_difference. Reports `phase` progress as done_before + bytes read.
int link_read(fast_link* link, std::uint32_t address, std::uint32_t length, std::uint8_t* out,
              const std::uint8_t* expect, std::int64_t* first_difference, const char* phase,
              const fast_progress* progress, std::uint64_t done_before, std::uint64_t total);
// Programs the pages whose bit is set in `todo` (bit p & 7 of todo[p >> 3])
// with their 256 bytes of `target`, clearing each bit once the page was
// seen accepted; pages lost to a busy chip are sent again. `count` bits set.
int link_program(fast_link* link, const std::uint8_t* target, std::uint8_t* todo,
                 std::uint32_t count, fast_stats* stats, const fast_progress* progress);
// True when the caller asked to stop.
bool link_stop(const fast_progress* progress);
void link_report(const fast_progress* progress, const char* phase, std::uint64_t done,
                 std::uint64_t total);
// Milliseconds on the driver clock.
std::uint64_t link_now_ms();
