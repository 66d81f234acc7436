// Stand-in for app/image.h's image_map until it lands in main: the same
// struct, to be deleted then.
#pragma once

#include <cstdint>

inline constexpr std::uint32_t IMAGE_CHIP_SIZE = 0x200000;

// The chip as the image wants it: bytes bit-reversed as the chip must hold
// them, 0xFF where no record writes; bit (a & 7) of defined[a >> 3] set where
// one does.
struct image_map {
    std::uint8_t bytes[IMAGE_CHIP_SIZE];
    std::uint8_t defined[IMAGE_CHIP_SIZE / 8];
    std::uint32_t data_records;
};
