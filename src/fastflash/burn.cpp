// The burn: the chip read once, the plan made from it and the image, the
// plan carried out through nor/, and everything changed read back.
#include <cstring>
#include <span>
#include <vector>

#include "fastflash/fastflash.h"
#include "link/link.h"

namespace {

// The plan takes as much of the image as the part holds.
static_assert(IMAGE_CHIP_SIZE >= CHIP_MAX_SIZE, "an image covers the largest part");

double seconds_since(std::uint64_t start_ms) {
    return static_cast<double>(link_now_ms() - start_ms) / 1000.0;
}

std::uint32_t sectors_of(const chip_part& part) {
    return part.size / CHIP_SECTOR_SIZE;
}

// What moving bytes costs the link at clock_hz.
plan_costs costs_at(const chip_part& part, std::uint32_t clock_hz) {
    return {nor_page_ns(part, clock_hz),
            link_clocks_ns(std::uint64_t{CHIP_SECTOR_SIZE} * 8, clock_hz)};
}

int erase_as_planned(nor_chip* chip, const plan_burn* plan, fast_stats* stats,
                     const link_progress* progress) {
    const chip_part& part = *chip->part;
    if (plan->chip_erase) {
        const int result = nor_chip_erase(chip, progress);
        stats->sectors_erased = result == LINK_OK ? sectors_of(part) : 0;
        const chip_erase_type* whole = chip_whole_erase(part);
        stats->erases[whole - part.erases] += result == LINK_OK ? 1 : 0;
        return result;
    }
    std::uint64_t total = 0;
    for (std::uint32_t i = 0; i < plan->erase_count; ++i) {
        total += part.erases[plan->erases[i].type].size;
    }
    int result = LINK_OK;
    std::uint64_t done = 0;
    for (std::uint32_t i = 0; i < plan->erase_count && result == LINK_OK; ++i) {
        if (link_stop(progress)) {
            result = LINK_ERR_INTERRUPTED;
            break;
        }
        const chip_erase_type& type = part.erases[plan->erases[i].type];
        result = nor_erase(chip, type, plan->erases[i].address, progress, done, type.size, total);
        done += type.size;
        stats->erases[plan->erases[i].type] += result == LINK_OK ? 1 : 0;
    }
    for (std::uint32_t sector = 0; sector < sectors_of(part); ++sector) {
        const bool erased = plan->action[sector] == PLAN_SECTOR_ERASE;
        stats->sectors_erased += result == LINK_OK && erased ? 1 : 0;
    }
    return result;
}

int program_as_planned(nor_chip* chip, const plan_burn* plan, fast_stats* stats,
                       const link_progress* progress) {
    const chip_part& part = *chip->part;
    const std::uint32_t pages = part.size / part.page_size;
    std::vector<std::uint8_t> todo((pages + 7) / 8);
    const std::uint32_t count = plan_pages(plan, part, todo);
    stats->pages_skipped = pages - count;
    return nor_program(chip, plan->target, todo.data(), count, &stats->pages_programmed, progress);
}

// Every sector erased or programmed is read back; the others were compared
// in the first read.
int read_back(nor_chip* chip, const plan_burn* plan, fast_stats* stats,
              const link_progress* progress) {
    const std::uint32_t sectors = sectors_of(*chip->part);
    std::uint64_t total = 0;
    for (std::uint32_t sector = 0; sector < sectors; ++sector) {
        total += plan->action[sector] != PLAN_SECTOR_SKIP ? CHIP_SECTOR_SIZE : 0;
    }
    int result = LINK_OK;
    std::uint64_t done = 0;
    for (std::uint32_t sector = 0; sector < sectors && result == LINK_OK; ++sector) {
        if (plan->action[sector] == PLAN_SECTOR_SKIP) {
            continue;
        }
        if (link_stop(progress)) {
            result = LINK_ERR_INTERRUPTED;
            break;
        }
        const std::uint32_t base = sector * CHIP_SECTOR_SIZE;
        result = nor_read_span(chip, base, CHIP_SECTOR_SIZE, nullptr, plan->target + base,
                               &stats->first_difference, "verify", progress, done, total);
        done += CHIP_SECTOR_SIZE;
    }
    return result;
}

}  // namespace

std::uint64_t fast_estimate_ns(const plan_burn* plan, const chip_part& part, bool chip_erase,
                               std::uint32_t clock_hz) {
    return plan_estimate_ns(plan, part, chip_erase, costs_at(part, clock_hz));
}

int fast_plan_burn(nor_chip* chip, const image_map* image, const plan_options* options,
                   plan_burn* plan, fast_stats* stats, const link_progress* progress) {
    *stats = fast_stats{};
    stats->first_difference = -1;
    const std::uint64_t spi_before = chip->spi_bytes;
    const chip_part& part = *chip->part;
    plan->chip_known = options->erase != PLAN_ERASE_CHIP || options->keep_rest;
    std::uint16_t status = 0;
    int result = nor_read_status_word(chip, &status);
    if (result != LINK_OK) {
        return result;
    }
    const std::uint64_t start = link_now_ms();
    if (plan->chip_known) {
        result = nor_read_span(chip, 0, part.size, plan->chip, nullptr, nullptr, "read", progress,
                               0, part.size);
        stats->seconds_read = seconds_since(start);
        if (result != LINK_OK) {
            return result;
        }
    }
    plan_decide(plan, part, image->bytes, image->defined, *options, status,
                costs_at(part, chip->clock_hz));
    for (std::uint32_t sector = 0; sector < sectors_of(part); ++sector) {
        stats->sectors_skipped += plan->action[sector] == PLAN_SECTOR_SKIP ? 1 : 0;
    }
    stats->bytes_moved = chip->spi_bytes - spi_before;
    return LINK_OK;
}

int fast_execute(nor_chip* chip, plan_burn* plan, fast_stats* stats,
                 const link_progress* progress) {
    const std::uint64_t spi_before = chip->spi_bytes;
    std::uint64_t start = link_now_ms();
    int result = erase_as_planned(chip, plan, stats, progress);
    stats->seconds_erase = seconds_since(start);
    if (result == LINK_OK && link_stop(progress)) {
        result = LINK_ERR_INTERRUPTED;
    }
    if (result == LINK_OK) {
        start = link_now_ms();
        result = program_as_planned(chip, plan, stats, progress);
        stats->seconds_program = seconds_since(start);
    }
    if (result == LINK_OK && link_stop(progress)) {
        result = LINK_ERR_INTERRUPTED;
    }
    if (result == LINK_OK) {
        start = link_now_ms();
        result = read_back(chip, plan, stats, progress);
        stats->seconds_verify = seconds_since(start);
    }
    stats->bytes_moved += chip->spi_bytes - spi_before;
    return result;
}

int fast_verify(nor_chip* chip, const image_map* image, fast_stats* stats,
                const link_progress* progress) {
    const std::uint64_t spi_before = chip->spi_bytes;
    const std::uint64_t start = link_now_ms();
    const std::uint32_t size = chip->part->size;
    stats->first_difference = -1;
    int result = nor_read_span(chip, 0, size, nullptr, image->bytes, &stats->first_difference,
                               "verify", progress, 0, size);
    stats->seconds_verify = seconds_since(start);
    stats->bytes_moved += chip->spi_bytes - spi_before;
    return result;
}
