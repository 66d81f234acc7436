// The image file: how its lines are read and what each asks for, and the
// whole-image scan made before the chip is erased. The scan and the writing
// pass read lines with the same reader and judge them with the same rules, so
// what passed the scan is what gets written. Prints nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "chip/chip.h"
#include "image/hex_record.h"

// The chip an image is laid out for.
inline constexpr std::uint32_t IMAGE_CHIP_SIZE = CHIP_M25P16.size;

// The chip as the image leaves it.
struct image_map {
    // As the chip must hold them (bit-reversed); 0xFF where no record.
    std::uint8_t bytes[IMAGE_CHIP_SIZE];
    // Bit (a & 7) of defined[a >> 3] set: some record gives address a.
    std::uint8_t defined[IMAGE_CHIP_SIZE / 8];
    // Data records in the image.
    std::uint32_t data_records;
    // Of every byte read, up to the end of the end-of-file record's line.
    std::uint64_t digest;
};

enum ImageFault {
    IMAGE_FINE,
    IMAGE_FAULT_READ,        // cannot be opened or read
    IMAGE_FAULT_FORMAT,      // a line that is no record, or more than a record, blanks and line end
    IMAGE_FAULT_BASE,        // bad extended address record
    IMAGE_FAULT_RANGE,       // past the chip
    IMAGE_FAULT_OVERLAP,     // two records give one address different values
    IMAGE_FAULT_INCOMPLETE,  // no end-of-file record
};

// Reads the image from the file's start to its end-of-file record under every
// rule below into *map (cleared first); prints nothing. *line_number: the line
// of the fault (1-based), 0 if none (IMAGE_FINE, IMAGE_FAULT_INCOMPLETE).
ImageFault image_scan(std::FILE* file, image_map* map, std::uint32_t* line_number);

// Opens a regular file for reading, in binary mode so that every system sees
// the same line ends (nullptr otherwise). At most one image is open at a
// time: its stdio buffer is static.
std::FILE* image_open(const char* path);

// --- lines ----------------------------------------------------------------------

// The longest line taken, line end included: a record of 255 data bytes
// (521 characters), then CR LF; or a shorter record with blanks behind it.
inline constexpr std::size_t IMAGE_LINE_MAX = 523;

// Hands out an image's lines one by one, each with its true length (a NUL
// is a character like any other) and a running digest of what it handed out.
struct image_reader {
    std::FILE* file;
    std::uint64_t digest;
    std::uint32_t line_number;  // of the line last handed out
    std::size_t length;         // of `line`, line end included
    std::size_t at;             // unread part of `block`: [at, end)
    std::size_t end;
    char line[IMAGE_LINE_MAX + 1];  // NUL-terminated
    char block[4096];
};

enum ImageRead {
    IMAGE_READ_LINE,      // reader->line holds the next line
    IMAGE_READ_END,       // no line left
    IMAGE_READ_FAILED,    // the file could not be read
    IMAGE_READ_TOO_LONG,  // a line longer than IMAGE_LINE_MAX (counted in line_number)
};

// Starts reading `file` from its first byte.
void image_reader_start(image_reader* reader, std::FILE* file);
ImageRead image_read_line(image_reader* reader);

// What one line of the image asks for.
enum LineKind {
    LINE_DATA,         // program record.data at *address
    LINE_END,          // end-of-file record: stop reading
    LINE_SKIP,         // nothing to do (a base change, or a type that is ignored)
    LINE_BAD_FORMAT,   // no record, or more than blanks and the line end after it
    LINE_BAD_BASE,     // extended address record of the wrong length
    LINE_OUT_OF_CHIP,  // data reaching past the end of the flash
};

// Parses the `length` characters of `line` (NUL-terminated after them) into
// *record and applies it to *base (the extended address); for LINE_DATA,
// *address is where the data goes.
LineKind image_classify_line(const char* line, std::size_t length, hex_record* record,
                             std::uint32_t* base, std::uint32_t* address);
