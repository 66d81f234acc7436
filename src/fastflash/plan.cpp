// The burn: what each sector needs, decided from the image and one read of
// the chip, then done by the cheapest path and read back.
#include <cstring>

#include "fastflash/link.h"

namespace {

constexpr std::uint32_t PAGES_PER_SECTOR = FAST_SECTOR_SIZE / FAST_PAGE_SIZE;
constexpr std::uint64_t NS_PER_S = 1000000000;
// SPI clocks a page costs besides the chip's own time (PP, WREN, RDSR).
constexpr std::uint64_t PAGE_CLOCKS = (FAST_PAGE_SIZE + 4 + 1 + 2) * 8 + 9;

bool touched(const image_map* image, std::uint32_t sector) {
    const std::uint8_t* bits = image->defined + sector * (FAST_SECTOR_SIZE / 8);
    for (std::uint32_t i = 0; i < FAST_SECTOR_SIZE / 8; ++i) {
        if (bits[i] != 0) {
            return true;
        }
    }
    return false;
}

bool blank(const std::uint8_t* bytes, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) {
        if (bytes[i] != 0xFF) {
            return false;
        }
    }
    return true;
}

// True when programming `target` over `chip` only turns 1 bits into 0.
bool only_clears(const std::uint8_t* chip, const std::uint8_t* target, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) {
        if ((chip[i] & target[i]) != target[i]) {
            return false;
        }
    }
    return true;
}

// True when programming `target` over `chip` would clear any bit.
bool clears_any(const std::uint8_t* chip, const std::uint8_t* target, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) {
        if ((chip[i] & target[i]) != chip[i]) {
            return true;
        }
    }
    return false;
}

// Does `page` need a PP, its sector erased (or not)?
bool page_needed(const fast_plan* plan, std::uint32_t page, bool erased) {
    const std::uint32_t at = page * FAST_PAGE_SIZE;
    if (erased) {
        return !blank(plan->target + at, FAST_PAGE_SIZE);
    }
    return clears_any(plan->chip + at, plan->target + at, FAST_PAGE_SIZE);
}

double seconds_since(std::uint64_t start_ms) {
    return static_cast<double>(link_now_ms() - start_ms) / 1000.0;
}

}  // namespace

std::uint64_t fast_estimate_ns(const fast_plan* plan, bool chip_erase, std::uint32_t clock_hz) {
    const std::uint64_t page_ns = FAST_TYP_PAGE_NS + PAGE_CLOCKS * NS_PER_S / clock_hz;
    const std::uint64_t read_ns = std::uint64_t{FAST_SECTOR_SIZE} * 8 * NS_PER_S / clock_hz;
    std::uint64_t total = chip_erase ? FAST_TYP_CHIP_NS : 0;
    for (std::uint32_t sector = 0; sector < FAST_SECTORS; ++sector) {
        const fast_sector_action action = chip_erase ? FAST_SECTOR_ERASE : plan->action[sector];
        if (action == FAST_SECTOR_SKIP) {
            continue;
        }
        if (!chip_erase && action == FAST_SECTOR_ERASE) {
            total += FAST_TYP_SECTOR_NS;
        }
        for (std::uint32_t i = 0; i < PAGES_PER_SECTOR; ++i) {
            if (page_needed(plan, sector * PAGES_PER_SECTOR + i, action == FAST_SECTOR_ERASE)) {
                total += page_ns;
            }
        }
        total += read_ns;  // read back afterwards
    }
    return total;
}

int fast_plan_burn(fast_link* link, const image_map* image, const fast_options* options,
                   fast_plan* plan, fast_stats* stats, const fast_progress* progress) {
    *stats = fast_stats{};
    stats->first_difference = -1;
    const std::uint64_t spi_before = link->spi_bytes;
    plan->chip_erase = options->erase == FAST_ERASE_CHIP;
    plan->chip_known = options->erase != FAST_ERASE_CHIP || options->keep_rest;
    int result = fast_read_status(link, &plan->status);
    if (result != FAST_OK) {
        return result;
    }
    const std::uint64_t start = link_now_ms();
    if (plan->chip_known) {
        result = link_read(link, 0, FAST_CHIP_SIZE, plan->chip, nullptr, nullptr, "read", progress,
                           0, FAST_CHIP_SIZE);
        stats->seconds_read = seconds_since(start);
        if (result != FAST_OK) {
            return result;
        }
    }
    for (std::uint32_t sector = 0; sector < FAST_SECTORS; ++sector) {
        const std::uint32_t base = sector * FAST_SECTOR_SIZE;
        const bool keep = options->keep_rest && !touched(image, sector);
        std::memcpy(plan->target + base, keep ? plan->chip + base : image->bytes + base,
                    FAST_SECTOR_SIZE);
        const std::uint8_t* chip = plan->chip + base;
        const std::uint8_t* target = plan->target + base;
        fast_sector_action action = FAST_SECTOR_ERASE;
        if (plan->chip_erase) {
            action = FAST_SECTOR_ERASE;
        } else if (std::memcmp(chip, target, FAST_SECTOR_SIZE) == 0) {
            action = FAST_SECTOR_SKIP;
        } else if (options->erase == FAST_ERASE_NONE ||
                   only_clears(chip, target, FAST_SECTOR_SIZE)) {
            action = FAST_SECTOR_PROGRAM;
        }
        plan->action[sector] = action;
    }
    // One bulk erase when it is faster for the sectors at hand; never on a
    // protected chip, which would ignore it.
    if (options->erase == FAST_ERASE_AUTO && (plan->status & CHIP_M25P16.sr_bp_mask) == 0 &&
        fast_estimate_ns(plan, true, link->clock_hz) <
            fast_estimate_ns(plan, false, link->clock_hz)) {
        plan->chip_erase = true;
    }
    for (std::uint32_t sector = 0; sector < FAST_SECTORS; ++sector) {
        if (plan->chip_erase) {
            plan->action[sector] = FAST_SECTOR_ERASE;
        }
        stats->sectors_skipped += plan->action[sector] == FAST_SECTOR_SKIP ? 1 : 0;
    }
    stats->bytes_moved = link->spi_bytes - spi_before;
    return FAST_OK;
}

int fast_execute(fast_link* link, fast_plan* plan, fast_stats* stats,
                 const fast_progress* progress) {
    const std::uint64_t spi_before = link->spi_bytes;
    std::uint64_t start = link_now_ms();
    int result = FAST_OK;
    if (plan->chip_erase) {
        result = fast_chip_erase(link, progress);
        stats->sectors_erased = result == FAST_OK ? FAST_SECTORS : 0;
    } else {
        std::uint32_t erases = 0;
        for (fast_sector_action action : plan->action) {
            erases += action == FAST_SECTOR_ERASE ? 1 : 0;
        }
        const std::uint64_t total = std::uint64_t{erases} * FAST_SECTOR_SIZE;
        for (std::uint32_t sector = 0; sector < FAST_SECTORS && result == FAST_OK; ++sector) {
            if (plan->action[sector] != FAST_SECTOR_ERASE) {
                continue;
            }
            if (link_stop(progress)) {
                result = FAST_ERR_INTERRUPTED;
                break;
            }
            result = link_erase(link, CHIP_INS_SE, sector * FAST_SECTOR_SIZE, progress,
                                std::uint64_t{stats->sectors_erased} * FAST_SECTOR_SIZE,
                                FAST_SECTOR_SIZE, total);
            stats->sectors_erased += result == FAST_OK ? 1 : 0;
        }
    }
    stats->seconds_erase = seconds_since(start);
    if (result == FAST_OK && link_stop(progress)) {
        result = FAST_ERR_INTERRUPTED;
    }

    if (result == FAST_OK) {
        start = link_now_ms();
        std::uint8_t todo[FAST_PAGES / 8] = {};
        std::uint32_t count = 0;
        for (std::uint32_t page = 0; page < FAST_PAGES; ++page) {
            const fast_sector_action action = plan->action[page / PAGES_PER_SECTOR];
            if (action != FAST_SECTOR_SKIP &&
                page_needed(plan, page, action == FAST_SECTOR_ERASE)) {
                todo[page >> 3] = static_cast<std::uint8_t>(todo[page >> 3] | (1U << (page & 7)));
                ++count;
            }
        }
        stats->pages_skipped = FAST_PAGES - count;
        result = link_program(link, plan->target, todo, count, stats, progress);
        stats->seconds_program = seconds_since(start);
    }
    if (result == FAST_OK && link_stop(progress)) {
        result = FAST_ERR_INTERRUPTED;
    }

    if (result == FAST_OK) {
        // Every sector erased or programmed is read back; the others were
        // compared in the first read.
        start = link_now_ms();
        std::uint64_t total = 0;
        for (fast_sector_action action : plan->action) {
            total += action != FAST_SECTOR_SKIP ? FAST_SECTOR_SIZE : 0;
        }
        std::uint64_t done = 0;
        for (std::uint32_t sector = 0; sector < FAST_SECTORS && result == FAST_OK; ++sector) {
            if (plan->action[sector] == FAST_SECTOR_SKIP) {
                continue;
            }
            if (link_stop(progress)) {
                result = FAST_ERR_INTERRUPTED;
                break;
            }
            const std::uint32_t base = sector * FAST_SECTOR_SIZE;
            result = link_read(link, base, FAST_SECTOR_SIZE, nullptr, plan->target + base,
                               &stats->first_difference, "verify", progress, done, total);
            done += FAST_SECTOR_SIZE;
        }
        stats->seconds_verify = seconds_since(start);
    }
    stats->bytes_moved += link->spi_bytes - spi_before;
    return result;
}

int fast_verify(fast_link* link, const image_map* image, fast_stats* stats,
                const fast_progress* progress) {
    const std::uint64_t spi_before = link->spi_bytes;
    const std::uint64_t start = link_now_ms();
    stats->first_difference = -1;
    int result = link_read(link, 0, FAST_CHIP_SIZE, nullptr, image->bytes, &stats->first_difference,
                           "verify", progress, 0, FAST_CHIP_SIZE);
    stats->seconds_verify = seconds_since(start);
    stats->bytes_moved += link->spi_bytes - spi_before;
    return result;
}
