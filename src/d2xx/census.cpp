#include "d2xx/census.h"

#include "d2xx/d2xx.h"

bool d2xx_census(bool (*visit)(const d2xx_entry& entry, void* context), void* context) {
    std::uint32_t count = 0;
    if (FT_CreateDeviceInfoList(&count) != FT_OK) {
        return false;
    }
    for (std::uint32_t index = 0; index < count; ++index) {
        d2xx_entry entry = {};
        entry.index = index;
        FT_HANDLE handle = nullptr;
        if (FT_GetDeviceInfoDetail(index, &entry.flags, &entry.type, &entry.id, &entry.location,
                                   entry.serial, entry.description, &handle) != FT_OK) {
            continue;
        }
        entry.serial[FT_SERIAL_SIZE - 1] = '\0';
        entry.description[FT_DESCRIPTION_SIZE - 1] = '\0';
        if (!visit(entry, context)) {
            break;
        }
    }
    return true;
}
