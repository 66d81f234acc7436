// The chip operations built on the command queue: waits, erases, reads,
// status and identification.
#include <cstring>

#include "fastflash/link.h"
#include "mpsse/d2xx.h"

namespace {
constexpr std::uint64_t REPORT_MS = 100;  // progress while an erase runs
}  // namespace

int link_wait_ready(fast_link* link, std::uint64_t bound_ms, std::uint32_t pause_ms,
                    std::uint8_t* status) {
    const std::uint64_t start = link_now_ms();
    std::uint32_t attempts = 0;
    for (;;) {
        link_status(link);
        std::uint8_t value = 0xFF;
        const int result = link_flush(link, &value);
        if (result == FAST_OK) {
            *status = value;
            if ((value & CHIP_SR_WIP) == 0) {
                return FAST_OK;
            }
        } else if (!link_recover(link, &attempts)) {
            return result;
        }
        if (link_now_ms() - start >= bound_ms) {
            return FAST_ERR_TRANSFER;
        }
        Sleep(pause_ms > 0 ? pause_ms : 1);
    }
}

namespace {

int erase_once(fast_link* link, std::uint8_t instruction, std::uint32_t address,
               const fast_progress* progress, std::uint64_t done, std::uint64_t share,
               std::uint64_t total) {
    std::uint8_t status = 0;
    int result = link_wait_ready(link, FAST_STATUS_WAIT_MS, 1, &status);
    if (result != FAST_OK) {
        return result;
    }
    // WREN, RDSR, the erase, RDSR: the first status shows whether the erase
    // can act (WEL, not busy), the second whether it started.
    std::uint8_t answer[2] = {};
    link_transaction(link, CHIP_INS_WREN, nullptr, 0, 0);
    link_status(link);
    if (instruction == CHIP_INS_BE) {
        link_transaction(link, instruction, nullptr, 0, 0);
    } else {
        link_address(link, instruction, address, nullptr, 0, 0);
    }
    link_status(link);
    result = link_flush(link, answer);
    if (result != FAST_OK) {
        return result;
    }
    const bool enabled = (answer[0] & (CHIP_SR_WEL | CHIP_SR_WIP)) == CHIP_SR_WEL;
    const bool refused = (answer[1] & (CHIP_SR_WEL | CHIP_SR_WIP)) == CHIP_SR_WEL;
    if (!enabled || refused) {
        return FAST_ERR_TRANSFER;  // protected, or a chip that does not obey
    }
    const std::uint64_t typical_ms =
        (instruction == CHIP_INS_BE ? FAST_TYP_CHIP_NS : FAST_TYP_SECTOR_NS) / 1000000;
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
        Sleep(1);
        link_status(link);
        result = link_flush(link, &status);
        if (result == FAST_OK && (status & CHIP_SR_WIP) == 0) {
            link_report(progress, "erase", done + share, total);
            return FAST_OK;
        }
        if (result != FAST_OK && !link_recover(link, &attempts)) {
            return result;
        }
        if (link_now_ms() - start >= FAST_ERASE_WAIT_MS) {
            return FAST_ERR_TRANSFER;
        }
    }
}

}  // namespace

int link_erase(fast_link* link, std::uint8_t instruction, std::uint32_t address,
               const fast_progress* progress, std::uint64_t done, std::uint64_t share,
               std::uint64_t total) {
    // Erasing again what a lost transfer may have erased is harmless, and
    // the erased sectors are read back at the end.
    link_unit(link, "erase", address);
    std::uint32_t attempts = 0;
    for (;;) {
        const int result = erase_once(link, instruction, address, progress, done, share, total);
        if (result == FAST_OK || !link_retry(link, &attempts)) {
            return result;
        }
    }
}

int link_read(fast_link* link, std::uint32_t address, std::uint32_t length, std::uint8_t* out,
              const std::uint8_t* expect, std::int64_t* first_difference, const char* phase,
              const fast_progress* progress, std::uint64_t done_before, std::uint64_t total) {
    // A chunk takes at most a quarter of a second at the clock set, well
    // inside the read time-out.
    std::uint32_t chunk = link->clock_hz / 8 / 4;
    chunk = chunk < 16 ? 16 : chunk;
    chunk = chunk > FAST_IN_SIZE - 64 ? FAST_IN_SIZE - 64 : chunk;
    std::uint32_t done = 0;
    std::uint32_t attempts = 0;
    const std::uint8_t dummy = 0;
    while (done < length) {
        const std::uint32_t n = length - done < chunk ? length - done : chunk;
        const std::uint32_t from = (address + done) & (FAST_CHIP_SIZE - 1);
        link_unit(link, phase, from);
        link_status(link);
        link_address(link, CHIP_INS_FAST_READ, from, &dummy, 1, n);
        int result = link_flush(link, link->in);
        if (result != FAST_OK) {
            if (link_retry(link, &attempts)) {
                continue;  // the chunk again: nothing of it was taken
            }
            return result;
        }
        attempts = 0;
        if ((link->in[0] & CHIP_SR_WIP) != 0) {
            // Busy: the chip ignored the read. Wait and read again.
            std::uint8_t status = 0;
            result = link_wait_ready(link, FAST_STATUS_WAIT_MS, 1, &status);
            if (result != FAST_OK) {
                return result;
            }
            continue;
        }
        const std::uint8_t* data = link->in + 1;
        if (out != nullptr) {
            std::memcpy(out + done, data, n);
        }
        if (expect != nullptr && std::memcmp(expect + done, data, n) != 0) {
            std::uint32_t at = 0;
            while (expect[done + at] == data[at]) {
                ++at;
            }
            *first_difference = static_cast<std::int64_t>(address + done + at);
            return FAST_ERR_MISMATCH;
        }
        done += n;
        link_report(progress, phase, done_before + done, total);
    }
    return FAST_OK;
}

int fast_read_status(fast_link* link, std::uint8_t* status) {
    link_unit(link, "status", 0);
    std::uint32_t attempts = 0;
    for (;;) {
        link_status(link);
        const int result = link_flush(link, status);
        if (result == FAST_OK || !link_retry(link, &attempts)) {
            return result;
        }
    }
}

int fast_read_id(fast_link* link, std::uint8_t id[3]) {
    link_unit(link, "id", 0);
    std::uint32_t attempts = 0;
    for (;;) {
        // RDID is ignored while the chip is busy (it would read 0xFF).
        std::uint8_t status = 0;
        int result = link_wait_ready(link, FAST_STATUS_WAIT_MS, 1, &status);
        if (result == FAST_OK) {
            link_transaction(link, CHIP_INS_RDID, nullptr, 0, 3);
            result = link_flush(link, id);
        }
        if (result == FAST_OK || !link_retry(link, &attempts)) {
            return result;
        }
    }
}

int fast_write_status(fast_link* link, std::uint8_t status) {
    link_unit(link, "status", 0);
    std::uint8_t now = 0;
    std::uint32_t attempts = 0;
    int result = FAST_OK;
    do {
        // WRSR again after a lost transfer writes the same bits: harmless,
        // and what the register holds is read back below.
        result = link_wait_ready(link, FAST_STATUS_WAIT_MS, 1, &now);
        if (result == FAST_OK) {
            link_transaction(link, CHIP_INS_WREN, nullptr, 0, 0);
            link_transaction(link, CHIP_INS_WRSR, &status, 1, 0);
            result = link_flush(link, nullptr);
        }
        if (result == FAST_OK) {
            result = link_wait_ready(link, FAST_STATUS_WAIT_MS, 1, &now);
        }
    } while (result != FAST_OK && link_retry(link, &attempts));
    if (result != FAST_OK) {
        return result;
    }
    const std::uint8_t stored = CHIP_M25P16.sr_srwd | CHIP_M25P16.sr_bp_mask;  // what WRSR keeps
    return (now & stored) == (status & stored) ? FAST_OK : FAST_ERR_MISMATCH;
}

int fast_protect_all(fast_link* link, bool lock, std::uint8_t* status) {
    const std::uint8_t wanted =
        static_cast<std::uint8_t>(CHIP_M25P16.sr_bp_mask | (lock ? CHIP_M25P16.sr_srwd : 0));
    int result = fast_write_status(link, wanted);
    int read = fast_read_status(link, status);
    return result != FAST_OK ? result : read;
}

int fast_unprotect_all(fast_link* link, std::uint8_t* status) {
    int result = fast_write_status(link, 0);
    int read = fast_read_status(link, status);
    return result != FAST_OK ? result : read;
}

int fast_read_unique_id(fast_link* link, std::uint8_t out[FAST_UNIQUE_ID_MAX],
                        std::uint32_t* length) {
    *length = 0;
    std::uint8_t status = 0;
    int result = link_wait_ready(link, FAST_STATUS_WAIT_MS, 0, &status);
    if (result != FAST_OK) {
        return result;
    }
    // Maker, type, capacity, the count of factory data bytes, the bytes.
    std::uint8_t answer[4 + FAST_UNIQUE_ID_MAX] = {};
    link_transaction(link, CHIP_INS_RDID, nullptr, 0, sizeof answer);
    result = link_flush(link, answer);
    if (result != FAST_OK) {
        return result;
    }
    std::uint32_t count = answer[3] < FAST_UNIQUE_ID_MAX ? answer[3] : FAST_UNIQUE_ID_MAX;
    bool zeros = true, ones = true;
    for (std::uint32_t i = 0; i < count; ++i) {
        out[i] = answer[4 + i];
        zeros = zeros && out[i] == 0x00;
        ones = ones && out[i] == 0xFF;
    }
    *length = zeros || ones ? 0 : count;
    return FAST_OK;
}

int fast_read(fast_link* link, std::uint32_t address, std::uint8_t* out, std::uint32_t length,
              const fast_progress* progress) {
    return link_read(link, address, length, out, nullptr, nullptr, "read", progress, 0, length);
}

int fast_chip_erase(fast_link* link, const fast_progress* progress) {
    return link_erase(link, CHIP_INS_BE, 0, progress, 0, FAST_CHIP_SIZE, FAST_CHIP_SIZE);
}
