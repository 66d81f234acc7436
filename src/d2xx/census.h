// The census walk: every entry of a fresh D2XX device list, as the driver
// gives it. Both programs' board lists and the check for an unplugged board
// read the census through this one walk.
#pragma once

#include <cstdint>

#include "d2xx/d2xx_types.h"

struct d2xx_entry {
    std::uint32_t index;  // in this census: what FT_Open takes
    std::uint32_t flags;  // FT_FLAGS_OPENED: some process has it open
    std::uint32_t type;   // FT_DEVICE_*
    std::uint32_t id;     // vendor << 16 | product
    std::uint32_t location;
    char serial[FT_SERIAL_SIZE];            // NUL-terminated
    char description[FT_DESCRIPTION_SIZE];  // NUL-terminated
};

// FT_GetDeviceInfoDetail's flag for an interface some process has open.
inline constexpr std::uint32_t FT_FLAGS_OPENED = 1;

// Takes a census and calls `visit` for each entry whose details could be
// read, in the census's order, until `visit` returns false. False when the
// census itself failed. Allocates nothing.
bool d2xx_census(bool (*visit)(const d2xx_entry& entry, void* context), void* context);
