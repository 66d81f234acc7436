// Types and values of the D2XX call surface, as the program sees them.
//
// These are the program's own declarations, not the vendor's header: every
// integer is fixed at 32 bits whatever the platform's `long` is, and the
// drivers in src/drivers convert to and from the real libraries.
#pragma once

#include <cstdint>

using FT_STATUS = std::uint32_t;  // 0 success, anything else a failure
using FT_HANDLE = void*;          // opaque; only the driver that made it looks inside

// FT_STATUS values (the vendor's numbering).
enum : FT_STATUS {
    FT_OK = 0,
    FT_INVALID_HANDLE = 1,
    FT_DEVICE_NOT_FOUND = 2,
    FT_DEVICE_NOT_OPENED = 3,
    FT_IO_ERROR = 4,
    FT_INSUFFICIENT_RESOURCES = 5,
    FT_INVALID_PARAMETER = 6,
    FT_INVALID_BAUD_RATE = 7,
    FT_DEVICE_NOT_OPENED_FOR_ERASE = 8,
    FT_DEVICE_NOT_OPENED_FOR_WRITE = 9,
    FT_FAILED_TO_WRITE_DEVICE = 10,
    FT_EEPROM_READ_FAILED = 11,
    FT_EEPROM_WRITE_FAILED = 12,
    FT_EEPROM_ERASE_FAILED = 13,
    FT_EEPROM_NOT_PRESENT = 14,
    FT_EEPROM_NOT_PROGRAMMED = 15,
    FT_INVALID_ARGS = 16,
    FT_NOT_SUPPORTED = 17,
    FT_OTHER_ERROR = 18,
    FT_DEVICE_LIST_NOT_READY = 19,
};

// Device type reported by FT_GetDeviceInfoDetail for each FT2232H interface.
inline constexpr std::uint32_t FT_DEVICE_2232H = 6;

// Sizes of the text buffers FT_GetDeviceInfoDetail fills, NUL included.
inline constexpr std::uint32_t FT_SERIAL_SIZE = 16;
inline constexpr std::uint32_t FT_DESCRIPTION_SIZE = 64;

// FT_SetBitMode modes used by the program.
inline constexpr std::uint8_t FT_BITMODE_RESET = 0x00;
inline constexpr std::uint8_t FT_BITMODE_MPSSE = 0x02;
