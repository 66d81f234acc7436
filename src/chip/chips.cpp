#include "chip/chip.h"

namespace {
const chip_part* const kParts[] = {&CHIP_M25P16};
}  // namespace

const chip_part* chip_find(std::uint32_t jedec_id) {
    for (const chip_part* part : kParts) {
        if (part->jedec_id == jedec_id) {
            return part;
        }
    }
    return nullptr;
}

std::uint32_t chip_first_protected_sector(const chip_part& part, std::uint8_t status) {
    const std::uint32_t sectors = part.size / CHIP_SECTOR_SIZE;
    const std::uint32_t bp = (status & part.sr_bp_mask) >> part.sr_bp_shift;
    if (bp == 0) {
        return sectors;
    }
    if (bp >= part.bp_all_from) {
        return 0;
    }
    return sectors - (1U << (bp - 1));
}
