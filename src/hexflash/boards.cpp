#include "hexflash/boards.h"

#include <cstdio>

#include "mpsse/d2xx.h"

namespace {
// FT_GetDeviceInfoDetail's flag for an interface some process has open.
constexpr std::uint32_t kOpened = 1;
}  // namespace

bool find_boards(std::vector<Board>& boards) {
    boards.clear();
    std::uint32_t count = 0;
    if (FT_CreateDeviceInfoList(&count) != FT_OK) {
        return false;
    }
    for (std::uint32_t index = 0; index < count; ++index) {
        std::uint32_t flags = 0, type = 0, id = 0, location = 0;
        char serial[FT_SERIAL_SIZE] = {};
        char description[FT_DESCRIPTION_SIZE] = {};
        FT_HANDLE handle = nullptr;
        if (FT_GetDeviceInfoDetail(index, &flags, &type, &id, &location, serial, description,
                                   &handle) != FT_OK) {
            continue;
        }
        serial[FT_SERIAL_SIZE - 1] = '\0';
        description[FT_DESCRIPTION_SIZE - 1] = '\0';
        std::string name = serial;
        bool busy = (flags & kOpened) != 0 && name.empty();
        if (busy || (type == FT_DEVICE_2232H && !name.empty() && name.back() == 'B')) {
            boards.push_back(
                {index, name, busy ? "(in use by another process)" : description, location, busy});
        }
    }
    return true;
}

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
        std::size_t busy = boards.size() - chosen.size();
        error = !chosen.empty() ? "several boards found; choose with --device SEL or --all:\n" +
                                      board_table(boards)
                : busy == 0 ? "no FT2232H interface B found"
                            : "no FT2232H interface B found; " + std::to_string(busy) +
                                  " interface(s) in use by another process";
        chosen.clear();
        return false;
    }
    for (const std::string& selector : selectors) {
        const Board* found = nullptr;
        int matches = 0;
        for (const Board& board : boards) {
            bool by_index = selector.size() > 1 && selector[0] == '#' &&
                            selector.substr(1) == std::to_string(board.index);
            if (by_index || board.serial == selector) {
                found = found == nullptr ? &board : found;
                ++matches;
            }
        }
        if (matches > 1) {
            // Blank EEPROMs all say "B": only the index tells them apart.
            error = "--device " + selector + ": several boards have that serial; use #N:\n" +
                    board_table(boards);
            return false;
        }
        if (found == nullptr) {
            error = "--device " + selector + ": no such FT2232H interface B";
            if (!boards.empty()) {
                error += "; found:\n" + board_table(boards);
            }
            return false;
        }
        for (const Board& board : chosen) {
            if (board.index == found->index) {
                error = "--device " + selector + ": that board is named twice";
                return false;
            }
        }
        chosen.push_back(*found);
    }
    return true;
}

std::string board_table(const std::vector<Board>& boards) {
    std::string out;
    char line[160];
    for (const Board& board : boards) {
        std::snprintf(line, sizeof line, "#%-3u %-16s %-24s location 0x%04x\n",
                      static_cast<unsigned>(board.index), board.serial.c_str(),
                      board.description.c_str(), static_cast<unsigned>(board.location));
        out += line;
    }
    return out;
}
