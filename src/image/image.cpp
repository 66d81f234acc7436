#include "image/image.h"

#include <sys/stat.h>

#include <cstring>

namespace {

// A 2 MiB image is some 5.8 MB of text: read it in large blocks rather than
// stdio's default few kilobytes, one system call per block.
constexpr std::size_t kFileBufferSize = 64 * 1024;
char file_buffer[kFileBufferSize];

constexpr std::size_t kRecordStart = 11;  // characters of a record without data

enum RecordType : std::int32_t {
    RECORD_DATA = 0x00,
    RECORD_END_OF_FILE = 0x01,
    RECORD_EXTENDED_SEGMENT = 0x02,
    RECORD_EXTENDED_LINEAR = 0x04,
};

// FNV-1a, 64 bits: enough to tell one text from another that was edited.
constexpr std::uint64_t kDigestStart = 0xCBF29CE484222325u;
constexpr std::uint64_t kDigestPrime = 0x100000001B3u;

std::uint64_t digest_add(std::uint64_t digest, const char* text, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        digest = (digest ^ static_cast<unsigned char>(text[i])) * kDigestPrime;
    }
    return digest;
}

// After a record's checksum only blanks may follow, then LF, CR LF or the
// end of the file: a second record or a lone CR on the line would be lost.
bool only_blanks_after(const char* line, std::size_t at, std::size_t length) {
    while (at < length && (line[at] == ' ' || line[at] == '\t')) {
        ++at;
    }
    if (at < length && line[at] == '\r') {
        ++at;
        return at + 1 == length && line[at] == '\n';
    }
    return at == length || (at + 1 == length && line[at] == '\n');
}

// Marks the record's bytes in the map; false when one of them is already
// there with another value.
bool map_record(image_map* map, std::uint32_t address, const hex_record& record) {
    for (std::int32_t i = 0; i < record.length; ++i, ++address) {
        std::uint8_t& bit_set = map->defined[address >> 3];
        const std::uint8_t bit = static_cast<std::uint8_t>(1u << (address & 7));
        if ((bit_set & bit) != 0 && map->bytes[address] != record.data[i]) {
            return false;
        }
        bit_set = static_cast<std::uint8_t>(bit_set | bit);
        map->bytes[address] = record.data[i];
    }
    return true;
}

}  // namespace

void image_reader_start(image_reader* reader, std::FILE* file) {
    reader->file = file;
    reader->digest = kDigestStart;
    reader->line_number = 0;
    reader->length = 0;
    reader->at = 0;
    reader->end = 0;
    reader->line[0] = '\0';
    std::rewind(file);
}

ImageRead image_read_line(image_reader* reader) {
    reader->length = 0;
    bool whole = false;
    while (!whole) {
        if (reader->at == reader->end) {
            reader->at = 0;
            reader->end = std::fread(reader->block, 1, sizeof reader->block, reader->file);
            if (reader->end == 0) {
                if (std::ferror(reader->file)) {
                    return IMAGE_READ_FAILED;
                }
                if (reader->length == 0) {
                    return IMAGE_READ_END;
                }
                break;  // the last line, without a line end
            }
        }
        const char* start = reader->block + reader->at;
        std::size_t left = reader->end - reader->at;
        const void* newline = std::memchr(start, '\n', left);
        std::size_t take =
            newline == nullptr
                ? left
                : static_cast<std::size_t>(static_cast<const char*>(newline) - start) + 1;
        if (reader->length + take > IMAGE_LINE_MAX) {
            ++reader->line_number;
            return IMAGE_READ_TOO_LONG;
        }
        std::memcpy(reader->line + reader->length, start, take);
        reader->length += take;
        reader->at += take;
        whole = newline != nullptr;
    }
    reader->line[reader->length] = '\0';
    reader->digest = digest_add(reader->digest, reader->line, reader->length);
    ++reader->line_number;
    return IMAGE_READ_LINE;
}

LineKind image_classify_line(const char* line, std::size_t length, hex_record* record,
                             std::uint32_t* base, std::uint32_t* address) {
    // The parser stops at the line's first NUL, so the record lies within `length`.
    if (parse_hex_record(record, line) < 0 ||
        !only_blanks_after(line, kRecordStart + 2 * static_cast<std::size_t>(record->length),
                           length)) {
        return LINE_BAD_FORMAT;
    }
    switch (record->type) {
        case RECORD_EXTENDED_LINEAR:
        case RECORD_EXTENDED_SEGMENT: {
            if (record->length != 2) {
                return LINE_BAD_BASE;
            }
            std::uint32_t value =
                static_cast<std::uint32_t>(record->data[0]) << 8 | record->data[1];
            *base = record->type == RECORD_EXTENDED_LINEAR ? value << 16 : value << 4;
            return LINE_SKIP;
        }
        case RECORD_END_OF_FILE:
            return LINE_END;
        case RECORD_DATA: {
            std::uint64_t start =
                std::uint64_t{*base} + static_cast<std::uint32_t>(record->address);
            if (start + static_cast<std::uint32_t>(record->length) > IMAGE_CHIP_SIZE) {
                return LINE_OUT_OF_CHIP;
            }
            *address = static_cast<std::uint32_t>(start);
            return LINE_DATA;
        }
        default:
            return LINE_SKIP;
    }
}

ImageFault image_scan(std::FILE* file, image_map* map, std::uint32_t* line_number) {
    std::memset(map->bytes, 0xFF, sizeof map->bytes);
    std::memset(map->defined, 0, sizeof map->defined);
    map->data_records = 0;
    map->digest = 0;
    *line_number = 0;
    if (file == nullptr) {
        return IMAGE_FAULT_READ;
    }
    image_reader reader;
    image_reader_start(&reader, file);
    hex_record record;
    std::uint32_t base = 0;
    for (;;) {
        ImageRead read = image_read_line(&reader);
        if (read == IMAGE_READ_END) {
            *line_number = 0;
            return IMAGE_FAULT_INCOMPLETE;
        }
        if (read == IMAGE_READ_FAILED) {
            *line_number = reader.line_number + 1;
            return IMAGE_FAULT_READ;
        }
        *line_number = reader.line_number;
        if (read == IMAGE_READ_TOO_LONG) {
            return IMAGE_FAULT_FORMAT;
        }
        std::uint32_t address = 0;
        switch (image_classify_line(reader.line, reader.length, &record, &base, &address)) {
            case LINE_END:
                map->digest = reader.digest;
                *line_number = 0;
                return IMAGE_FINE;
            case LINE_SKIP:
                break;
            case LINE_DATA:
                if (!map_record(map, address, record)) {
                    return IMAGE_FAULT_OVERLAP;
                }
                ++map->data_records;
                break;
            case LINE_BAD_FORMAT:
                return IMAGE_FAULT_FORMAT;
            case LINE_BAD_BASE:
                return IMAGE_FAULT_BASE;
            case LINE_OUT_OF_CHIP:
                return IMAGE_FAULT_RANGE;
        }
    }
}

// Only a regular file will do: the image is read twice, and a FIFO or device
// (or a directory) could not give the same lines again, or would block before
// a byte arrives.
std::FILE* image_open(const char* path) {
    struct stat info;
    if (stat(path, &info) != 0 || !S_ISREG(info.st_mode)) {
        return nullptr;
    }
    std::FILE* file = std::fopen(path, "rb");
    if (file != nullptr) {
        std::setvbuf(file, file_buffer, _IOFBF, kFileBufferSize);
    }
    return file;
}
