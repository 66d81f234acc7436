// The simulated board's options: one comma-separated KEY=VALUE grammar read
// by both faces, the D2XX one (HEXBURN_DRIVER=sim:OPTIONS, HEXBURN_SIM) and
// the USB one (HEXBURN_USB_SIM). An option means the same on both; one that
// means nothing on a face is refused there by name. doc/simulated-board.md
// documents them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "d2xx/d2xx_types.h"
#include "sim/spi_nor.h"

enum class SimFace { kD2xx, kUsb };

// One interface in the simulated census.
struct SimDevice {
    std::uint32_t type = FT_DEVICE_2232H;
    std::string serial;
    std::string description;
};

// A fault that strikes some calls of one kind: all of them, or the Nth ones
// (counted from 1, per board; for detail-fail and busy, the census index).
struct SimFault {
    bool every = false;
    std::vector<std::uint64_t> at;
    bool strikes(std::uint64_t n) const;
};

struct SimOptions {
    std::string flash_path;          // empty: the chip lives in memory only
    std::vector<SimDevice> devices;  // the census: entries 2k and 2k+1 are board k
    sim::ChipTiming timing = sim::ChipTiming::typical();
    sim::ChipFaults chip_faults;
    bool jedec_id_given = false;  // id=HEX6: the chip's RDID answer in place of its own
    std::uint32_t jedec_id = 0x202015;
    const sim::ChipModel* chip = &sim::default_model();  // chip=NAME
    bool sfdp_off = false;                               // sfdp=off
    bool status_given = false;                           // status=HEX[:HEX]
    std::uint16_t status = 0;                            // register 1, register 2 << 8
    bool asleep = false;                                 // starts in deep power-down
    std::uint32_t board = 0;                             // this copy's board number
    bool no_echo = false;
    SimFault census_fail;
    SimFault detail_fail;
    SimFault busy;  // census indexes open in another process
    bool replug = false;
    SimFault open_fail;
    SimFault setup_fail;
    SimFault write_fail;
    SimFault write_short;
    SimFault read_fail;
    SimFault read_short;
    // The signal raised in the Nth FT_Write (USB face: bulk OUT transfer),
    // once its bytes went out.
    SimFault raise_sigint;
    SimFault raise_sigterm;
    SimFault raise_sighup;
    // present=PATH: the numbers of the boards plugged in now, re-read at every
    // census and every call on a board. Empty: every board is plugged in.
    std::string present_path;
    std::string trace_path;   // empty: no trace
    std::string report_path;  // empty: no report
    // fault=NAME#k items: board k, the fault's value without "#k".
    std::vector<std::pair<std::uint32_t, std::string>> board_faults;
    // chip=, id=, sfdp=, status=, asleep with #k: board k, the item without "#k".
    std::vector<std::pair<std::uint32_t, std::string>> board_items;

    // The USB face only.
    std::string serial;           // board 0's EEPROM serial; empty: blank EEPROM
    bool full_speed = false;      // speed=full
    std::string state_path;       // where the interfaces' states are written
    bool deny_open = false;       // libusb_open: permission denied
    bool stuck_driver = false;    // interface B's kernel driver cannot be detached
    bool reset_stall = false;     // interface B stalls the SIO reset request
    std::uint64_t unplug_at = 0;  // the board vanishes at this call (D2XX face: on its handle;
                                  // USB face: bulk transfer), from 1

    std::size_t board_count() const { return (devices.size() + 1) / 2; }
};

// Census of `boards` FT2232H chips with blank EEPROMs: two interfaces each.
std::vector<SimDevice> sim_blank_boards(int boards);

// Parses OPTIONS for `face` (a census file is read here). On a bad word
// returns false with `error` set to one line naming it.
bool parse_sim_options(std::string_view text, SimOptions& options, std::string& error,
                       SimFace face = SimFace::kD2xx);

// The options board k runs with: the run's, with that board's own faults
// (fault=...#k) added.
SimOptions sim_board_options(const SimOptions& options, std::size_t k,
                             SimFace face = SimFace::kD2xx);

// The board numbers listed in the present= file at `path` (whitespace-separated;
// what is not a number is skipped). A file that cannot be read lists none.
std::vector<bool> sim_read_present(const std::string& path, std::size_t boards);

// Powers `chip` up as board `options` describes it: model identity, unique
// ID from the board's number, status= bits, asleep, sfdp=off.
void sim_power_up_chip(const SimOptions& options, sim::SpiNor& chip);

// `path` with every %d replaced by the board's number.
std::string sim_board_path(const std::string& path, std::size_t k);
