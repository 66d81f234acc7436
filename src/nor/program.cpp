// Page programming in batches: per page WREN, RDSR, PP and a pause of the
// chip's page program time, many pages per USB write, one answer byte per
// page. While the chip is busy it obeys only RDSR, so a WREN that comes too
// early is lost and the PP behind it with it. The status read between the
// two tells which: WEL set and WIP clear means the PP acts (nothing else
// can start or end a cycle before it); anything else means it was ignored,
// and the page is sent again. The result never depends on the pause.
#include <cstring>
#include <vector>

#include "nor/nor.h"

namespace {

constexpr std::uint32_t BATCH_PAGES = 32;
// A write holds no more than this much engine time, far inside the write
// time-out at any clock.
constexpr std::uint64_t BATCH_NS = 500000000;
// The first batch (and the first after a page was lost) measures the page
// program time: a status read every few microseconds after its first PP,
// for longer than the slowest page program maximum of the table (5 ms).
constexpr std::uint64_t TRAIN_GAP_NS = 5000;
constexpr std::uint64_t TRAIN_SPAN_NS = 6000000;
constexpr std::uint32_t TRAIN_MAX_SAMPLES =
    static_cast<std::uint32_t>(TRAIN_SPAN_NS / TRAIN_GAP_NS);
// Byte sizes of one page's commands (WREN, RDSR, PP with its data, the
// pause) and of the train, for the room check.
constexpr std::uint32_t page_command_bytes(std::uint32_t page_size) {
    return 12 + 15 + 15 + page_size + 12;
}
constexpr std::uint32_t TRAIN_COMMAND_BYTES = 20 + TRAIN_MAX_SAMPLES * 9;

bool is_set(const std::uint8_t* bits, std::uint32_t index) {
    return ((bits[index >> 3] >> (index & 7)) & 1) != 0;
}

void clear(std::uint8_t* bits, std::uint32_t index) {
    bits[index >> 3] = static_cast<std::uint8_t>(bits[index >> 3] & ~(1U << (index & 7)));
}

// Clocks from one status sample of the train to the next.
std::uint64_t sample_step(const nor_chip* chip) {
    const std::uint64_t gap_clocks = link_ns_clocks(TRAIN_GAP_NS, chip->clock_hz);
    return (gap_clocks + 7) / 8 * 8 + 8;
}

// Samples covering the train's span at the link's clock.
std::uint32_t train_samples(const nor_chip* chip) {
    const std::uint64_t span_clocks = TRAIN_SPAN_NS * chip->clock_hz / LINK_NS_PER_S;
    const std::uint64_t samples = span_clocks / sample_step(chip) + 1;
    return samples < TRAIN_MAX_SAMPLES ? static_cast<std::uint32_t>(samples) : TRAIN_MAX_SAMPLES;
}

// Nanoseconds from the S# rise of a PP to the status sample `index` of the
// train behind it (the sample shows the status as that byte starts).
std::uint64_t sample_ns(const nor_chip* chip, std::uint32_t index) {
    const std::uint64_t clocks = LINK_DESELECT_CLOCKS + 8 + index * sample_step(chip);
    return link_clocks_ns(clocks, chip->clock_hz);
}

// Pages of one write: as many as take BATCH_NS of engine time, 1 to 32.
std::uint32_t batch_pages(const nor_chip* chip, std::uint64_t pause_ns) {
    const std::uint64_t page_ns =
        link_clocks_ns(nor_page_clocks(chip->part->page_size), chip->clock_hz) + pause_ns;
    const std::uint64_t pages = BATCH_NS / page_ns;
    return pages < 1 ? 1 : pages > BATCH_PAGES ? BATCH_PAGES : static_cast<std::uint32_t>(pages);
}

// One batch as queued: its pages, and where the train's answers are.
struct Batch {
    std::uint32_t pages[BATCH_PAGES];
    std::uint32_t used;      // pages queued
    std::uint32_t samples;   // of the train
    std::uint32_t train_at;  // answer index of the first sample; 0: no train
};

// Queues the next pages still to do, from the cursor on, once round, as many
// as fit the batch's time and the queue's room; a train behind the first
// when `measure`; the last status read behind them all.
void queue_batch(nor_chip* chip, const std::uint8_t* target, const std::uint8_t* todo,
                 std::uint32_t cursor, bool measure, Batch* batch) {
    const chip_part& part = *chip->part;
    const std::uint32_t pages = part.size / part.page_size;
    const std::uint64_t pause =
        chip->program_ns != 0 ? chip->program_ns : part.page_program_typ_us * 1000ULL;
    batch->samples = train_samples(chip);
    const std::uint32_t most = batch_pages(chip, pause);
    std::uint32_t n = 0;
    for (std::uint32_t step = 0; step < pages && n < most; ++step) {
        std::uint32_t page = (cursor + step) % pages;
        if (is_set(todo, page)) {
            batch->pages[n++] = page;
        }
    }
    batch->train_at = 0;
    batch->used = 0;
    std::uint32_t answers = 0;
    for (std::uint32_t i = 0; i < n; ++i) {
        const bool train = measure && i == 0;
        if (link_room(chip) <
            page_command_bytes(part.page_size) + (train ? TRAIN_COMMAND_BYTES : 0) + 32) {
            break;
        }
        const std::uint32_t address = batch->pages[i] * part.page_size;
        link_transaction(chip, CHIP_INS_WREN, nullptr, 0, 0);
        nor_queue_status(chip);
        ++answers;
        link_address(chip, CHIP_INS_PP, address, target + address, part.page_size, 0);
        if (train) {
            link_sample_train(chip, CHIP_INS_RDSR, batch->samples, TRAIN_GAP_NS);
            batch->train_at = answers;
            answers += batch->samples;
        } else {
            link_pause(chip, pause);
        }
        ++batch->used;
    }
    nor_queue_status(chip);  // is the last page over?
}

// After a batch was lost in a failed transfer: each of its pages that reads
// back as it should counts as programmed; the others stay to be sent again
// (programming a page over itself changes nothing, and the sector is read
// back at the end anyway).
int settle_batch(nor_chip* chip, const std::uint8_t* target, std::uint8_t* todo, const Batch& batch,
                 std::uint32_t* count, std::uint32_t* programmed) {
    const std::uint32_t page_size = chip->part->page_size;
    std::vector<std::uint8_t> page(page_size);
    for (std::uint32_t i = 0; i < batch.used; ++i) {
        if (!is_set(todo, batch.pages[i])) {
            continue;
        }
        const std::uint32_t address = batch.pages[i] * page_size;
        const int result = nor_read_span(chip, address, page_size, page.data(), nullptr, nullptr,
                                         "program", nullptr, 0, 0);
        if (result != LINK_OK) {
            return result;
        }
        if (std::memcmp(page.data(), target + address, page_size) == 0) {
            clear(todo, batch.pages[i]);
            --*count;
            ++*programmed;
        }
    }
    return LINK_OK;
}

// The first train sample with WIP clear bounds the program time; the chip's
// measure only ever grows.
void measure_program_time(nor_chip* chip, const std::uint8_t* samples, std::uint32_t count) {
    std::uint64_t measured = TRAIN_SPAN_NS;
    for (std::uint32_t k = 0; k < count; ++k) {
        if ((samples[k] & CHIP_SR_WIP) == 0) {
            measured = sample_ns(chip, k);
            break;
        }
    }
    measured += measured / 200 + 2000;  // a margin for page-to-page spread
    if (measured > chip->program_ns) {
        chip->program_ns = static_cast<std::uint32_t>(measured);
    }
}

// What a batch's answers say.
struct Taken {
    bool took;             // a page was accepted
    bool lost;             // a page was ignored: to be sent again
    bool measured;         // the train measured the program time
    std::uint32_t status;  // answer index of the status read behind the batch
};

// Clears and counts every page whose PP acted; measures from the train.
Taken take_answers(nor_chip* chip, const Batch& batch, std::uint8_t* todo, std::uint32_t* count,
                   std::uint32_t* programmed) {
    const std::uint8_t* answer = chip->in;
    Taken taken = {false, false, false, 0};
    std::uint32_t index = 0;
    for (std::uint32_t i = 0; i < batch.used; ++i) {
        const bool acts = (answer[index] & (CHIP_SR_WEL | CHIP_SR_WIP)) == CHIP_SR_WEL;
        if (acts) {
            taken.took = true;
            clear(todo, batch.pages[i]);
            --*count;
            ++*programmed;
        } else {
            taken.lost = true;
        }
        ++index;
        if (batch.train_at != 0 && i == 0) {
            if (acts) {
                measure_program_time(chip, answer + batch.train_at, batch.samples);
                taken.measured = true;
            }
            index += batch.samples;
        }
    }
    taken.status = index;
    return taken;
}

}  // namespace

int nor_program(nor_chip* chip, const std::uint8_t* target, std::uint8_t* todo, std::uint32_t count,
                std::uint32_t* programmed, const link_progress* progress) {
    const std::uint32_t page_size = chip->part->page_size;
    const std::uint32_t pages = chip->part->size / page_size;
    const std::uint32_t total = count;
    std::uint32_t cursor = 0;
    bool measure = chip->program_ns == 0;
    std::uint32_t attempts = 0;
    std::uint64_t progressed = link_now_ms();
    Batch batch{};
    while (count > 0) {
        // A chip that takes no page at all (never shows WEL) is given up on
        // as one that stays busy would be.
        if (link_now_ms() - progressed >= CHIP_WAIT_MS) {
            return LINK_ERR_TRANSFER;
        }
        if (link_stop(progress)) {
            return LINK_ERR_INTERRUPTED;  // every cycle has ended: each batch waits for the last
        }
        queue_batch(chip, target, todo, cursor, measure, &batch);
        link_unit(chip, "program", batch.pages[0] * page_size);
        int result = link_flush(chip, chip->in);
        if (result != LINK_OK) {
            if (!nor_retry(chip, &attempts)) {
                return result;
            }
            result = settle_batch(chip, target, todo, batch, &count, programmed);
            if (result != LINK_OK) {
                return result;
            }
            progressed = link_now_ms();
            continue;
        }
        attempts = 0;
        const Taken taken = take_answers(chip, batch, todo, &count, programmed);
        if (taken.took) {
            progressed = link_now_ms();
        }
        if (taken.measured) {
            measure = false;
        }
        if (taken.lost) {
            measure = true;  // measure again: this chip is slower than thought
        }
        if ((chip->in[taken.status] & CHIP_SR_WIP) != 0) {
            std::uint8_t status = 0;
            result = nor_wait_ready(chip, CHIP_WAIT_MS, 1, &status);
            if (result != LINK_OK) {
                return result;
            }
        }
        cursor = (batch.pages[batch.used - 1] + 1) % pages;
        link_report(progress, "program", std::uint64_t{total - count} * page_size,
                    std::uint64_t{total} * page_size);
    }
    return LINK_OK;
}
