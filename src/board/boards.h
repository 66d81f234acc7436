// The FT2232H interfaces B on the host, and which of them a run uses.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct Board {
    std::uint32_t index;   // in the driver's census: what FT_Open takes
    std::uint32_t number;  // what people see: 0, 1, 2... in the order listed
    std::string serial;
    std::string description;
    std::uint32_t location;
    bool busy;  // open in another process: the driver tells nothing more about it
};

// Every interface B of an FT2232H in the census: serial "B" on a blank EEPROM,
// the EEPROM's serial with "B" appended on a programmed one; and every entry
// open in another process, which may be one. False when the census failed.
// `others` (when given): the census's entries that are no interface B.
bool find_boards(std::vector<Board>& boards, std::uint32_t* others = nullptr);

// The boards `selectors` name, in their order: a number from list, the serial
// as USB tools show it (FT7XQ2) or the interface's (FT7XQ2B), or @LOCATION.
// With none, the only board there is (busy entries aside). False with `error`
// set when a selector names nothing or several boards, a board is named twice,
// the census's old #N is used, or, without selectors, there is not exactly one.
bool select_boards(const std::vector<Board>& boards, const std::vector<std::string>& selectors,
                   std::vector<Board>& chosen, std::string& error);

// One line per board for people: "0   B  Dual RS232-HS B  location 0x0012".
std::string board_table(const std::vector<Board>& boards);

// What to check when no board is found, from what the census did find.
std::string no_board_hint(const std::vector<Board>& boards, std::uint32_t other_interfaces);

// How the summary lines name `board` among `boards`: its serial when that
// tells it apart, else "board N".
std::string board_label(const Board& board, const std::vector<Board>& boards);
