// Which chip answers: a reset, RES, RDID, the chip table, then SFDP; and its
// unique ID.
#include <cstring>

#include "nor/nor.h"

int nor_read_id(nor_chip* chip, std::uint8_t id[3]) {
    link_unit(chip, "id", 0);
    std::uint32_t attempts = 0;
    for (;;) {
        // RDID is ignored while the chip is busy (it would read 0xFF).
        std::uint8_t status = 0;
        int result = nor_wait_ready(chip, CHIP_WAIT_MS, 1, &status);
        if (result == LINK_OK) {
            link_transaction(chip, CHIP_INS_RDID, nullptr, 0, 3);
            result = link_flush(chip, id);
        }
        if (result == LINK_OK || !nor_retry(chip, &attempts)) {
            return result;
        }
    }
}

void nor_force_part(nor_chip* chip, const std::uint8_t id[3]) {
    chip->own = CHIP_FORCED_PART;
    chip->own.jedec_id = static_cast<std::uint32_t>(id[0] << 16 | id[1] << 8 | id[2]);
    chip->part = &chip->own;
}

namespace {

// The SFDP header and the BFPT behind it into table (4 * CHIP_BFPT_DWORDS
// bytes); *dwords 0 when the chip has no valid header.
int read_bfpt(nor_chip* chip, std::uint8_t* table, std::uint32_t* dwords) {
    const std::uint8_t dummy = 0;
    std::uint8_t header[16] = {};
    *dwords = 0;
    int result = nor_ask(chip, header, [chip, &dummy] {
        link_address(chip, CHIP_INS_SFDP, 0, &dummy, 1, sizeof header);
    });
    std::uint32_t address = 0, count = 0;
    if (result != LINK_OK || !chip_sfdp_header(header, &address, &count)) {
        return result;
    }
    count = count < CHIP_BFPT_DWORDS ? count : CHIP_BFPT_DWORDS;
    result = nor_ask(chip, table, [chip, &dummy, address, count] {
        link_address(chip, CHIP_INS_SFDP, address, &dummy, 1, 4 * count);
    });
    *dwords = result == LINK_OK ? count : 0;
    return result;
}

// SFDP for a part with no row. A part is taken at CHIP_MAX_SIZE only: the
// size every buffer above is laid out for.
int identify_by_sfdp(nor_chip* chip, std::uint32_t jedec_id, nor_identity* identity) {
    std::uint8_t table[4 * CHIP_BFPT_DWORDS] = {};
    std::uint32_t dwords = 0;
    const int result = read_bfpt(chip, table, &dwords);
    identity->sfdp_read = dwords != 0;
    if (dwords != 0 && chip_from_bfpt(table, dwords, CHIP_MAX_SIZE, jedec_id, &chip->own)) {
        chip->part = &chip->own;
        identity->found = NOR_FOUND_SFDP;
        identity->sfdp_confirmed = true;
    }
    return result;
}

// A row's part as this die is: where the die's SFDP is usable, the erases
// both agree on; without it those every die under the ID performs alike.
int identify_die(nor_chip* chip, const chip_part& row, nor_identity* identity) {
    std::uint8_t table[4 * CHIP_BFPT_DWORDS] = {};
    std::uint32_t dwords = 0;
    const int result = row.sfdp_checked ? read_bfpt(chip, table, &dwords) : LINK_OK;
    if (result != LINK_OK) {
        return result;
    }
    chip_part checked{};
    identity->sfdp_read = dwords != 0;
    identity->sfdp_confirmed =
        dwords != 0 && chip_from_bfpt(table, dwords, row.size, row.jedec_id, &checked);
    chip_sfdp_erase erases[CHIP_ERASE_TYPES] = {};
    chip_bfpt_erases(table, erases);
    chip->own = chip_die_part(row, identity->sfdp_confirmed ? erases : nullptr);
    chip->part = &chip->own;
    return LINK_OK;
}

// Before the ID: ones to end a continuous-read mode the board's processor
// may have left, then the software reset; a part knowing neither ignores
// them (an unknown instruction is ignored by every part of the table, and
// one in deep power-down hears only RES). Then RES with S# raised after the
// opcode wakes a part left in deep power-down; it hears instructions again
// after tRES.
void queue_reset_and_wake(nor_chip* chip) {
    const std::uint8_t ones[CHIP_MODE_RESET_BYTES - 1] = {CHIP_MODE_RESET};
    link_transaction(chip, CHIP_MODE_RESET, ones, sizeof ones, 0);
    link_transaction(chip, CHIP_INS_RSTEN, nullptr, 0, 0);
    link_transaction(chip, CHIP_INS_RST, nullptr, 0, 0);
    link_pause(chip, std::uint64_t{CHIP_RESET_US} * 1000);
    link_transaction(chip, CHIP_INS_RES, nullptr, 0, 0);
    link_pause(chip, std::uint64_t{CHIP_RES_WAKE_US} * 1000);
}

}  // namespace

int nor_identify(nor_chip* chip, nor_identity* identity) {
    *identity = nor_identity{};
    identity->found = NOR_FOUND_NONE;
    link_unit(chip, "id", 0);
    std::uint8_t answer[4] = {};
    int result = nor_ask(chip, answer, [chip] {
        queue_reset_and_wake(chip);
        link_transaction(chip, CHIP_INS_RDID, nullptr, 0, 3);
        nor_queue_status(chip);
    });
    if (result != LINK_OK) {
        return result;
    }
    // A busy chip ignores RDID: wait for it, unless nothing answers at all
    // (a floating line reads status 0xFF, a line held low 0x00).
    if ((answer[3] & CHIP_SR_WIP) != 0 && answer[3] != 0xFF) {
        result = nor_read_id(chip, answer);
        if (result != LINK_OK) {
            return result;
        }
    }
    std::memcpy(identity->id, answer, 3);
    const bool ones = answer[0] == 0xFF && answer[1] == 0xFF && answer[2] == 0xFF;
    const bool zeros = answer[0] == 0x00 && answer[1] == 0x00 && answer[2] == 0x00;
    if (ones || zeros) {
        return LINK_OK;
    }
    const std::uint32_t jedec_id =
        static_cast<std::uint32_t>(answer[0] << 16 | answer[1] << 8 | answer[2]);
    if (const chip_part* row = chip_find(jedec_id)) {
        identity->found = NOR_FOUND_TABLE;
        return identify_die(chip, *row, identity);
    }
    identity->found = NOR_FOUND_UNKNOWN;
    return identify_by_sfdp(chip, jedec_id, identity);
}

int nor_read_unique_id(nor_chip* chip, std::uint8_t* id, std::uint32_t* length) {
    *length = 0;
    if (chip->part->unique_id != CHIP_UID_RUID) {
        return LINK_OK;
    }
    const std::uint8_t dummy[4] = {};
    link_unit(chip, "id", 0);
    int result = nor_ask(chip, id, [chip, &dummy] {
        link_transaction(chip, CHIP_INS_RUID, dummy, 4, chip->part->unique_id_bytes);
    });
    if (result == LINK_OK) {
        *length = chip->part->unique_id_bytes;
    }
    return result;
}
