#include "board/boards.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "d2xx/census.h"

bool find_boards(std::vector<Board>& boards, std::uint32_t* others) {
    boards.clear();
    if (others != nullptr) {
        *others = 0;
    }
    struct found {
        std::vector<Board>* boards;
        std::uint32_t* others;
    } into = {&boards, others};
    return d2xx_census(
        [](const d2xx_entry& entry, void* context) {
            auto* to = static_cast<found*>(context);
            std::string name = entry.serial;
            bool busy = (entry.flags & FT_FLAGS_OPENED) != 0 && name.empty();
            if (busy || (entry.type == FT_DEVICE_2232H && !name.empty() && name.back() == 'B')) {
                auto number = static_cast<std::uint32_t>(to->boards->size());
                to->boards->push_back({entry.index, number, name,
                                       busy ? "(in use by another process)" : entry.description,
                                       entry.location, busy});
            } else if (to->others != nullptr) {
                ++*to->others;
            }
            return true;
        },
        &into);
}

namespace {

// "@0x12", "@18", or the USB path "@1-2.3" (bus 1, port 2, port 3), which the
// drivers turn into the same number: the bus, then each port, a nibble each.
bool parse_location(const std::string& text, std::uint32_t& location) {
    if (text.size() < 2 || text[0] != '@') {
        return false;
    }
    std::string rest = text.substr(1);
    if (rest.find('-') != std::string::npos) {
        std::uint32_t value = 0;
        std::size_t at = 0;
        bool digits = false;
        for (char ch : rest) {
            if (ch >= '0' && ch <= '9') {
                at = at * 10 + static_cast<std::size_t>(ch - '0');
                digits = true;
            } else if ((ch == '-' || ch == '.') && digits && at < 16) {
                value = value * 16 + static_cast<std::uint32_t>(at);
                at = 0;
                digits = false;
            } else {
                return false;
            }
            if (at > 255) {
                return false;
            }
        }
        if (!digits || at >= 16) {
            return false;
        }
        location = value * 16 + static_cast<std::uint32_t>(at);
        return true;
    }
    char* end = nullptr;
    errno = 0;
    unsigned long value = std::strtoul(rest.c_str(), &end, 0);
    if (errno != 0 || end == rest.c_str() || *end != '\0' || value > 0xFFFFFFFFul ||
        rest[0] == '-') {
        return false;
    }
    location = static_cast<std::uint32_t>(value);
    return true;
}

bool all_digits(const std::string& text) {
    return !text.empty() && text.size() < 10 &&
           text.find_first_not_of("0123456789") == std::string::npos;
}

// Whether `selector` names `board` in any of the ways --device takes.
bool names(const std::string& selector, const Board& board) {
    std::uint32_t location = 0;
    if (parse_location(selector, location)) {
        return board.location == location;
    }
    if (all_digits(selector) && std::stoul(selector) == board.number) {
        return true;
    }
    // The serial as USB tools show it is the chip's; interface B adds a "B".
    return !board.busy && (board.serial == selector || board.serial == selector + "B");
}

}  // namespace

bool select_boards(const std::vector<Board>& boards, const std::vector<std::string>& selectors,
                   std::vector<Board>& chosen, std::string& error) {
    chosen.clear();
    if (selectors.empty()) {
        for (const Board& board : boards) {
            if (!board.busy) {
                chosen.push_back(board);
            }
        }
        if (chosen.size() == 1) {
            return true;
        }
        error = !chosen.empty() ? "several boards found; choose with --device N or --all:\n" +
                                      board_table(boards)
                                : "no FT2232H interface B found\n" + no_board_hint(boards, 0);
        chosen.clear();
        return false;
    }
    for (const std::string& selector : selectors) {
        if (selector.size() > 1 && selector[0] == '#') {
            // The driver's entry numbers (#1 #3 #5) are no longer taken: a
            // script written for them must not reach another board.
            std::string was = selector.substr(1);
            std::string hint = "hexflash list numbers the boards from 0";
            for (const Board& board : boards) {
                if (all_digits(was) && std::stoul(was) == board.index) {
                    hint = "that board is now --device " + std::to_string(board.number);
                }
            }
            error = "--device " + selector + ": #N is no longer taken; " + hint;
            return false;
        }
        std::vector<Board> fits;
        for (const Board& board : boards) {
            if (names(selector, board)) {
                fits.push_back(board);
            }
        }
        if (fits.size() > 1) {
            error = "--device " + selector + " fits several boards; choose one by number:\n" +
                    board_table(fits);
            return false;
        }
        if (fits.empty()) {
            error = "--device " + selector + ": no such FT2232H interface B";
            if (!boards.empty()) {
                error += "; found:\n" + board_table(boards);
            }
            return false;
        }
        for (const Board& board : chosen) {
            if (board.index == fits[0].index) {
                error = "--device " + selector + ": that board is named twice";
                return false;
            }
        }
        chosen.push_back(fits[0]);
    }
    return true;
}

std::string board_table(const std::vector<Board>& boards) {
    std::string out;
    char line[160];
    for (const Board& board : boards) {
        std::snprintf(line, sizeof line, "%-3u %-16s %-24s location 0x%04x\n",
                      static_cast<unsigned>(board.number), board.serial.c_str(),
                      board.description.c_str(), static_cast<unsigned>(board.location));
        out += line;
    }
    if (!out.empty()) {
        out.pop_back();  // the caller ends the last line
    }
    return out;
}

std::string no_board_hint(const std::vector<Board>& boards, std::uint32_t other_interfaces) {
    std::size_t busy = 0;
    for (const Board& board : boards) {
        busy += board.busy ? 1 : 0;
    }
    if (busy > 0) {
        return "hint: " + std::to_string(busy) +
               " FTDI interface(s) open in another program: close it, or unplug and replug the "
               "board";
    }
    if (other_interfaces > 0) {
        return "hint: " + std::to_string(other_interfaces) +
               " FTDI interface(s) found, none an FT2232H interface B: check that the board's "
               "cable is the FT2232H's";
    }
    return "hint: check the USB cable and the board's power; on Linux also the udev rule and "
           "ftdi_sio (hexflash(1), LINUX SET-UP)";
}

std::string board_label(const Board& board, const std::vector<Board>& boards) {
    std::size_t same = 0;
    for (const Board& other : boards) {
        same += other.serial == board.serial ? 1 : 0;
    }
    return !board.serial.empty() && same == 1 ? board.serial
                                              : "board " + std::to_string(board.number);
}
