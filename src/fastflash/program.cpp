// Page programming in batches: per page WREN, RDSR, PP and a pause of the
// chip's page program time, many pages per USB write, one answer byte per
// page. While the chip is busy it obeys only RDSR, so a WREN that comes too
// early is lost and the PP behind it with it. The status read between the
// two tells which: WEL set and WIP clear means the PP acts (nothing else
// can start or end a cycle before it); anything else means it was ignored,
// and the page is sent again. The result never depends on the pause.
#include <cstring>

#include "fastflash/link.h"

namespace {

constexpr std::uint32_t BATCH_PAGES = 32;
// A write holds no more than this much engine time, far inside the write
// time-out at any clock.
constexpr std::uint64_t BATCH_NS = 500000000;
// The first batch (and the first after a page was lost) measures the page
// program time: a status read every few microseconds after its first PP,
// for longer than the datasheet's 5 ms maximum.
constexpr std::uint64_t TRAIN_GAP_NS = 5000;
constexpr std::uint64_t TRAIN_SPAN_NS = 6000000;
constexpr std::uint32_t TRAIN_MAX_SAMPLES =
    static_cast<std::uint32_t>(TRAIN_SPAN_NS / TRAIN_GAP_NS);
// SPI clocks of one page's WREN, RDSR and PP with their gaps.
constexpr std::uint64_t PAGE_CLOCKS = (1 + 2 + 4 + FAST_PAGE_SIZE) * 8 + 3 * 3;
// Byte sizes of one page's commands and of the train, for the room check.
constexpr std::uint32_t PAGE_COMMAND_BYTES = 12 + 15 + 15 + FAST_PAGE_SIZE + 12;
constexpr std::uint32_t TRAIN_COMMAND_BYTES = 20 + TRAIN_MAX_SAMPLES * 9;

bool is_set(const std::uint8_t* bits, std::uint32_t index) {
    return ((bits[index >> 3] >> (index & 7)) & 1) != 0;
}

void clear(std::uint8_t* bits, std::uint32_t index) {
    bits[index >> 3] = static_cast<std::uint8_t>(bits[index >> 3] & ~(1U << (index & 7)));
}

// Clocks from one status sample of the train to the next.
std::uint64_t sample_step(const fast_link* link) {
    const std::uint64_t gap_clocks = (TRAIN_GAP_NS * link->clock_hz + 999999999) / 1000000000;
    return (gap_clocks + 7) / 8 * 8 + 8;
}

// Samples covering the train's span at the link's clock.
std::uint32_t train_samples(const fast_link* link) {
    const std::uint64_t span_clocks = TRAIN_SPAN_NS * link->clock_hz / 1000000000;
    const std::uint64_t samples = span_clocks / sample_step(link) + 1;
    return samples < TRAIN_MAX_SAMPLES ? static_cast<std::uint32_t>(samples) : TRAIN_MAX_SAMPLES;
}

// Nanoseconds from the S# rise of a PP to the status sample `index` of the
// train behind it (the sample shows the status as that byte starts).
std::uint64_t sample_ns(const fast_link* link, std::uint32_t index) {
    const std::uint64_t clocks = 3 + 8 + index * sample_step(link);
    return clocks * 1000000000 / link->clock_hz;
}

// Pages of one write: as many as take BATCH_NS of engine time, 1 to 32.
std::uint32_t batch_pages(const fast_link* link, std::uint64_t pause_ns) {
    const std::uint64_t page_ns = PAGE_CLOCKS * 1000000000 / link->clock_hz + pause_ns;
    const std::uint64_t pages = BATCH_NS / page_ns;
    return pages < 1 ? 1 : pages > BATCH_PAGES ? BATCH_PAGES : static_cast<std::uint32_t>(pages);
}

// After a batch was lost in a failed transfer: each of its pages that reads
// back as it should counts as programmed; the others stay to be sent again
// (programming a page over itself changes nothing, and the sector is read
// back at the end anyway).
int settle_batch(fast_link* link, const std::uint8_t* target, std::uint8_t* todo,
                 const std::uint32_t* pages, std::uint32_t used, std::uint32_t* count,
                 fast_stats* stats) {
    std::uint8_t page[FAST_PAGE_SIZE];
    for (std::uint32_t i = 0; i < used; ++i) {
        if (!is_set(todo, pages[i])) {
            continue;
        }
        const std::uint32_t address = pages[i] * FAST_PAGE_SIZE;
        const int result = link_read(link, address, FAST_PAGE_SIZE, page, nullptr, nullptr,
                                     "program", nullptr, 0, 0);
        if (result != FAST_OK) {
            return result;
        }
        if (std::memcmp(page, target + address, FAST_PAGE_SIZE) == 0) {
            clear(todo, pages[i]);
            --*count;
            ++stats->pages_programmed;
        }
    }
    return FAST_OK;
}

}  // namespace

int link_program(fast_link* link, const std::uint8_t* target, std::uint8_t* todo,
                 std::uint32_t count, fast_stats* stats, const fast_progress* progress) {
    const std::uint32_t total = count;
    std::uint32_t cursor = 0;
    bool measure = link->program_ns == 0;
    std::uint32_t pages[BATCH_PAGES];
    std::uint32_t attempts = 0;
    std::uint64_t progressed = link_now_ms();
    while (count > 0) {
        // A chip that takes no page at all (never shows WEL) is given up on
        // as one that stays busy would be.
        if (link_now_ms() - progressed >= FAST_STATUS_WAIT_MS) {
            return FAST_ERR_TRANSFER;
        }
        if (link_stop(progress)) {
            return FAST_ERR_INTERRUPTED;  // every cycle has ended: each batch waits for the last
        }
        const std::uint64_t pause =
            link->program_ns != 0 ? link->program_ns : link_typ_page_ns(link);
        const std::uint32_t samples = train_samples(link);
        // The next pages still to do, from the cursor on, once round.
        const std::uint32_t most = batch_pages(link, pause);
        std::uint32_t n = 0;
        for (std::uint32_t step = 0; step < FAST_PAGES && n < most; ++step) {
            std::uint32_t page = (cursor + step) % FAST_PAGES;
            if (is_set(todo, page)) {
                pages[n++] = page;
            }
        }
        std::uint32_t train_at = 0;  // answer index of the first sample; 0: no train
        std::uint32_t answers = 0;
        std::uint32_t used = 0;
        for (std::uint32_t i = 0; i < n; ++i) {
            const bool train = measure && i == 0;
            if (link_room(link) < PAGE_COMMAND_BYTES + (train ? TRAIN_COMMAND_BYTES : 0) + 32) {
                break;
            }
            const std::uint32_t address = pages[i] * FAST_PAGE_SIZE;
            link_transaction(link, CHIP_INS_WREN, nullptr, 0, 0);
            link_status(link);
            ++answers;
            link_address(link, CHIP_INS_PP, address, target + address, FAST_PAGE_SIZE, 0);
            if (train) {
                link_status_train(link, samples, TRAIN_GAP_NS);
                train_at = answers;
                answers += samples;
            } else {
                link_pause(link, pause);
            }
            ++used;
        }
        link_status(link);  // is the last page over?
        ++answers;
        link_unit(link, "program", pages[0] * FAST_PAGE_SIZE);
        int result = link_flush(link, link->in);
        if (result != FAST_OK) {
            if (!link_retry(link, &attempts)) {
                return result;
            }
            result = settle_batch(link, target, todo, pages, used, &count, stats);
            if (result != FAST_OK) {
                return result;
            }
            progressed = link_now_ms();
            continue;
        }
        attempts = 0;
        const std::uint8_t* answer = link->in;
        bool lost = false;
        bool took = false;
        std::uint32_t index = 0;
        for (std::uint32_t i = 0; i < used; ++i) {
            const bool acts = (answer[index] & (CHIP_SR_WEL | CHIP_SR_WIP)) == CHIP_SR_WEL;
            if (acts) {
                took = true;
                clear(todo, pages[i]);
                --count;
                ++stats->pages_programmed;
            } else {
                lost = true;
            }
            ++index;
            if (train_at != 0 && i == 0) {
                if (acts) {
                    // The first sample with WIP clear bounds the program time.
                    std::uint64_t measured = TRAIN_SPAN_NS;
                    for (std::uint32_t k = 0; k < samples; ++k) {
                        if ((answer[train_at + k] & CHIP_SR_WIP) == 0) {
                            measured = sample_ns(link, k);
                            break;
                        }
                    }
                    measured += measured / 200 + 2000;  // a margin for page-to-page spread
                    if (measured > link->program_ns) {
                        link->program_ns = static_cast<std::uint32_t>(measured);
                    }
                    measure = false;
                }
                index += samples;
            }
        }
        if (took) {
            progressed = link_now_ms();
        }
        if (lost) {
            measure = true;  // measure again: this chip is slower than thought
        }
        if ((answer[index] & CHIP_SR_WIP) != 0) {
            std::uint8_t status = 0;
            result = link_wait_ready(link, FAST_STATUS_WAIT_MS, 1, &status);
            if (result != FAST_OK) {
                return result;
            }
        }
        cursor = (pages[used - 1] + 1) % FAST_PAGES;
        link_report(progress, "program", std::uint64_t{total - count} * FAST_PAGE_SIZE,
                    std::uint64_t{total} * FAST_PAGE_SIZE);
    }
    return FAST_OK;
}
