#include "app/image.h"

#include <sys/stat.h>

#include "app/console.h"
#include "flash/flash.h"

namespace {

// A 2 MiB image is some 5.8 MB of text: read it in large blocks rather than
// stdio's default few kilobytes, one system call per block.
constexpr std::size_t kFileBufferSize = 64 * 1024;
char file_buffer[kFileBufferSize];

enum RecordType : std::int32_t {
    RECORD_DATA = 0x00,
    RECORD_END_OF_FILE = 0x01,
    RECORD_EXTENDED_SEGMENT = 0x02,
    RECORD_EXTENDED_LINEAR = 0x04,
};

}  // namespace

LineKind image_classify_line(const char* line, hex_record* record, std::uint32_t* base,
                             std::uint32_t* address) {
    if (parse_hex_record(record, line) < 0) {
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
            const std::uint64_t flash_size = std::uint64_t{FLASH_SECTOR_SIZE} *
                                             static_cast<std::uint32_t>(flash_info.sector_count);
            if (start + static_cast<std::uint32_t>(record->length) > flash_size) {
                return LINE_OUT_OF_CHIP;
            }
            *address = static_cast<std::uint32_t>(start);
            return LINE_DATA;
        }
        default:
            return LINE_SKIP;
    }
}

int image_report_bad_line(LineKind kind) {
    switch (kind) {
        case LINE_BAD_FORMAT:
            console_print("Incorrect file format!\n");
            break;
        case LINE_BAD_BASE:
            console_print("Incorrect extended address record in file!\n");
            break;
        default:
            console_print("Image does not fit into flash!\n");
            break;
    }
    return IMAGE_UNUSABLE;
}

// Only a regular file will do: the image is read twice, and a FIFO or device
// (or a directory) could not give the same lines again, or would block before
// a byte arrives.
std::FILE* image_open(const char* path) {
    struct stat info;
    if (stat(path, &info) != 0 || !S_ISREG(info.st_mode)) {
        return nullptr;
    }
    std::FILE* file = std::fopen(path, "r");
    if (file != nullptr) {
        std::setvbuf(file, file_buffer, _IOFBF, kFileBufferSize);
    }
    return file;
}

// Reads the whole image once, up to its end-of-file record, before anything
// is erased: an image that cannot be written must leave the board as it was.
int image_check(std::FILE* file, const char* path) {
    char line[IMAGE_LINE_SIZE];
    hex_record record;
    std::uint32_t base = 0;
    std::uint32_t address = 0;
    bool any_line = false;
    int status = IMAGE_USABLE;
    while (status == IMAGE_USABLE && std::fgets(line, IMAGE_LINE_SIZE, file) != nullptr) {
        any_line = true;
        LineKind kind = image_classify_line(line, &record, &base, &address);
        if (kind == LINE_END) {
            break;
        }
        if (kind != LINE_DATA && kind != LINE_SKIP) {
            status = image_report_bad_line(kind);
        }
    }
    if (status == IMAGE_USABLE && std::ferror(file)) {
        // The file opened but could not be read through.
        console_print("Can't open %s!\n", path);
        status = IMAGE_UNUSABLE;
    } else if (status == IMAGE_USABLE && !any_line) {
        console_print("Incompleted file error!\n");
        status = IMAGE_UNUSABLE;
    }
    return status;
}
