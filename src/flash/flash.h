// Driver of the STMicroelectronics M25P16 (16 Mbit SPI NOR) behind the
// FT2232H's MPSSE. Every call that touches the chip takes the handle set up
// by mpsse_init first, sends each instruction as one SPI transaction (one
// FT_Write, and one FT_Read when the chip answers) and returns a FLASH_*
// code; none prints an error. Waits print progress dots.
#pragma once

#include <cstdint>

#include "chip/chip.h"
#include "d2xx/d2xx_types.h"

// --- status codes -------------------------------------------------------------
inline constexpr std::int32_t FLASH_OK = 0;
inline constexpr std::int32_t FLASH_ERR_TRANSFER = 1;     // USB failed or short, or busy too long
inline constexpr std::int32_t FLASH_ERR_RANGE = 3;        // sector or address outside the chip
inline constexpr std::int32_t FLASH_ERR_UNSUPPORTED = 5;  // unknown flash_control op code

// --- instruction set (the chip table's) -------------------------------------------
inline constexpr std::uint8_t FLASH_INS_WREN = CHIP_INS_WREN;
inline constexpr std::uint8_t FLASH_INS_WRDI = CHIP_INS_WRDI;
inline constexpr std::uint8_t FLASH_INS_RDSR = CHIP_INS_RDSR;
inline constexpr std::uint8_t FLASH_INS_RDID = CHIP_INS_RDID;
inline constexpr std::uint8_t FLASH_INS_SE = CHIP_INS_SE;
inline constexpr std::uint8_t FLASH_INS_BE = CHIP_INS_BE;
inline constexpr std::uint8_t FLASH_INS_READ = CHIP_INS_READ;
inline constexpr std::uint8_t FLASH_INS_PP = CHIP_INS_PP;

// Status register: only write-in-progress is interpreted.
inline constexpr std::uint32_t FLASH_STATUS_WIP = CHIP_SR_WIP;

// --- chip facts -----------------------------------------------------------------
// The classic driver drives the M25P16 and parts that obey its instructions.
inline constexpr std::uint32_t FLASH_SECTOR_SIZE = CHIP_SECTOR_SIZE;
inline constexpr std::uint32_t FLASH_PAGE_SIZE = CHIP_M25P16.page_size;
inline constexpr std::uint32_t FLASH_SECTOR_ADDRESS_MASK = 0x07FFFFFF;  // of the sector search
inline constexpr std::uint32_t FLASH_ID_SIZE = 3;  // RDID bytes read: maker, type, capacity

// Wait bounds: status polls per wait, waits per erase, and the same in time
// on the driver's clock (d2xx_clock_ms), which ends a wait whose polls time
// out: a wait from its start, an erase from its instruction (the chip table's
// bounds). Time is looked at after each poll.
inline constexpr std::int32_t FLASH_WAIT_POLLS = 10000;
inline constexpr std::int32_t FLASH_ERASE_WAITS = 1000;
inline constexpr std::uint64_t FLASH_WAIT_MS = CHIP_WAIT_MS;
inline constexpr std::uint64_t FLASH_ERASE_MS = chip_erase_bound_ms(CHIP_M25P16);

// The chip descriptor; sector_count bounds every range test.
struct flash_descriptor {
    const char* device_name;
    const char* maker_name;
    std::int32_t sector_count;
};
extern const flash_descriptor flash_info;

// --- geometry -----------------------------------------------------------------
// Sector holding `address` (bits 27..31 ignored) into *index_out, or FLASH_ERR_RANGE.
std::int32_t flash_sector_of_address(std::uint32_t address, std::int32_t* index_out);
// First and last address of `sector`, or FLASH_ERR_RANGE with both untouched.
std::int32_t flash_sector_bounds(std::uint32_t* first_out, std::uint32_t* last_out,
                                 std::int32_t sector);

// --- instructions -------------------------------------------------------------
// Sends the one-byte `instruction` (WREN, WRDI, BE).
std::int32_t flash_command(FT_HANDLE handle, std::uint8_t instruction);
// Reads the status register, zero-extended, into *status_out.
std::int32_t flash_read_status(FT_HANDLE handle, std::uint32_t* status_out);
// Polls RDSR until WIP clears: 0 ready, 1 still busy after FLASH_WAIT_POLLS
// polls or FLASH_WAIT_MS. A failed poll counts as busy. Prints "." after busy
// polls 784, 1808, ... 10000 (countdown multiples of 1024), as far as it gets.
std::int32_t flash_wait_ready(FT_HANDLE handle);
// RDID manufacturer byte and 16-bit device id, then the status register.
std::int32_t flash_read_id(FT_HANDLE handle, std::uint32_t* manufacturer_out,
                           std::uint32_t* device_out, std::uint32_t* status_out);
// Erases the whole chip, waiting at most FLASH_ERASE_WAITS waits and
// FLASH_ERASE_MS; dots while busy, "\n" every 8 waits and at the end (also
// of a line of dots cut short by the time bound).
std::int32_t flash_chip_erase(FT_HANDLE handle);
// Erases one sector, with the chip erase's bounds; dots while busy.
std::int32_t flash_sector_erase(FT_HANDLE handle, std::int32_t sector);

// --- data ---------------------------------------------------------------------
// Reads `length` bytes at `address` into data, page by page.
std::int32_t flash_read(FT_HANDLE handle, std::uint8_t* data, std::uint32_t address,
                        std::uint32_t length);
// Programs `length` bytes at `address` (erased beforehand), page by page.
std::int32_t flash_program(FT_HANDLE handle, const std::uint8_t* data, std::uint32_t address,
                           std::uint32_t length);

// --- operation interface --------------------------------------------------------
inline constexpr std::uint32_t FLASH_OP_READ_ID = 0;            // flash_read_id_params
inline constexpr std::uint32_t FLASH_OP_READ_STATUS = 1;        // flash_read_status_params
inline constexpr std::uint32_t FLASH_OP_CHIP_ERASE = 2;         // flash_chip_erase_params
inline constexpr std::uint32_t FLASH_OP_SECTOR_ERASE = 3;       // flash_sector_erase_params
inline constexpr std::uint32_t FLASH_OP_ADDRESS_TO_SECTOR = 4;  // flash_address_to_sector_params
inline constexpr std::uint32_t FLASH_OP_SECTOR_BOUNDS = 5;      // flash_sector_bounds_params
inline constexpr std::uint32_t FLASH_OP_GET_INFO = 6;           // flash_get_info_params
inline constexpr std::uint32_t FLASH_OP_GET_SECTOR_COUNT = 7;   // flash_get_sector_count_params

struct flash_read_id_params {
    std::uint32_t* manufacturer;
    std::uint32_t* device;
    std::uint32_t* status;
};
struct flash_read_status_params {
    std::uint32_t* status;
};
struct flash_chip_erase_params {
    std::uint32_t unused;  // not interpreted; pass 0
};
struct flash_sector_erase_params {
    std::int32_t sector;
};
struct flash_address_to_sector_params {
    std::uint32_t address;
    std::int32_t* sector;
};
struct flash_sector_bounds_params {
    std::int32_t sector;
    std::uint32_t* first;
    std::uint32_t* last;
};
struct flash_get_info_params {
    const char* device_name;  // overwritten with flash_info.device_name
    const char* maker_name;   // overwritten with flash_info.maker_name
};
struct flash_get_sector_count_params {
    std::int32_t* count;
};

struct flash_request {
    FT_HANDLE handle;  // needed by ops 0 to 3 only
    std::uint32_t op;  // FLASH_OP_*
    void* params;      // the op's *_params block
};

// Performs request.op with its parameter block; the op's result, or
// FLASH_ERR_UNSUPPORTED for an unknown op (block untouched, nothing sent).
std::int32_t flash_control(flash_request request);
