// The image on the host side: read and checked once before any board is
// touched, and the chip written back out in image form.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "image/image.h"

struct ByteRange {
    std::uint32_t start;
    std::uint32_t end;  // one past the last byte
};

struct LoadedImage {
    std::unique_ptr<image_map> map;
    std::string sha256;             // of the file's bytes
    std::vector<ByteRange> ranges;  // where records write, merged
};

// How the image file is to be read: Intel HEX, or binary (`format` "bin", or
// a name ending in .bin) laid from `base` on, in image form unless `raw`.
// With `format` empty, any other file is HEX when its first byte is ':' and
// refused otherwise, so that a HEX file is never burned as data.
struct ImageForm {
    std::string format;  // "hex", "bin" or ""
    std::uint32_t base = 0;
    bool base_given = false;
    bool raw = false;
};

// Reads and checks the image at `path`. False with `error` set to one line
// (path, line number and what is wrong) when it cannot be written.
bool load_image(const std::string& path, LoadedImage& image, std::string& error,
                const ImageForm& form = {});

// Why `path` cannot be opened for reading: "no such file", "a directory, not
// a file", "permission denied"...
std::string open_failure(const std::string& path);

// The chip's contents as a file: Intel HEX when `path` ends in ".hex" (any
// case), all 2 MiB binary otherwise. `chip` holds the chip's own bytes;
// unless `raw`, each is bit-reversed back to image form. False with `error`
// set when the file cannot be written.
bool save_chip(const std::string& path, const std::uint8_t* chip, bool raw, std::string& error);

// Whether `path` can be written, found before a 2 MiB read is spent on it.
// False with `error` set to "PATH: cannot be written: why"; leaves no file behind.
bool check_writable(const std::string& path, std::string& error);

// Whether `path` names an Intel HEX output.
bool is_hex_path(const std::string& path);
