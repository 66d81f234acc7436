// The chip behind the link: opening, waits, retries, reads and erases.
#include "nor/nor.h"

#include <cstring>

namespace {

constexpr std::uint64_t REPORT_MS = 100;  // progress while an erase runs

int erase_once(nor_chip* chip, const chip_erase_type& type, std::uint32_t address,
               const link_progress* progress, std::uint64_t done, std::uint64_t share,
               std::uint64_t total) {
    std::uint8_t status = 0;
    int result = nor_wait_ready(chip, CHIP_WAIT_MS, 1, &status);
    if (result != LINK_OK) {
        return result;
    }
    // WREN, RDSR, the erase, RDSR: the first status shows whether the erase
    // can act (WEL, not busy), the second whether it started.
    std::uint8_t answer[2] = {};
    link_transaction(chip, CHIP_INS_WREN, nullptr, 0, 0);
    nor_queue_status(chip);
    if (type.size == 0) {
        link_transaction(chip, type.opcode, nullptr, 0, 0);
    } else {
        link_address(chip, type.opcode, address, nullptr, 0, 0);
    }
    nor_queue_status(chip);
    result = link_flush(chip, answer);
    if (result != LINK_OK) {
        return result;
    }
    const bool enabled = (answer[0] & (CHIP_SR_WEL | CHIP_SR_WIP)) == CHIP_SR_WEL;
    const bool refused = (answer[1] & (CHIP_SR_WEL | CHIP_SR_WIP)) == CHIP_SR_WEL;
    if (!enabled || refused) {
        return LINK_ERR_TRANSFER;  // protected, or a chip that does not obey
    }
    const std::uint64_t typical_ms = type.typ_ms != 0 ? type.typ_ms : 1;
    const std::uint64_t bound_ms = chip_erase_type_bound_ms(type);
    const std::uint64_t start = link_now_ms();
    std::uint64_t reported = start;
    std::uint32_t attempts = 0;  // failed polls: the erase goes on meanwhile
    for (;;) {
        std::uint64_t now = link_now_ms();
        if (now - reported >= REPORT_MS) {
            std::uint64_t elapsed = now - start < typical_ms ? now - start : typical_ms;
            link_report(progress, "erase", done + share * elapsed / typical_ms * 99 / 100, total);
            reported = now;
        }
        link_sleep_ms(1);
        nor_queue_status(chip);
        result = link_flush(chip, &status);
        if (result == LINK_OK && (status & CHIP_SR_WIP) == 0) {
            link_report(progress, "erase", done + share, total);
            return LINK_OK;
        }
        if (result != LINK_OK && !link_recover(chip, &attempts)) {
            return result;
        }
        if (link_now_ms() - start >= bound_ms) {
            return LINK_ERR_TRANSFER;
        }
    }
}

}  // namespace

int nor_open(FT_HANDLE handle, std::uint32_t clock_hz, nor_chip* chip) {
    chip->program_ns = 0;
    chip->part = &CHIP_M25P16;
    return link_open(handle, clock_hz != 0 ? clock_hz : NOR_DEFAULT_CLOCK_HZ, chip);
}

void nor_queue_status(nor_chip* chip) {
    link_transaction(chip, CHIP_INS_RDSR, nullptr, 0, 1);
}

std::uint64_t nor_page_ns(const chip_part& part, std::uint32_t clock_hz) {
    return part.page_program_typ_us * 1000ULL +
           link_clocks_ns(nor_page_clocks(part.page_size), clock_hz);
}

int nor_wait_ready(nor_chip* chip, std::uint64_t bound_ms, std::uint32_t pause_ms,
                   std::uint8_t* status) {
    const std::uint64_t start = link_now_ms();
    std::uint32_t attempts = 0;
    for (;;) {
        nor_queue_status(chip);
        std::uint8_t value = 0xFF;
        const int result = link_flush(chip, &value);
        if (result == LINK_OK) {
            *status = value;
            if ((value & CHIP_SR_WIP) == 0) {
                return LINK_OK;
            }
        } else if (!link_recover(chip, &attempts)) {
            return result;
        }
        if (link_now_ms() - start >= bound_ms) {
            return LINK_ERR_TRANSFER;
        }
        link_sleep_ms(pause_ms > 0 ? pause_ms : 1);
    }
}

bool nor_retry(nor_chip* chip, std::uint32_t* attempts) {
    if (!link_recover(chip, attempts)) {
        return false;
    }
    std::uint8_t status = 0;
    return nor_wait_ready(chip, chip_erase_bound_ms(*chip->part), 1, &status) == LINK_OK;
}

int nor_erase(nor_chip* chip, const chip_erase_type& type, std::uint32_t address,
              const link_progress* progress, std::uint64_t done, std::uint64_t share,
              std::uint64_t total) {
    // Erasing again what a lost transfer may have erased is harmless, and
    // the erased sectors are read back at the end.
    link_unit(chip, "erase", address);
    std::uint32_t attempts = 0;
    for (;;) {
        const int result = erase_once(chip, type, address, progress, done, share, total);
        if (result == LINK_OK || !nor_retry(chip, &attempts)) {
            return result;
        }
    }
}

int nor_chip_erase(nor_chip* chip, const link_progress* progress) {
    const chip_erase_type* whole = chip_whole_erase(*chip->part);
    const std::uint32_t size = chip->part->size;
    return nor_erase(chip, *whole, 0, progress, 0, size, size);
}

int nor_read_span(nor_chip* chip, std::uint32_t address, std::uint32_t length, std::uint8_t* out,
                  const std::uint8_t* expect, std::int64_t* first_difference, const char* phase,
                  const link_progress* progress, std::uint64_t done_before, std::uint64_t total) {
    // A chunk takes at most a quarter of a second at the clock set, well
    // inside the read time-out.
    std::uint32_t chunk = chip->clock_hz / 8 / 4;
    chunk = chunk < 16 ? 16 : chunk;
    chunk = chunk > LINK_IN_SIZE - 64 ? LINK_IN_SIZE - 64 : chunk;
    std::uint32_t done = 0;
    std::uint32_t attempts = 0;
    const std::uint8_t dummy = 0;
    while (done < length) {
        const std::uint32_t n = length - done < chunk ? length - done : chunk;
        const std::uint32_t from = (address + done) % chip->part->size;
        link_unit(chip, phase, from);
        nor_queue_status(chip);
        link_address(chip, CHIP_INS_FAST_READ, from, &dummy, 1, n);
        int result = link_flush(chip, chip->in);
        if (result != LINK_OK) {
            if (nor_retry(chip, &attempts)) {
                continue;  // the chunk again: nothing of it was taken
            }
            return result;
        }
        attempts = 0;
        if ((chip->in[0] & CHIP_SR_WIP) != 0) {
            // Busy: the chip ignored the read. Wait and read again.
            std::uint8_t status = 0;
            result = nor_wait_ready(chip, CHIP_WAIT_MS, 1, &status);
            if (result != LINK_OK) {
                return result;
            }
            continue;
        }
        const std::uint8_t* data = chip->in + 1;
        if (out != nullptr) {
            std::memcpy(out + done, data, n);
        }
        if (expect != nullptr && std::memcmp(expect + done, data, n) != 0) {
            std::uint32_t at = 0;
            while (expect[done + at] == data[at]) {
                ++at;
            }
            *first_difference = static_cast<std::int64_t>(address + done + at);
            return LINK_ERR_MISMATCH;
        }
        done += n;
        link_report(progress, phase, done_before + done, total);
    }
    return LINK_OK;
}

int nor_read(nor_chip* chip, std::uint32_t address, std::uint8_t* out, std::uint32_t length,
             const link_progress* progress) {
    return nor_read_span(chip, address, length, out, nullptr, nullptr, "read", progress, 0, length);
}
