#include "flash/flash.h"

const flash_descriptor flash_info = {
    "STMicro. M25P16", CHIP_M25P16.maker,
    static_cast<std::int32_t>(CHIP_M25P16.size / FLASH_SECTOR_SIZE)};

std::int32_t flash_sector_of_address(std::uint32_t address, std::int32_t* index_out) {
    const std::uint32_t sector = (address & FLASH_SECTOR_ADDRESS_MASK) / FLASH_SECTOR_SIZE;
    if (flash_info.sector_count <= 0 ||
        sector >= static_cast<std::uint32_t>(flash_info.sector_count)) {
        return FLASH_ERR_RANGE;
    }
    *index_out = static_cast<std::int32_t>(sector);
    return FLASH_OK;
}

std::int32_t flash_sector_bounds(std::uint32_t* first_out, std::uint32_t* last_out,
                                 std::int32_t sector) {
    if (sector < 0 || sector >= flash_info.sector_count) {
        return FLASH_ERR_RANGE;
    }
    const std::uint32_t first = static_cast<std::uint32_t>(sector) * FLASH_SECTOR_SIZE;
    *first_out = first;
    *last_out = first + (FLASH_SECTOR_SIZE - 1);
    return FLASH_OK;
}
