// Which chip answers: RES, RDID, the chip table, then SFDP; and its unique ID.
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

// SFDP: the header and the first parameter header, then the BFPT. A part is
// taken at CHIP_MAX_SIZE only: the size every buffer above is laid out for.
int identify_by_sfdp(nor_chip* chip, std::uint32_t jedec_id, nor_identity* identity) {
    const std::uint8_t dummy = 0;
    std::uint8_t header[16] = {};
    link_address(chip, CHIP_INS_SFDP, 0, &dummy, 1, sizeof header);
    int result = link_flush(chip, header);
    std::uint32_t address = 0, dwords = 0;
    if (result != LINK_OK || !chip_sfdp_header(header, &address, &dwords)) {
        return result;
    }
    identity->sfdp_read = true;
    dwords = dwords < CHIP_BFPT_DWORDS ? dwords : CHIP_BFPT_DWORDS;
    std::uint8_t table[4 * CHIP_BFPT_DWORDS] = {};
    link_address(chip, CHIP_INS_SFDP, address, &dummy, 1, 4 * dwords);
    result = link_flush(chip, table);
    if (result == LINK_OK && chip_from_bfpt(table, dwords, CHIP_MAX_SIZE, jedec_id, &chip->own)) {
        chip->part = &chip->own;
        identity->found = NOR_FOUND_SFDP;
    }
    return result;
}

}  // namespace

int nor_identify(nor_chip* chip, nor_identity* identity) {
    *identity = nor_identity{};
    identity->found = NOR_FOUND_NONE;
    // RES with S# raised after the opcode wakes a part left in deep
    // power-down; it hears instructions again after tRES.
    link_transaction(chip, CHIP_INS_RES, nullptr, 0, 0);
    link_pause(chip, std::uint64_t{CHIP_RES_WAKE_US} * 1000);
    link_transaction(chip, CHIP_INS_RDID, nullptr, 0, 3);
    nor_queue_status(chip);
    std::uint8_t answer[4] = {};
    int result = link_flush(chip, answer);
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
    if (const chip_part* part = chip_find(jedec_id)) {
        chip->part = part;
        identity->found = NOR_FOUND_TABLE;
        return LINK_OK;
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
    link_transaction(chip, CHIP_INS_RUID, dummy, 4, chip->part->unique_id_bytes);
    int result = link_flush(chip, id);
    if (result == LINK_OK) {
        *length = chip->part->unique_id_bytes;
    }
    return result;
}
