// Fields: where a board's own values go in its image. `--field NAME@ADDR`
// puts the next value of pool NAME at ADDR, in the image's own terms: exactly
// as a HEX record at ADDR with those bytes would (bit-reversed in the chip
// like the rest; a --raw binary's bytes as they are).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "image/image_file.h"

struct FieldSpec {
    std::string name;  // the pool
    std::uint32_t address = 0;
};

// Where a field lies once its pool's form is known.
struct FieldPlace {
    std::string name;
    std::uint32_t address = 0;
    std::size_t size = 0;
};

// A field's bytes for one board, as the image gives them.
struct FieldBytes {
    std::uint32_t address = 0;
    std::vector<std::uint8_t> bytes;
};

// A pool's name: letters, digits, '_', '-' and '.', at most 64 of them, so
// that it stands in NAME@ADDR and NAME=VALUE as it is.
bool check_pool_name(const std::string& name, std::string& error);

// "serial@0x1FF000" (ADDR decimal or 0x hex). False with `error`.
bool parse_field(const std::string& text, FieldSpec& field, std::string& error);

// Each field inside the chip's `chip_size` bytes, none over another, no pool
// named twice. False with `error` naming the first that is not.
bool check_fields(const std::vector<FieldPlace>& fields, std::uint32_t chip_size,
                  std::string& error);

// The fields that lie over bytes the image gives, said once at the start:
// "field serial@0x1ff000 lies over image data: the field's bytes win". Empty
// when none does.
std::string fields_over_image(const std::vector<FieldPlace>& fields, const image_map& map);

// Lays `fields` over `image` (a board's own copy): the bytes, bit-reversed
// unless `raw`, marked defined, and the written ranges merged.
void apply_fields(LoadedImage& image, const std::vector<FieldBytes>& fields, bool raw);

// A copy of `image` a board's fields can be laid over.
LoadedImage copy_image(const LoadedImage& image);
