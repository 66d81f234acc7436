// The programming run: check the image, erase the chip, write and verify
// every data record, report, and always release and close the device.
#include <cstdint>
#include <cstdio>

#include "app/console.h"
#include "app/hexburn.h"
#include "app/image.h"
#include "flash/flash.h"
#include "hexfile/hex_record.h"
#include "mpsse/d2xx.h"
#include "mpsse/mpsse.h"

namespace {

// Exit statuses after the device was opened; scripts and jigs act on them.
enum : int {
    EXIT_WRITTEN = 0,             // the image is in the flash
    EXIT_IMAGE = IMAGE_UNUSABLE,  // the image file is unusable, or has no end-of-file record
    EXIT_HARDWARE = 2,            // a USB or chip failure
    EXIT_MISMATCH = 3,            // the flash holds other bytes than it should
};

constexpr std::uint32_t kEraseCheckSize = 2048;
constexpr std::uint32_t kRecordsPerDot = 8;
constexpr std::uint32_t kRecordsPerLine = 480;

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
    char line[IMAGE_LINE_SIZE];
    hex_record record;
    std::uint32_t base = 0;
    std::uint32_t counter = 0;
    bool end_reached = false;
    int status = EXIT_WRITTEN;
    while (status == EXIT_WRITTEN && !end_reached &&
           std::fgets(line, IMAGE_LINE_SIZE, file) != nullptr) {
        std::uint32_t address = 0;
        LineKind kind = image_classify_line(line, &record, &base, &address);
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
                status = image_report_bad_line(kind);
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
    std::FILE* file = image_open(path);
    if (file == nullptr) {
        console_print("Can't open %s!\n", path);
        return EXIT_IMAGE;
    }
    int status = image_check(file, path);
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
