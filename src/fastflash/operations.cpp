// The chip operations built on the command queue: waits, erases, reads,
// status and identification.
#include <cstring>

#include "fastflash/link.h"
#include "d2xx/d2xx.h"

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

int erase_once(fast_link* link, const chip_erase_type& type, std::uint32_t address,
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
    if (type.size == 0) {
        link_transaction(link, type.opcode, nullptr, 0, 0);
    } else {
        link_address(link, type.opcode, address, nullptr, 0, 0);
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
        if (link_now_ms() - start >= bound_ms) {
            return FAST_ERR_TRANSFER;
        }
    }
}

}  // namespace

int link_erase(fast_link* link, const chip_erase_type& type, std::uint32_t address,
               const fast_progress* progress, std::uint64_t done, std::uint64_t share,
               std::uint64_t total) {
    // Erasing again what a lost transfer may have erased is harmless, and
    // the erased sectors are read back at the end.
    link_unit(link, "erase", address);
    std::uint32_t attempts = 0;
    for (;;) {
        const int result = erase_once(link, type, address, progress, done, share, total);
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
    // What WRSR keeps: SRWD and the protection bits of register 1.
    const auto stored =
        static_cast<std::uint8_t>(link->part->status.srwd | chip_protection_bits(*link->part));
    return (now & stored) == (status & stored) ? FAST_OK : FAST_ERR_MISMATCH;
}

int fast_read_status_word(fast_link* link, std::uint16_t* status) {
    std::uint8_t answer[2] = {};
    link_status(link);
    const bool two = link->part->status.two_registers;
    if (two) {
        link_transaction(link, CHIP_INS_RDSR2, nullptr, 0, 1);
    }
    int result = link_flush(link, answer);
    *status = static_cast<std::uint16_t>(answer[0] | (two ? answer[1] << 8 : 0));
    return result;
}

int fast_set_protection(fast_link* link, std::uint16_t protection, fast_srwd srwd) {
    const chip_part& part = *link->part;
    std::uint16_t read = 0;
    std::uint8_t now = 0;
    int result = link_wait_ready(link, FAST_STATUS_WAIT_MS, 0, &now);
    if (result == FAST_OK) {
        result = fast_read_status_word(link, &read);
    }
    if (result != FAST_OK) {
        return result;
    }
    // Register 2 goes as 0x01's second byte: the older dies of a family take
    // it no other way, the newer accept it too.
    std::uint16_t value = chip_status_to_write(part, read, protection);
    if (srwd == FAST_SRWD_SET) {
        value = static_cast<std::uint16_t>(value | part.status.srwd);
    } else if (srwd == FAST_SRWD_CLEAR) {
        value = static_cast<std::uint16_t>(value & ~part.status.srwd);
    }
    const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(value),
                                   static_cast<std::uint8_t>(value >> 8)};
    link_transaction(link, CHIP_INS_WREN, nullptr, 0, 0);
    link_transaction(link, CHIP_INS_WRSR, bytes, part.status.two_registers ? 2 : 1, 0);
    result = link_flush(link, nullptr);
    if (result == FAST_OK) {
        result = link_wait_ready(link, FAST_STATUS_WAIT_MS, 0, &now);
    }
    if (result == FAST_OK) {
        result = fast_read_status_word(link, &read);
    }
    if (result != FAST_OK) {
        return result;
    }
    const std::uint16_t field = chip_protection_bits(part);
    return (read & field) == (protection & field) ? FAST_OK : FAST_ERR_MISMATCH;
}

int fast_read_unique_id(fast_link* link, std::uint8_t* id, std::uint32_t* length) {
    *length = 0;
    if (link->part->unique_id != CHIP_UID_RUID) {
        return FAST_OK;
    }
    const std::uint8_t dummy[4] = {};
    link_transaction(link, CHIP_INS_RUID, dummy, 4, link->part->unique_id_bytes);
    int result = link_flush(link, id);
    if (result == FAST_OK) {
        *length = link->part->unique_id_bytes;
    }
    return result;
}

void fast_force_part(fast_link* link, const std::uint8_t id[3]) {
    link->own = CHIP_FORCED_PART;
    link->own.jedec_id = static_cast<std::uint32_t>(id[0] << 16 | id[1] << 8 | id[2]);
    link->part = &link->own;
}

int fast_identify(fast_link* link, fast_identity* identity) {
    *identity = fast_identity{};
    identity->found = FAST_FOUND_NONE;
    // RES with S# raised after the opcode wakes a part left in deep
    // power-down; it hears instructions again after tRES.
    link_transaction(link, CHIP_INS_RES, nullptr, 0, 0);
    link_pause(link, std::uint64_t{CHIP_RES_WAKE_US} * 1000);
    link_transaction(link, CHIP_INS_RDID, nullptr, 0, 3);
    link_status(link);
    std::uint8_t answer[4] = {};
    int result = link_flush(link, answer);
    if (result != FAST_OK) {
        return result;
    }
    // A busy chip ignores RDID: wait for it, unless nothing answers at all
    // (a floating line reads status 0xFF, a line held low 0x00).
    if ((answer[3] & CHIP_SR_WIP) != 0 && answer[3] != 0xFF) {
        result = fast_read_id(link, answer);
        if (result != FAST_OK) {
            return result;
        }
    }
    std::memcpy(identity->id, answer, 3);
    const bool ones = answer[0] == 0xFF && answer[1] == 0xFF && answer[2] == 0xFF;
    const bool zeros = answer[0] == 0x00 && answer[1] == 0x00 && answer[2] == 0x00;
    if (ones || zeros) {
        return FAST_OK;
    }
    const std::uint32_t jedec_id =
        static_cast<std::uint32_t>(answer[0] << 16 | answer[1] << 8 | answer[2]);
    if (const chip_part* part = chip_find(jedec_id)) {
        link->part = part;
        identity->found = FAST_FOUND_TABLE;
        return FAST_OK;
    }
    identity->found = FAST_FOUND_UNKNOWN;
    // SFDP: the header and the first parameter header, then the BFPT.
    const std::uint8_t dummy = 0;
    std::uint8_t header[16] = {};
    link_address(link, CHIP_INS_SFDP, 0, &dummy, 1, sizeof header);
    result = link_flush(link, header);
    std::uint32_t address = 0, dwords = 0;
    if (result != FAST_OK || !chip_sfdp_header(header, &address, &dwords)) {
        return result;
    }
    identity->sfdp_read = true;
    dwords = dwords < CHIP_BFPT_DWORDS ? dwords : CHIP_BFPT_DWORDS;
    std::uint8_t table[4 * CHIP_BFPT_DWORDS] = {};
    link_address(link, CHIP_INS_SFDP, address, &dummy, 1, 4 * dwords);
    result = link_flush(link, table);
    if (result == FAST_OK && chip_from_bfpt(table, dwords, FAST_CHIP_SIZE, jedec_id, &link->own)) {
        link->part = &link->own;
        identity->found = FAST_FOUND_SFDP;
    }
    return result;
}

int fast_protect_all(fast_link* link, bool lock, std::uint16_t* status) {
    // Every block-protect bit set, bottom/sector/complement bits clear: the
    // whole array on each part of the table.
    int result =
        fast_set_protection(link, link->part->status.bp, lock ? FAST_SRWD_SET : FAST_SRWD_KEEP);
    int read = fast_read_status_word(link, status);
    return result != FAST_OK ? result : read;
}

int fast_unprotect_all(fast_link* link, std::uint16_t* status) {
    int result = fast_set_protection(link, 0, FAST_SRWD_CLEAR);
    int read = fast_read_status_word(link, status);
    return result != FAST_OK ? result : read;
}

int fast_read(fast_link* link, std::uint32_t address, std::uint8_t* out, std::uint32_t length,
              const fast_progress* progress) {
    return link_read(link, address, length, out, nullptr, nullptr, "read", progress, 0, length);
}

int fast_chip_erase(fast_link* link, const fast_progress* progress) {
    const chip_erase_type* whole = chip_whole_erase(*link->part);
    return link_erase(link, *whole, 0, progress, 0, FAST_CHIP_SIZE, FAST_CHIP_SIZE);
}
