// The status registers and the block protection, in the part's own terms.
#include "nor/nor.h"

int nor_read_status(nor_chip* chip, std::uint8_t* status) {
    link_unit(chip, "status", 0);
    std::uint32_t attempts = 0;
    for (;;) {
        nor_queue_status(chip);
        const int result = link_flush(chip, status);
        if (result == LINK_OK || !nor_retry(chip, &attempts)) {
            return result;
        }
    }
}

int nor_read_status_word(nor_chip* chip, std::uint16_t* status) {
    std::uint8_t answer[2] = {};
    const bool two = chip->part->status.two_registers;
    link_unit(chip, "status", 0);
    int result = nor_ask(chip, answer, [chip, two] {
        nor_queue_status(chip);
        if (two) {
            link_transaction(chip, CHIP_INS_RDSR2, nullptr, 0, 1);
        }
    });
    *status = static_cast<std::uint16_t>(answer[0] | (two ? answer[1] << 8 : 0));
    return result;
}

int nor_read_status_twice(nor_chip* chip, std::uint16_t* status) {
    constexpr int kReads = 4;
    std::uint16_t last = 0;
    for (int n = 0; n < kReads; ++n) {
        const int result = nor_read_status_word(chip, status);
        if (result != LINK_OK) {
            return result;
        }
        if (n > 0 && *status == last) {
            return LINK_OK;
        }
        last = *status;
    }
    return NOR_REFUSED;
}

namespace {

// WREN and 0x01 with both registers (one where the part has one); where the
// part takes register 2 only with 0x31, 0x01 with register 1, then WREN and
// 0x31 once that write has ended.
int send_status(nor_chip* chip, std::uint16_t value) {
    const chip_status_layout& layout = chip->part->status;
    const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(value),
                                   static_cast<std::uint8_t>(value >> 8)};
    const bool alone = layout.two_registers && layout.needs_wrsr2;
    std::uint8_t now = 0;
    link_transaction(chip, CHIP_INS_WREN, nullptr, 0, 0);
    link_transaction(chip, CHIP_INS_WRSR, bytes, layout.two_registers && !alone ? 2 : 1, 0);
    int result = link_flush(chip, nullptr);
    if (result == LINK_OK) {
        result = nor_wait_ready(chip, CHIP_WAIT_MS, 0, &now);
    }
    if (result != LINK_OK || !alone) {
        return result;
    }
    link_transaction(chip, CHIP_INS_WREN, nullptr, 0, 0);
    link_transaction(chip, CHIP_INS_WRSR2, bytes + 1, 1, 0);
    result = link_flush(chip, nullptr);
    return result == LINK_OK ? nor_wait_ready(chip, CHIP_WAIT_MS, 0, &now) : result;
}

void say(std::string* refusal, const std::string& why) {
    if (refusal != nullptr) {
        *refusal = why;
    }
}

}  // namespace

int nor_set_protection(nor_chip* chip, std::uint16_t protection, nor_srwd srwd,
                       std::string* refusal) {
    const chip_part& part = *chip->part;
    std::uint16_t read = 0;
    std::uint8_t now = 0;
    int result = nor_wait_ready(chip, CHIP_WAIT_MS, 0, &now);
    if (result == LINK_OK) {
        result = nor_read_status_twice(chip, &read);
    }
    if (result == NOR_REFUSED) {
        say(refusal, "the status registers read differently each time: not written");
    }
    if (result != LINK_OK) {
        return result;
    }
    const std::string why = chip_status_refusal(part, read);
    if (!why.empty()) {
        say(refusal, why);
        return NOR_REFUSED;
    }
    std::uint16_t value = chip_status_to_write(part, read, protection);
    if (srwd == NOR_SRWD_SET) {
        value = static_cast<std::uint16_t>(value | part.status.srwd);
    } else if (srwd == NOR_SRWD_CLEAR) {
        value = static_cast<std::uint16_t>(value & ~part.status.srwd);
    }
    result = send_status(chip, value);
    std::uint16_t after = 0;
    if (result == LINK_OK) {
        result = nor_read_status_word(chip, &after);
    }
    if (result != LINK_OK) {
        return result;
    }
    const std::uint16_t checked = chip_status_checked(part);
    const std::uint16_t meant = chip_status_expected(part, read, value);
    return (after & checked) == (meant & checked) ? LINK_OK : LINK_ERR_MISMATCH;
}

int nor_protect_all(nor_chip* chip, bool lock, std::uint16_t* status, std::string* refusal) {
    // The BP value that covers the whole array on every die under the ID
    // (every BP bit unless the row says otherwise), bottom/sector/complement
    // bits clear.
    const chip_status_layout& layout = chip->part->status;
    const auto whole = layout.bp_whole != 0
                           ? static_cast<std::uint16_t>(layout.bp_whole << layout.bp_shift)
                           : layout.bp;
    int result = nor_set_protection(chip, whole, lock ? NOR_SRWD_SET : NOR_SRWD_KEEP, refusal);
    int read = nor_read_status_word(chip, status);
    return result != LINK_OK ? result : read;
}

int nor_unprotect_all(nor_chip* chip, std::uint16_t* status, std::string* refusal) {
    int result = nor_set_protection(chip, 0, NOR_SRWD_CLEAR, refusal);
    int read = nor_read_status_word(chip, status);
    return result != LINK_OK ? result : read;
}
