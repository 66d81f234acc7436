// The programming run: check the image, erase the chip, write and verify
// every data record, report, and always release and close the device.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "flash/flash.h"
#include "hexburn/hexburn.h"
#include "host/console.h"
#include "host/interrupt.h"
#include "image/hex_record.h"
#include "image/image.h"
#include "d2xx/d2xx.h"
#include "mpsse/mpsse.h"

namespace {

// Exit statuses after the device was opened; scripts and jigs act on them.
enum : int {
    EXIT_WRITTEN = 0,   // the image is in the flash
    EXIT_IMAGE = 1,     // the image file is unusable, or changed while it was burned
    EXIT_HARDWARE = 2,  // a USB or chip failure
    EXIT_MISMATCH = 3,  // the flash holds other bytes than it should
    // Not an exit status: an interrupt stopped the run (interrupt_status).
    RUN_INTERRUPTED = -1,
};

constexpr std::uint32_t kEraseCheckSize = 2048;
constexpr std::uint32_t kRecordsPerDot = 8;
constexpr std::uint32_t kRecordsPerLine = 480;

// The image as the check read it; the writing pass must read the same.
image_map checked;

// Reads the whole image before anything is erased: an image that cannot be
// written whole must leave the board as it was.
int check_image(std::FILE* file, const char* path) {
    std::uint32_t line = 0;
    switch (image_scan(file, &checked, &line)) {
        case IMAGE_FINE:
            return EXIT_WRITTEN;
        case IMAGE_FAULT_READ:
            console_print("Can't open %s!\n", path);
            break;
        case IMAGE_FAULT_FORMAT:
            console_print("Incorrect file format!\n");
            break;
        case IMAGE_FAULT_BASE:
            console_print("Incorrect extended address record in file!\n");
            break;
        case IMAGE_FAULT_RANGE:
            console_print("Image does not fit into flash!\n");
            break;
        case IMAGE_FAULT_OVERLAP:
            console_print("Overlapping records in file!\n");
            break;
        case IMAGE_FAULT_INCOMPLETE:
            console_print("Incompleted file error!\n");
            break;
    }
    return EXIT_IMAGE;
}

int erase_chip(FT_HANDLE handle) {
    console_print("Erasing flash...\n");
    flash_chip_erase_params block = {0};
    if (flash_control(flash_request{handle, FLASH_OP_CHIP_ERASE, &block}) != FLASH_OK) {
        console_print("Can't erase flash!\n");
        return EXIT_HARDWARE;
    }
    if (interrupt_signal() != INTERRUPT_NONE) {
        return RUN_INTERRUPTED;
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

int image_changed() {
    console_print("Image file changed while burning!\n");
    return EXIT_IMAGE;
}

// The second pass reads the same open file from the start, so an image that
// is renamed or removed after the check is still the one written. Each data
// record must be the checked image's before it is programmed, and the text up
// to the end-of-file record must be the checked text, or the file changed.
int write_image(FT_HANDLE handle, std::FILE* file, const char* path) {
    console_print("Writing image into flash...\n");
    image_reader reader;
    image_reader_start(&reader, file);
    hex_record record;
    std::uint32_t base = 0;
    std::uint32_t counter = 0;
    std::uint32_t records = 0;
    for (;;) {
        ImageRead read = image_read_line(&reader);
        if (read == IMAGE_READ_FAILED) {
            console_print("Can't open %s!\n", path);
            return EXIT_IMAGE;
        }
        if (read != IMAGE_READ_LINE) {
            return image_changed();
        }
        std::uint32_t address = 0;
        switch (image_classify_line(reader.line, reader.length, &record, &base, &address)) {
            case LINE_END:
                if (reader.digest != checked.digest || records != checked.data_records) {
                    return image_changed();
                }
                console_print("\nImage has been written successfully\n");
                return EXIT_WRITTEN;
            case LINE_SKIP:
                break;
            case LINE_DATA: {
                ++records;
                if (records > checked.data_records ||
                    std::memcmp(checked.bytes + address, record.data,
                                static_cast<std::size_t>(record.length)) != 0) {
                    return image_changed();
                }
                if (interrupt_signal() != INTERRUPT_NONE) {
                    return RUN_INTERRUPTED;
                }
                int status = write_record(handle, record, address);
                if (status != EXIT_WRITTEN) {
                    return status;
                }
                ++counter;
                if (counter % kRecordsPerDot == 0) {
                    console_print(".");
                }
                if (counter == kRecordsPerLine) {
                    console_print("\n");
                    counter = 0;
                }
                break;
            }
            default:
                return image_changed();
        }
    }
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
    int status = check_image(file, path);
    if (status == EXIT_WRITTEN && interrupt_signal() != INTERRUPT_NONE) {
        status = RUN_INTERRUPTED;
    }
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
    // From here on an interrupt must not leave the pins driven and the
    // interface claimed: it is noted and the run stops at its next record.
    interrupt_arm();
    int status = run_steps(handle, path);
    mpsse_release(handle);
    FT_Close(handle);
    interrupt_disarm();
    if (status == RUN_INTERRUPTED) {
        console_print("Interrupted!\n");
        status = interrupt_status();
    }
    console_print("Process completed.\n");
    return status;
}
