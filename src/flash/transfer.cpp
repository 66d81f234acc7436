#include <cstring>

#include "flash/flash.h"
#include "flash/frame.h"

namespace {

// Bytes from `address` to the end of its page, at most `remaining`: chunks
// never cross a page boundary (PP wraps inside its page).
std::uint32_t chunk_length(std::uint32_t address, std::uint32_t remaining) {
    const std::uint32_t to_page_end = FLASH_PAGE_SIZE - (address & (FLASH_PAGE_SIZE - 1));
    return remaining < to_page_end ? remaining : to_page_end;
}

}  // namespace

std::int32_t flash_read(FT_HANDLE handle, std::uint8_t* data, std::uint32_t address,
                        std::uint32_t length) {
    std::uint8_t frame[FRAME_SIZE];
    while (length > 0) {
        const std::uint32_t n = chunk_length(address, length);
        std::uint32_t at = frame_address(frame, FRAME_SIZE, FLASH_INS_READ, address, 0);
        at = frame_bytes_in(frame, at, n);
        at = frame_close(frame, at, FRAME_SIZE);
        // The answer goes straight into the caller's buffer.
        if (!frame_send(handle, frame, at) || !frame_receive(handle, data, n)) {
            return FLASH_ERR_TRANSFER;
        }
        data += n;
        address += n;
        length -= n;
    }
    return FLASH_OK;
}

std::int32_t flash_program(FT_HANDLE handle, const std::uint8_t* data, std::uint32_t address,
                           std::uint32_t length) {
    std::uint8_t frame[PROGRAM_FRAME_SIZE];
    while (length > 0) {
        const std::uint32_t n = chunk_length(address, length);
        if (flash_command(handle, FLASH_INS_WREN) != FLASH_OK) {
            return FLASH_ERR_TRANSFER;
        }
        // The page travels in the same write as its frame and instruction.
        std::uint32_t at = frame_address(frame, PROGRAM_FRAME_SIZE, FLASH_INS_PP, address, n);
        std::memcpy(frame + at, data, n);
        at = frame_close(frame, at + n, PROGRAM_FRAME_SIZE);
        if (!frame_send(handle, frame, at)) {
            return FLASH_ERR_TRANSFER;
        }
        if (flash_wait_ready(handle) != 0) {
            flash_command(handle, FLASH_INS_WRDI);
            return FLASH_ERR_TRANSFER;
        }
        if (flash_command(handle, FLASH_INS_WRDI) != FLASH_OK) {
            return FLASH_ERR_TRANSFER;
        }
        data += n;
        address += n;
        length -= n;
    }
    // Also the whole of a zero-length call.
    return flash_command(handle, FLASH_INS_WRDI);
}
