// hexflash's command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fastflash/fastflash.h"

enum class Command { kNone, kList, kChips, kId, kWrite, kVerify, kRead, kErase, kHelp, kVersion };

struct Options {
    Command command = Command::kNone;
    std::vector<std::string> devices;  // --device, in the order given
    bool all = false;                  // --all: every board
    bool json = false;
    bool quiet = false;
    std::uint32_t clock_hz = FAST_DEFAULT_CLOCK_HZ;
    std::string path;  // IMAGE of write and verify, OUT of read
    fast_erase_mode erase = FAST_ERASE_AUTO;
    bool keep_rest = false;
    bool force = false;
    bool unprotect = false;
    bool raw = false;
};

// Parses argv[1..]; false with `error` set to one line on a usage error.
bool parse_options(int argc, char** argv, Options& options, std::string& error);

// The usage text (help).
const char* usage_text();
// The command's name as typed ("write").
const char* command_name(Command command);
