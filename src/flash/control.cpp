#include "flash/flash.h"

std::int32_t flash_control(flash_request request) {
    switch (request.op) {
        case FLASH_OP_READ_ID: {
            auto* block = static_cast<flash_read_id_params*>(request.params);
            return flash_read_id(request.handle, block->manufacturer, block->device, block->status);
        }
        case FLASH_OP_READ_STATUS: {
            auto* block = static_cast<flash_read_status_params*>(request.params);
            return flash_read_status(request.handle, block->status);
        }
        case FLASH_OP_CHIP_ERASE:
            return flash_chip_erase(request.handle);
        case FLASH_OP_SECTOR_ERASE: {
            auto* block = static_cast<flash_sector_erase_params*>(request.params);
            return flash_sector_erase(request.handle, block->sector);
        }
        case FLASH_OP_ADDRESS_TO_SECTOR: {
            auto* block = static_cast<flash_address_to_sector_params*>(request.params);
            return flash_sector_of_address(block->address, block->sector);
        }
        case FLASH_OP_SECTOR_BOUNDS: {
            auto* block = static_cast<flash_sector_bounds_params*>(request.params);
            return flash_sector_bounds(block->first, block->last, block->sector);
        }
        case FLASH_OP_GET_INFO: {
            auto* block = static_cast<flash_get_info_params*>(request.params);
            block->device_name = flash_info.device_name;
            block->maker_name = flash_info.maker_name;
            return FLASH_OK;
        }
        case FLASH_OP_GET_SECTOR_COUNT: {
            auto* block = static_cast<flash_get_sector_count_params*>(request.params);
            *block->count = flash_info.sector_count;
            return FLASH_OK;
        }
        default:
            return FLASH_ERR_UNSUPPORTED;
    }
}
