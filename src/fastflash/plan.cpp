// The burn: what each sector needs, decided from the image and one read of
// the chip, then done by the cheapest path and read back.
#include <cstring>
#include <memory>

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

// Does `page` need a PP, its block erased (or not)?
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

constexpr std::uint32_t PAGES_PER_BLOCK = FAST_BLOCK_SIZE / FAST_PAGE_SIZE;
constexpr std::uint32_t BLOCKS_PER_SECTOR = FAST_SECTOR_SIZE / FAST_BLOCK_SIZE;
constexpr std::uint64_t NEVER = ~std::uint64_t{0} / 4;  // a cover that cannot be

// The cheapest cover of the blocks that need an erase with the part's erase
// types, by typical times: each aligned region is either erased whole (its
// blocks then programmed from blank) or split into the next smaller size.
class Cover {
  public:
    Cover(const fast_plan* plan, const chip_part& part, std::uint32_t clock_hz, bool may_erase)
        : part_(part) {
        page_ns_ = link_page_ns(part, clock_hz);
        for (std::uint32_t b = 0; b < FAST_BLOCKS; ++b) {
            std::uint32_t plain = 0, erased = 0;
            for (std::uint32_t i = 0; i < PAGES_PER_BLOCK; ++i) {
                plain += page_needed(plan, b * PAGES_PER_BLOCK + i, false) ? 1 : 0;
                erased += page_needed(plan, b * PAGES_PER_BLOCK + i, true) ? 1 : 0;
            }
            const std::uint8_t action = plan->action[b / BLOCKS_PER_SECTOR];
            const std::uint32_t at = b * FAST_BLOCK_SIZE;
            const bool same = action == FAST_SECTOR_SKIP ||
                              std::memcmp(plan->chip + at, plan->target + at, FAST_BLOCK_SIZE) == 0;
            const bool needs = !same && may_erase &&
                               !only_clears(plan->chip + at, plan->target + at, FAST_BLOCK_SIZE);
            plain_ns_[b] = needs ? NEVER : (same ? 0 : plain * page_ns_);
            erased_ns_[b] = erased * page_ns_;
        }
    }

    // Cost of the best cover of `blocks` blocks from `first`; with `apply`,
    // the erases go into the plan.
    std::uint64_t best(std::uint32_t first, std::uint32_t blocks, fast_plan* apply) const {
        std::uint64_t whole = NEVER;
        int type = erase_type(blocks * FAST_BLOCK_SIZE);
        if (type >= 0) {
            whole = std::uint64_t{part_.erases[type].typ_ms} * 1000000;
            for (std::uint32_t b = first; b < first + blocks; ++b) {
                whole += erased_ns_[b];
            }
        }
        std::uint64_t split = 0;
        const std::uint32_t smaller = blocks == BLOCKS_PER_SECTOR ? blocks / 2 : 1;
        if (blocks == 1) {
            split = plain_ns_[first];
        } else {
            for (std::uint32_t b = first; b < first + blocks; b += smaller) {
                split += best(b, smaller, nullptr);
                split = split > NEVER ? NEVER : split;
            }
        }
        if (apply != nullptr) {
            if (whole <= split && type >= 0) {
                apply->erases[apply->erase_count++] = {first * FAST_BLOCK_SIZE,
                                                       static_cast<std::uint8_t>(type)};
                for (std::uint32_t b = first; b < first + blocks; ++b) {
                    apply->erased[b] = true;
                }
            } else if (blocks > 1) {
                for (std::uint32_t b = first; b < first + blocks; b += smaller) {
                    best(b, smaller, apply);
                }
            }
        }
        return whole < split ? whole : split;
    }

    // The whole chip in one erase, then every page that is not blank.
    std::uint64_t chip_erase_ns() const {
        const chip_erase_type* whole = chip_whole_erase(part_);
        if (whole == nullptr) {
            return NEVER;
        }
        std::uint64_t total = std::uint64_t{whole->typ_ms} * 1000000;
        for (std::uint32_t b = 0; b < FAST_BLOCKS; ++b) {
            total += erased_ns_[b];
        }
        return total;
    }

  private:
    int erase_type(std::uint32_t size) const {
        for (std::size_t i = 0; i < CHIP_ERASE_TYPES; ++i) {
            if (part_.erases[i].opcode != 0 && part_.erases[i].size == size) {
                return static_cast<int>(i);
            }
        }
        return -1;
    }

    const chip_part& part_;
    std::uint64_t page_ns_;
    std::uint64_t plain_ns_[FAST_BLOCKS];
    std::uint64_t erased_ns_[FAST_BLOCKS];
};

}  // namespace

std::uint64_t link_page_ns(const chip_part& part, std::uint32_t clock_hz) {
    return part.page_program_typ_us * 1000ULL + PAGE_CLOCKS * NS_PER_S / clock_hz;
}

std::uint64_t fast_estimate_ns(const fast_plan* plan, bool chip_erase, std::uint32_t clock_hz) {
    // The M25P16's times, for a caller that has no part at hand.
    return fast_estimate_part_ns(plan, CHIP_M25P16, chip_erase, clock_hz);
}

std::uint64_t fast_estimate_part_ns(const fast_plan* plan, const chip_part& part, bool chip_erase,
                                    std::uint32_t clock_hz) {
    auto cover = std::make_unique<Cover>(plan, part, clock_hz, true);
    const std::uint64_t read_ns = std::uint64_t{FAST_SECTOR_SIZE} * 8 * NS_PER_S / clock_hz;
    std::uint64_t total = 0;
    for (std::uint32_t sector = 0; sector < FAST_SECTORS; ++sector) {
        if (chip_erase || plan->action[sector] != FAST_SECTOR_SKIP) {
            total += read_ns;  // read back afterwards
        }
        if (!chip_erase) {
            total += cover->best(sector * BLOCKS_PER_SECTOR, BLOCKS_PER_SECTOR, nullptr);
        }
    }
    return total + (chip_erase ? cover->chip_erase_ns() : 0);
}

int fast_plan_burn(fast_link* link, const image_map* image, const fast_options* options,
                   fast_plan* plan, fast_stats* stats, const fast_progress* progress) {
    *stats = fast_stats{};
    stats->first_difference = -1;
    const std::uint64_t spi_before = link->spi_bytes;
    const chip_part& part = *link->part;
    plan->chip_erase = options->erase == FAST_ERASE_CHIP;
    plan->chip_known = options->erase != FAST_ERASE_CHIP || options->keep_rest;
    plan->erase_count = 0;
    std::memset(plan->erased, 0, sizeof plan->erased);
    std::uint16_t status = 0;
    int result = fast_read_status_word(link, &status);
    plan->status = static_cast<std::uint8_t>(status);
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
    // One chip erase when it is faster; never on a protected chip, which
    // would ignore it.
    const bool unprotected = chip_protected_sectors(part, status).count == 0;
    if (options->erase == FAST_ERASE_AUTO && unprotected &&
        fast_estimate_part_ns(plan, part, true, link->clock_hz) <
            fast_estimate_part_ns(plan, part, false, link->clock_hz)) {
        plan->chip_erase = true;
    }
    if (plan->chip_erase) {
        std::memset(plan->erased, 1, sizeof plan->erased);
    } else if (options->erase == FAST_ERASE_AUTO) {
        auto cover = std::make_unique<Cover>(plan, part, link->clock_hz, true);
        for (std::uint32_t sector = 0; sector < FAST_SECTORS; ++sector) {
            cover->best(sector * BLOCKS_PER_SECTOR, BLOCKS_PER_SECTOR, plan);
        }
    }
    for (std::uint32_t sector = 0; sector < FAST_SECTORS; ++sector) {
        bool erased = false;
        for (std::uint32_t b = 0; b < BLOCKS_PER_SECTOR; ++b) {
            erased = erased || plan->erased[sector * BLOCKS_PER_SECTOR + b];
        }
        if (erased) {
            plan->action[sector] = FAST_SECTOR_ERASE;
        } else if (plan->action[sector] == FAST_SECTOR_ERASE) {
            plan->action[sector] = FAST_SECTOR_PROGRAM;  // nothing in it needs an erase after all
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
    const chip_part& part = *link->part;
    if (plan->chip_erase) {
        result = fast_chip_erase(link, progress);
        stats->sectors_erased = result == FAST_OK ? FAST_SECTORS : 0;
        const chip_erase_type* whole = chip_whole_erase(part);
        stats->erases[whole - part.erases] += result == FAST_OK ? 1 : 0;
    } else {
        std::uint64_t total = 0;
        for (std::uint32_t i = 0; i < plan->erase_count; ++i) {
            total += part.erases[plan->erases[i].type].size;
        }
        std::uint64_t done = 0;
        for (std::uint32_t i = 0; i < plan->erase_count && result == FAST_OK; ++i) {
            if (link_stop(progress)) {
                result = FAST_ERR_INTERRUPTED;
                break;
            }
            const chip_erase_type& type = part.erases[plan->erases[i].type];
            result =
                link_erase(link, type, plan->erases[i].address, progress, done, type.size, total);
            done += type.size;
            stats->erases[plan->erases[i].type] += result == FAST_OK ? 1 : 0;
        }
        for (fast_sector_action action : plan->action) {
            stats->sectors_erased += result == FAST_OK && action == FAST_SECTOR_ERASE ? 1 : 0;
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
                page_needed(plan, page, plan->erased[page / PAGES_PER_BLOCK])) {
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
