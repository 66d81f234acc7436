// The image file as the programming run reads it: how each line moves the
// address base or asks for data, and the whole-file check made before the
// chip is erased. The check and the writing pass apply the same line rules,
// so what passed the check is what gets written.
#pragma once

#include <cstdint>
#include <cstdio>

#include "hexfile/hex_record.h"

// What image_check returns; the run exits with the same values.
inline constexpr int IMAGE_USABLE = 0;
inline constexpr int IMAGE_UNUSABLE = 1;

// Characters one read takes, line end and NUL included.
inline constexpr int IMAGE_LINE_SIZE = 512;

// What one line of the image asks for.
enum LineKind {
    LINE_DATA,         // program record.data at *address
    LINE_END,          // end-of-file record: stop reading
    LINE_SKIP,         // nothing to do (a base change, or a type that is ignored)
    LINE_BAD_FORMAT,   // rejected by the parser
    LINE_BAD_BASE,     // extended address record of the wrong length
    LINE_OUT_OF_CHIP,  // data reaching past the end of the flash
};

// Parses `line` into *record and applies it to *base (the extended address);
// for LINE_DATA, *address is where the data goes.
LineKind image_classify_line(const char* line, hex_record* record, std::uint32_t* base,
                             std::uint32_t* address);

// Prints the message for a line that stops the run; returns IMAGE_UNUSABLE.
int image_report_bad_line(LineKind kind);

// Opens a regular file for reading (nullptr otherwise). At most one image is
// open at a time: its stdio buffer is static.
std::FILE* image_open(const char* path);

// Reads the image from the current position to its end-of-file record and
// prints why it cannot be written, if so: IMAGE_USABLE or IMAGE_UNUSABLE.
int image_check(std::FILE* file, const char* path);
