#include "flash/flash.h"
#include "flash/frame.h"
#include "d2xx/d2xx.h"
#include "host/output.h"

namespace {

// A "." every 1024 polls of a wait, counted down from FLASH_WAIT_POLLS.
constexpr std::int32_t DOT_MASK = 0x3FF;
// A "\n" every 8 busy waits of a chip erase: lines of 80 dots.
constexpr std::int32_t LINE_MASK = 7;

// The RDSR frame; its answer goes behind it, so one frame serves every poll.
std::uint32_t frame_read_status(std::uint8_t* frame) {
    std::uint32_t at = frame_instruction(frame, FRAME_SIZE, FLASH_INS_RDSR);
    at = frame_bits_in(frame, at);
    return frame_close(frame, at, FRAME_SIZE);
}

// One wait: polls until WIP clears (0), or busy (1) once FLASH_WAIT_POLLS
// polls were made or the driver clock has reached `deadline`; a wait ended by
// time ends as one ended by its count, with the dots of the polls it made.
// Sets *dotted when it prints a dot.
std::int32_t wait_until(FT_HANDLE handle, std::uint64_t deadline, bool* dotted) {
    std::uint8_t frame[FRAME_SIZE];
    const std::uint32_t length = frame_read_status(frame);
    const std::uint8_t* answer = frame + length;
    // Until a poll succeeds the chip counts as busy, so failed polls never
    // pass for "ready".
    std::uint32_t current = FLASH_STATUS_WIP;
    std::int32_t polls = FLASH_WAIT_POLLS;
    do {
        --polls;
        if (frame_send(handle, frame, length) && frame_receive(handle, frame + length, 1)) {
            current = *answer;
        }
        if ((current & FLASH_STATUS_WIP) == 0) {
            return 0;
        }
        if ((polls & DOT_MASK) == 0) {
            output_print(".");
            *dotted = true;
        }
    } while (polls > 0 && d2xx_clock_ms() < deadline);
    return 1;
}

// The waits of an erase whose instruction went out at `start`: at most
// FLASH_ERASE_WAITS waits, none reaching past FLASH_ERASE_MS after `start`.
// 0 ready, 1 still busy. With `lines`, a "\n" every 8 busy waits and when the
// chip is ready, and one ending a line of dots that the time bound cut short.
std::int32_t erase_wait(FT_HANDLE handle, std::uint64_t start, bool lines) {
    const std::uint64_t give_up = start + FLASH_ERASE_MS;
    bool line_open = false;
    std::int32_t waits = FLASH_ERASE_WAITS;
    do {
        --waits;
        const std::uint64_t now = d2xx_clock_ms();
        const std::uint64_t deadline =
            now + FLASH_WAIT_MS < give_up ? now + FLASH_WAIT_MS : give_up;
        if (wait_until(handle, deadline, &line_open) == 0) {
            if (lines) {
                output_print("\n");
            }
            return 0;
        }
        if (lines && (waits & LINE_MASK) == 0) {
            output_print("\n");
            line_open = false;
        }
    } while (waits > 0 && d2xx_clock_ms() < give_up);
    if (lines && line_open) {
        output_print("\n");
    }
    return 1;
}

}  // namespace

std::int32_t flash_command(FT_HANDLE handle, std::uint8_t instruction) {
    std::uint8_t frame[FRAME_SIZE];
    std::uint32_t length = frame_instruction(frame, FRAME_SIZE, instruction);
    length = frame_close(frame, length, FRAME_SIZE);
    return frame_send(handle, frame, length) ? FLASH_OK : FLASH_ERR_TRANSFER;
}

std::int32_t flash_read_status(FT_HANDLE handle, std::uint32_t* status_out) {
    std::uint8_t frame[FRAME_SIZE];
    const std::uint32_t length = frame_read_status(frame);
    if (!frame_send(handle, frame, length) || !frame_receive(handle, frame + length, 1)) {
        return FLASH_ERR_TRANSFER;
    }
    *status_out = frame[length];
    return FLASH_OK;
}

std::int32_t flash_wait_ready(FT_HANDLE handle) {
    bool dotted = false;
    return wait_until(handle, d2xx_clock_ms() + FLASH_WAIT_MS, &dotted);
}

std::int32_t flash_read_id(FT_HANDLE handle, std::uint32_t* manufacturer_out,
                           std::uint32_t* device_out, std::uint32_t* status_out) {
    std::uint8_t frame[FRAME_SIZE];
    std::uint32_t length = frame_instruction(frame, FRAME_SIZE, FLASH_INS_RDID);
    length = frame_bytes_in(frame, length, FLASH_ID_SIZE);
    length = frame_close(frame, length, FRAME_SIZE);
    const std::uint8_t* id = frame + length;
    if (!frame_send(handle, frame, length) ||
        !frame_receive(handle, frame + length, FLASH_ID_SIZE)) {
        return FLASH_ERR_TRANSFER;
    }
    *manufacturer_out = id[0];
    *device_out = std::uint32_t{id[1]} << 8 | id[2];
    return flash_read_status(handle, status_out);
}

std::int32_t flash_chip_erase(FT_HANDLE handle) {
    if (flash_command(handle, FLASH_INS_WREN) != FLASH_OK ||
        flash_command(handle, FLASH_INS_BE) != FLASH_OK) {
        return FLASH_ERR_TRANSFER;
    }
    if (erase_wait(handle, d2xx_clock_ms(), true) == 0) {
        return flash_command(handle, FLASH_INS_WRDI);
    }
    // Still erasing: WRDI would be ignored by a busy chip anyway.
    return FLASH_ERR_TRANSFER;
}

std::int32_t flash_sector_erase(FT_HANDLE handle, std::int32_t sector) {
    std::uint32_t first = 0;
    std::uint32_t last = 0;
    if (flash_sector_bounds(&first, &last, sector) != FLASH_OK) {
        return FLASH_ERR_RANGE;
    }
    if (flash_command(handle, FLASH_INS_WREN) != FLASH_OK) {
        return FLASH_ERR_TRANSFER;
    }
    std::uint8_t frame[FRAME_SIZE];
    std::uint32_t length = frame_address(frame, FRAME_SIZE, FLASH_INS_SE, first, 0);
    length = frame_close(frame, length, FRAME_SIZE);
    if (!frame_send(handle, frame, length)) {
        return FLASH_ERR_TRANSFER;
    }
    if (erase_wait(handle, d2xx_clock_ms(), false) == 0) {
        return flash_command(handle, FLASH_INS_WRDI);
    }
    return FLASH_ERR_TRANSFER;
}
