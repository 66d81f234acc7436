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

int nor_write_status(nor_chip* chip, std::uint8_t status) {
    link_unit(chip, "status", 0);
    std::uint8_t now = 0;
    std::uint32_t attempts = 0;
    int result = LINK_OK;
    do {
        // WRSR again after a lost transfer writes the same bits: harmless,
        // and what the register holds is read back below.
        result = nor_wait_ready(chip, CHIP_WAIT_MS, 1, &now);
        if (result == LINK_OK) {
            link_transaction(chip, CHIP_INS_WREN, nullptr, 0, 0);
            link_transaction(chip, CHIP_INS_WRSR, &status, 1, 0);
            result = link_flush(chip, nullptr);
        }
        if (result == LINK_OK) {
            result = nor_wait_ready(chip, CHIP_WAIT_MS, 1, &now);
        }
    } while (result != LINK_OK && nor_retry(chip, &attempts));
    if (result != LINK_OK) {
        return result;
    }
    // What WRSR keeps: SRWD and the protection bits of register 1.
    const auto stored =
        static_cast<std::uint8_t>(chip->part->status.srwd | chip_protection_bits(*chip->part));
    return (now & stored) == (status & stored) ? LINK_OK : LINK_ERR_MISMATCH;
}

int nor_read_status_word(nor_chip* chip, std::uint16_t* status) {
    std::uint8_t answer[2] = {};
    nor_queue_status(chip);
    const bool two = chip->part->status.two_registers;
    if (two) {
        link_transaction(chip, CHIP_INS_RDSR2, nullptr, 0, 1);
    }
    int result = link_flush(chip, answer);
    *status = static_cast<std::uint16_t>(answer[0] | (two ? answer[1] << 8 : 0));
    return result;
}

int nor_set_protection(nor_chip* chip, std::uint16_t protection, nor_srwd srwd) {
    const chip_part& part = *chip->part;
    std::uint16_t read = 0;
    std::uint8_t now = 0;
    int result = nor_wait_ready(chip, CHIP_WAIT_MS, 0, &now);
    if (result == LINK_OK) {
        result = nor_read_status_word(chip, &read);
    }
    if (result != LINK_OK) {
        return result;
    }
    // Register 2 goes as 0x01's second byte: the older dies of a family take
    // it no other way, the newer accept it too.
    std::uint16_t value = chip_status_to_write(part, read, protection);
    if (srwd == NOR_SRWD_SET) {
        value = static_cast<std::uint16_t>(value | part.status.srwd);
    } else if (srwd == NOR_SRWD_CLEAR) {
        value = static_cast<std::uint16_t>(value & ~part.status.srwd);
    }
    const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(value),
                                   static_cast<std::uint8_t>(value >> 8)};
    link_transaction(chip, CHIP_INS_WREN, nullptr, 0, 0);
    link_transaction(chip, CHIP_INS_WRSR, bytes, part.status.two_registers ? 2 : 1, 0);
    result = link_flush(chip, nullptr);
    if (result == LINK_OK) {
        result = nor_wait_ready(chip, CHIP_WAIT_MS, 0, &now);
    }
    if (result == LINK_OK) {
        result = nor_read_status_word(chip, &read);
    }
    if (result != LINK_OK) {
        return result;
    }
    const std::uint16_t field = chip_protection_bits(part);
    return (read & field) == (protection & field) ? LINK_OK : LINK_ERR_MISMATCH;
}

int nor_protect_all(nor_chip* chip, bool lock, std::uint16_t* status) {
    // Every block-protect bit set, bottom/sector/complement bits clear: the
    // whole array on each part of the table.
    int result =
        nor_set_protection(chip, chip->part->status.bp, lock ? NOR_SRWD_SET : NOR_SRWD_KEEP);
    int read = nor_read_status_word(chip, status);
    return result != LINK_OK ? result : read;
}

int nor_unprotect_all(nor_chip* chip, std::uint16_t* status) {
    int result = nor_set_protection(chip, 0, NOR_SRWD_CLEAR);
    int read = nor_read_status_word(chip, status);
    return result != LINK_OK ? result : read;
}
