// The burn's plan: what each sector needs, decided from the image and one
// read of the chip, and the cheapest way there by the part's typical times.
#include "plan/plan.h"

#include <cstring>
#include <memory>

namespace {

constexpr std::uint32_t BLOCKS_PER_SECTOR = CHIP_SECTOR_SIZE / CHIP_BLOCK_SIZE;
constexpr std::uint64_t NEVER = ~std::uint64_t{0} / 4;  // a cover that cannot be
constexpr std::uint64_t NS_PER_MS = 1000000;

std::uint32_t sectors_of(const chip_part& part) {
    return part.size / CHIP_SECTOR_SIZE;
}

std::uint32_t blocks_of(const chip_part& part) {
    return part.size / CHIP_BLOCK_SIZE;
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

// Does `page` (of page_size bytes) need a PP, its block erased (or not)?
bool page_needed(const plan_burn* plan, std::uint32_t page_size, std::uint32_t page, bool erased) {
    const std::uint32_t at = page * page_size;
    if (erased) {
        return !blank(plan->target + at, page_size);
    }
    return clears_any(plan->chip + at, plan->target + at, page_size);
}

// The cheapest cover of the blocks that need an erase with the part's erase
// types, by typical times: each aligned region is either erased whole (its
// blocks then programmed from blank) or split into the next smaller size.
class Cover {
  public:
    Cover(const plan_burn* plan, const chip_part& part, const plan_costs& costs) : part_(part) {
        const std::uint32_t pages_per_block = CHIP_BLOCK_SIZE / part.page_size;
        for (std::uint32_t b = 0; b < blocks_of(part); ++b) {
            std::uint32_t plain = 0, erased = 0;
            for (std::uint32_t i = 0; i < pages_per_block; ++i) {
                const std::uint32_t page = b * pages_per_block + i;
                plain += page_needed(plan, part.page_size, page, false) ? 1 : 0;
                erased += page_needed(plan, part.page_size, page, true) ? 1 : 0;
            }
            const std::uint8_t action = plan->action[b / BLOCKS_PER_SECTOR];
            const std::uint32_t at = b * CHIP_BLOCK_SIZE;
            const bool same = action == PLAN_SECTOR_SKIP ||
                              std::memcmp(plan->chip + at, plan->target + at, CHIP_BLOCK_SIZE) == 0;
            const bool needs =
                !same && !only_clears(plan->chip + at, plan->target + at, CHIP_BLOCK_SIZE);
            plain_ns_[b] = needs ? NEVER : (same ? 0 : plain * costs.page_ns);
            erased_ns_[b] = erased * costs.page_ns;
        }
    }

    // Cost of the best cover of `blocks` blocks from `first`; with `apply`,
    // the erases go into the plan.
    std::uint64_t best(std::uint32_t first, std::uint32_t blocks, plan_burn* apply) const {
        std::uint64_t whole = NEVER;
        const chip_erase_type* type = chip_erase_of(part_, blocks * CHIP_BLOCK_SIZE);
        if (type != nullptr) {
            whole = std::uint64_t{type->typ_ms} * NS_PER_MS;
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
            if (whole <= split && type != nullptr) {
                apply->erases[apply->erase_count++] = {
                    first * CHIP_BLOCK_SIZE, static_cast<std::uint8_t>(type - part_.erases)};
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
        std::uint64_t total = std::uint64_t{whole->typ_ms} * NS_PER_MS;
        for (std::uint32_t b = 0; b < blocks_of(part_); ++b) {
            total += erased_ns_[b];
        }
        return total;
    }

  private:
    const chip_part& part_;
    std::uint64_t plain_ns_[PLAN_MAX_BLOCKS];
    std::uint64_t erased_ns_[PLAN_MAX_BLOCKS];
};

// Each sector's first action from what it holds and what it must hold.
plan_sector_action sector_action(const plan_burn* plan, std::uint32_t sector,
                                 const plan_options& options) {
    const std::uint8_t* chip = plan->chip + sector * CHIP_SECTOR_SIZE;
    const std::uint8_t* target = plan->target + sector * CHIP_SECTOR_SIZE;
    if (plan->chip_erase) {
        return PLAN_SECTOR_ERASE;
    }
    if (std::memcmp(chip, target, CHIP_SECTOR_SIZE) == 0) {
        return PLAN_SECTOR_SKIP;
    }
    if (options.erase == PLAN_ERASE_NONE || only_clears(chip, target, CHIP_SECTOR_SIZE)) {
        return PLAN_SECTOR_PROGRAM;
    }
    return PLAN_SECTOR_ERASE;
}

}  // namespace

bool plan_sector_touched(std::span<const std::uint8_t> defined, std::uint32_t sector) {
    for (std::uint8_t bits :
         defined.subspan(sector * (CHIP_SECTOR_SIZE / 8), CHIP_SECTOR_SIZE / 8)) {
        if (bits != 0) {
            return true;
        }
    }
    return false;
}

std::uint64_t plan_estimate_ns(const plan_burn* plan, const chip_part& part, bool chip_erase,
                               const plan_costs& costs) {
    auto cover = std::make_unique<Cover>(plan, part, costs);
    std::uint64_t total = 0;
    for (std::uint32_t sector = 0; sector < sectors_of(part); ++sector) {
        if (chip_erase || plan->action[sector] != PLAN_SECTOR_SKIP) {
            total += costs.sector_read_ns;  // read back afterwards
        }
        if (!chip_erase) {
            total += cover->best(sector * BLOCKS_PER_SECTOR, BLOCKS_PER_SECTOR, nullptr);
        }
    }
    return total + (chip_erase ? cover->chip_erase_ns() : 0);
}

void plan_decide(plan_burn* plan, const chip_part& part, std::span<const std::uint8_t> image,
                 std::span<const std::uint8_t> defined, const plan_options& options,
                 std::uint16_t status, const plan_costs& costs) {
    plan->chip_erase = options.erase == PLAN_ERASE_CHIP;
    plan->erase_count = 0;
    std::memset(plan->erased, 0, sizeof plan->erased);
    for (std::uint32_t sector = 0; sector < sectors_of(part); ++sector) {
        const std::uint32_t base = sector * CHIP_SECTOR_SIZE;
        const bool keep = options.keep_rest && !plan_sector_touched(defined, sector);
        std::memcpy(plan->target + base, keep ? plan->chip + base : image.data() + base,
                    CHIP_SECTOR_SIZE);
        plan->action[sector] = sector_action(plan, sector, options);
    }
    // One chip erase when it is faster; never on a protected chip, which
    // would ignore it.
    const bool unprotected = chip_protected_sectors(part, status).count == 0;
    if (options.erase == PLAN_ERASE_AUTO && unprotected &&
        plan_estimate_ns(plan, part, true, costs) < plan_estimate_ns(plan, part, false, costs)) {
        plan->chip_erase = true;
    }
    if (plan->chip_erase) {
        std::memset(plan->erased, 1, sizeof plan->erased);
    } else if (options.erase == PLAN_ERASE_AUTO) {
        auto cover = std::make_unique<Cover>(plan, part, costs);
        for (std::uint32_t sector = 0; sector < sectors_of(part); ++sector) {
            cover->best(sector * BLOCKS_PER_SECTOR, BLOCKS_PER_SECTOR, plan);
        }
    }
    for (std::uint32_t sector = 0; sector < sectors_of(part); ++sector) {
        bool erased = false;
        for (std::uint32_t b = 0; b < BLOCKS_PER_SECTOR; ++b) {
            erased = erased || plan->erased[sector * BLOCKS_PER_SECTOR + b];
        }
        if (erased) {
            plan->action[sector] = PLAN_SECTOR_ERASE;
        } else if (plan->action[sector] == PLAN_SECTOR_ERASE) {
            plan->action[sector] = PLAN_SECTOR_PROGRAM;  // nothing in it needs an erase after all
        }
    }
}

std::uint32_t plan_pages(const plan_burn* plan, const chip_part& part,
                         std::span<std::uint8_t> todo) {
    const std::uint32_t pages_per_sector = CHIP_SECTOR_SIZE / part.page_size;
    const std::uint32_t pages_per_block = CHIP_BLOCK_SIZE / part.page_size;
    std::memset(todo.data(), 0, todo.size());
    std::uint32_t count = 0;
    for (std::uint32_t page = 0; page < part.size / part.page_size; ++page) {
        if (plan->action[page / pages_per_sector] != PLAN_SECTOR_SKIP &&
            page_needed(plan, part.page_size, page, plan->erased[page / pages_per_block])) {
            todo[page >> 3] = static_cast<std::uint8_t>(todo[page >> 3] | (1U << (page & 7)));
            ++count;
        }
    }
    return count;
}
