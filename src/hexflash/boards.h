// The FT2232H interfaces B on the host, and which of them a run uses.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct Board {
    std::uint32_t index;  // in the driver's census: what FT_Open takes, and #N
    std::string serial;
    std::string description;
    std::uint32_t location;
    bool busy;  // open in another process: the driver tells nothing more about it
};

// Every interface B of an FT2232H in the census: serial "B" on a blank EEPROM,
// the EEPROM's serial with "B" appended on a programmed one; and every entry
// open in another process, which may be one. False when the census failed.
bool find_boards(std::vector<Board>& boards);

// The boards `selectors` name (serial or #N), in their order; with none, the
// only board there is (busy entries aside). False with `error` set when a selector names nothing,
// a board is named twice, or, without selectors, there is not exactly one.
bool select_boards(const std::vector<Board>& boards, const std::vector<std::string>& selectors,
                   std::vector<Board>& chosen, std::string& error);

// One line per board for people: "#1  B  Dual RS232-HS B  location 0x12".
std::string board_table(const std::vector<Board>& boards);
