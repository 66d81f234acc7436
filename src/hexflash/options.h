// hexflash's command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fastflash/fastflash.h"
#include "identity/fields.h"
#include "store/store.h"

enum class Command {
    kNone,
    kList,
    kChips,
    kId,
    kWrite,
    kVerify,
    kRead,
    kErase,
    kProtect,
    kUnprotect,
    kWatch,
    kHistory,
    kDbInit,
    kPool,
    kServe,
    kReport,
    kHelp,
    kVersion
};

// pool's words and options, as given: the form decides how the values read.
struct PoolArgs {
    std::string action;  // "add", "list", "show"
    std::string name;
    std::string value;  // show
    std::string first;  // add: --first, --last, --form, --prefix
    std::string last;
    std::string form;
    std::string prefix;
};

struct Options {
    Command command = Command::kNone;
    std::vector<std::string> devices;  // --device, in the order given
    bool all = false;                  // --all: every board
    bool json = false;
    bool quiet = false;
    std::uint32_t clock_hz = NOR_DEFAULT_CLOCK_HZ;
    std::string path;  // IMAGE of write and verify, OUT of read
    plan_erase_mode erase = PLAN_ERASE_AUTO;
    bool keep_rest = false;
    bool force = false;
    bool unprotect = false;
    bool raw = false;        // read, write, verify: the chip's own bytes
    std::string format;      // write, verify: "hex", "bin", or "" (from the file)
    std::uint32_t base = 0;  // where a binary image starts on the chip
    bool base_given = false;
    Command help_on = Command::kNone;  // help: the command asked about
    bool protect = false;     // --protect: block protection over the whole chip after the write
    bool lock = false;        // --lock: SRWD with the protection
    bool new_only = false;    // watch: boards present at the start are left alone
    std::uint64_t count = 0;  // watch: stop after this many boards (0: never)
    std::string log_path;     // watch: JSON Lines, one per board
    std::string db;           // --db: the record store's URL ("": HEXFLASH_DB or the default)
    HistoryQuery history;     // history: which records; report: its since and until
    std::vector<std::string> field_texts;  // --field as given
    std::vector<FieldSpec> fields;         // write, watch: each board's values and where
    PoolArgs pool;                         // pool add, list, show
    std::string listen;                    // serve: ADDR:PORT ("": 127.0.0.1:8080)
    std::string html;                      // report: the file
};

// Parses argv[1..]; false with `error` set to one line on a usage error.
bool parse_options(int argc, char** argv, Options& options, std::string& error);

// The usage text (help), or one command's with `command`.
const char* usage_text();
std::string command_help(Command command);
// The command's name as typed ("write").
const char* command_name(Command command);
