// The programming run: check the image, erase the chip, write and verify
// every data record, report, and always release and close the device.
#include <cstdint>
#include <cstdio>

#include <sys/stat.h>

#include "app/console.h"
#include "app/hexburn.h"
#include "flash/flash.h"
#include "hexfile/hex_record.h"
#include "mpsse/d2xx.h"
#include "mpsse/mpsse.h"

namespace {

// Exit statuses after the device was opened; scripts and jigs act on them.
enum : int {
    EXIT_WRITTEN = 0,   // the image is in the flash
    EXIT_IMAGE = 1,     // the image file is unusable, or has no end-of-file record
    EXIT_HARDWARE = 2,  // a USB or chip failure
    EXIT_MISMATCH = 3,  // the flash holds other bytes than it should
};

constexpr int kLineSize = 512;
constexpr std::uint32_t kEraseCheckSize = 2048;
constexpr std::uint64_t kFlashSize = 0x200000;
constexpr std::uint32_t kRecordsPerDot = 8;
constexpr std::uint32_t kRecordsPerLine = 480;

enum RecordType : std::int32_t {
    RECORD_DATA = 0x00,
    RECORD_END_OF_FILE = 0x01,
    RECORD_EXTENDED_SEGMENT = 0x02,
    RECORD_EXTENDED_LINEAR = 0x04,
};

// What one line of the image asks for.
enum LineKind {
    LINE_DATA,         // program record.data at *address
    LINE_END,          // end-of-file record: stop reading
    LINE_SKIP,         // nothing to do (a base change, or a type that is ignored)
    LINE_BAD_FORMAT,   // rejected by the parser
    LINE_BAD_BASE,     // extended address record of the wrong length
    LINE_OUT_OF_CHIP,  // data reaching past the end of the flash
};

// Applies one line to the address base; the same rules serve the check
// before erasing and the writing pass, so what passed the check is what
// gets written.
LineKind classify_line(const char* line, hex_record* record, std::uint32_t* base,
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
            if (start + static_cast<std::uint32_t>(record->length) > kFlashSize) {
                return LINE_OUT_OF_CHIP;
            }
            *address = static_cast<std::uint32_t>(start);
            return LINE_DATA;
        }
        default:
            return LINE_SKIP;
    }
}

// Prints the message for a line that stops the run; returns the exit status.
int report_bad_line(LineKind kind) {
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
    return EXIT_IMAGE;
}

// Opens the image for both passes. Only a regular file will do: the image is
// read twice, and a FIFO or device (or a directory) could not give the same
// lines again, or would block before a byte arrives.
std::FILE* open_image(const char* path) {
    struct stat info;
    if (stat(path, &info) != 0 || !S_ISREG(info.st_mode)) {
        return nullptr;
    }
    return std::fopen(path, "r");
}

// Reads the whole image once, up to its end-of-file record, before anything
// is erased: an image that cannot be written must leave the board as it was.
int check_image(std::FILE* file, const char* path) {
    char line[kLineSize];
    hex_record record;
    std::uint32_t base = 0;
    std::uint32_t address = 0;
    bool any_line = false;
    int status = EXIT_WRITTEN;
    while (status == EXIT_WRITTEN && std::fgets(line, kLineSize, file) != nullptr) {
        any_line = true;
        LineKind kind = classify_line(line, &record, &base, &address);
        if (kind == LINE_END) {
            break;
        }
        if (kind != LINE_DATA && kind != LINE_SKIP) {
            status = report_bad_line(kind);
        }
    }
    if (status == EXIT_WRITTEN && std::ferror(file)) {
        // The file opened but could not be read through.
        console_print("Can't open %s!\n", path);
        status = EXIT_IMAGE;
    } else if (status == EXIT_WRITTEN && !any_line) {
        console_print("Incompleted file error!\n");
        status = EXIT_IMAGE;
    }
    return status;
}

int erase_chip(FT_HANDLE handle) {
    console_print("Erasing flash...\n");
    flash_chip_erase_params block = {0};
    if (flash_control(flash_request{handle, FLASH_OP_CHIP_ERASE, &block}) != FLASH_OK) {
        console_print("Can't erase flash!\n");
        return EXIT_HARDWARE;
    }
    std::uint8_t buffer[kEraseCheckSize];
    if (flash_read(handle, buffer, 0, kEraseCheckSize) != FLASH_OK) {
        console_print("Erasing error!\n");
        return EXIT_HARDWARE;
    }
    for (std::uint8_t byte : buffer) {
        if (byte != 0xFF) {
            console_print("Erasing error!\n");
            return EXIT_MISMATCH;
        }
    }
    console_print("Flash has been erased.\n");
    return EXIT_WRITTEN;
}

// Programs one data record and reads it back.
int write_record(FT_HANDLE handle, const hex_record& record, std::uint32_t address) {
    std::uint32_t length = static_cast<std::uint32_t>(record.length);
    if (flash_program(handle, record.data, address, length) != FLASH_OK) {
        console_print("Write error into flash!\n");
        return EXIT_HARDWARE;
    }
    std::uint8_t readback[256];
    if (flash_read(handle, readback, address, length) != FLASH_OK) {
        console_print("Writing check error!\n");
        return EXIT_HARDWARE;
    }
    for (std::uint32_t i = 0; i < length; ++i) {
        if (readback[i] != record.data[i]) {
            console_print("Writing check error!\n");
            return EXIT_MISMATCH;
        }
    }
    return EXIT_WRITTEN;
}

// The second pass reads the same open file from the start, so an image
// that is renamed or removed after the check is still the one written.
int write_image(FT_HANDLE handle, std::FILE* file, const char* path) {
    std::rewind(file);
    console_print("Writing image into flash...\n");
    char line[kLineSize];
    hex_record record;
    std::uint32_t base = 0;
    std::uint32_t counter = 0;
    bool end_reached = false;
    int status = EXIT_WRITTEN;
    while (status == EXIT_WRITTEN && !end_reached && std::fgets(line, kLineSize, file) != nullptr) {
        std::uint32_t address = 0;
        LineKind kind = classify_line(line, &record, &base, &address);
        switch (kind) {
            case LINE_END:
                end_reached = true;
                break;
            case LINE_SKIP:
                break;
            case LINE_DATA:
                status = write_record(handle, record, address);
                if (status == EXIT_WRITTEN) {
                    ++counter;
                    if (counter % kRecordsPerDot == 0) {
                        console_print(".");
                    }
                    if (counter == kRecordsPerLine) {
                        console_print("\n");
                        counter = 0;
                    }
                }
                break;
            default:
                // The file changed since it was checked.
                status = report_bad_line(kind);
                break;
        }
    }
    if (status == EXIT_WRITTEN && !end_reached && std::ferror(file)) {
        console_print("Can't open %s!\n", path);
        status = EXIT_IMAGE;
    }
    if (status != EXIT_WRITTEN) {
        return status;
    }
    if (!end_reached) {
        console_print("Incompleted file error!\n");
        return EXIT_IMAGE;
    }
    console_print("\nImage has been written successfully\n");
    return EXIT_WRITTEN;
}

int run_steps(FT_HANDLE handle, const char* path) {
    if (mpsse_init(handle) != 0) {
        return EXIT_HARDWARE;
    }
    std::FILE* file = open_image(path);
    if (file == nullptr) {
        console_print("Can't open %s!\n", path);
        return EXIT_IMAGE;
    }
    int status = check_image(file, path);
    if (status == EXIT_WRITTEN) {
        status = erase_chip(handle);
    }
    if (status == EXIT_WRITTEN) {
        status = write_image(handle, file, path);
    }
    std::fclose(file);
    return status;
}

}  // namespace

int program_run(FT_HANDLE handle, const char* path) {
    int status = run_steps(handle, path);
    mpsse_release(handle);
    FT_Close(handle);
    console_print("Process completed.\n");
    return status;
}
