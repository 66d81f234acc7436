#include "hexflash/options.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string_view>
#include <utility>

namespace {

constexpr const char* kUsage =
    "Usage: hexflash [--device SEL]... [--all] [--json] [--quiet] [--clock HZ] COMMAND [ARGS]\n"
    "\n"
    "Commands:\n"
    "  list                  every FT2232H interface B found: index, serial, description, "
    "location\n"
    "  chips                 the parts hexflash knows: name, maker, JEDEC ID, erases\n"
    "  id                    the chip's JEDEC ID, part, protection, erases, unique ID\n"
    "  write IMAGE           burn an image and verify the whole chip\n"
    "        [--erase auto|chip|none] [--keep-rest] [--force] [--unprotect]\n"
    "        [--format hex|bin] [--base ADDR] [--raw]\n"
    "  verify IMAGE          compare the whole chip with the image; write nothing\n"
    "  read OUT [--raw]      save the chip: OUT.hex (Intel HEX) or anything else (binary);\n"
    "                        with several boards one file each, OUT-SERIAL.hex\n"
    "  erase [--force] [--unprotect]\n"
    "                        erase the whole chip\n"
    "  protect [--lock]      set the block protection over the whole chip\n"
    "  unprotect             clear the block protection (and SRWD)\n"
    "  watch IMAGE [--new-only] [--count N] [--log FILE] and write's options\n"
    "                        burn every board as it is plugged in\n"
    "  history [--unique-id HEX] [--serial TEXT] [--host NAME] [--since TIME]\n"
    "          [--result passed|failed|interrupted] [--field NAME=VALUE]\n"
    "                        the record store's runs, newest first\n"
    "  db init               create or upgrade the record store\n"
    "  pool add NAME --first A --last B --form FORM [--prefix TEXT]\n"
    "  pool list             the pools of per-board values: range, issued, spoiled, left\n"
    "  pool show NAME VALUE  a value's state and the board it went to\n"
    "  serve [--listen ADDR:PORT]\n"
    "                        the line's page in a browser, read-only (127.0.0.1:8080)\n"
    "  report [--since TIME] [--until TIME] --html OUT\n"
    "                        the same figures for a period, one HTML file\n"
    "  help [COMMAND], --help, -h\n"
    "                        this text, or one command's; --version: the version\n"
    "\n"
    "Options:\n"
    "  --device SEL          the board numbered SEL by list, or with serial SEL\n"
    "                        (FT7XQ2 or FT7XQ2B), or at location @0x12 or @1-2;\n"
    "                        repeat it to name several boards\n"
    "  --all                 every board found, each in its own thread\n"
    "  --json                one JSON object on standard output at the end\n"
    "  --quiet               no progress or summary on standard error\n"
    "  --clock HZ            SPI clock, 10k to 30M (default 30M; decimals, k and M)\n"
    "  --erase MODE          auto: per sector as needed (default); chip: bulk erase;\n"
    "                        none: never erase\n"
    "  --keep-rest           leave the sectors the image does not touch as they are\n"
    "  --force               write or erase a part that neither the chip table nor\n"
    "                        its SFDP describes\n"
    "  --unprotect           clear the block protection for the run, then set it back\n"
    "  --raw                 the file holds the chip's own bytes, not bit-reversed\n"
    "                        to image form (read; write and verify of binaries)\n"
    "  --format hex|bin      IMAGE is Intel HEX or binary (default: binary for *.bin,\n"
    "                        HEX for a file starting with ':', anything else refused)\n"
    "  --base ADDR           where a binary IMAGE starts on the chip (default 0)\n"
    "  --protect             write, watch: protect the whole chip after the verify\n"
    "  --lock                with the protection, set SRWD: W# low then makes it\n"
    "                        permanent for the board\n"
    "  --new-only            watch: leave the boards present at the start alone\n"
    "  --count N             watch: stop after N boards\n"
    "  --log FILE            watch: append one JSON line per board to FILE\n"
    "  --field NAME@ADDR     write, watch: each board the next value of pool NAME at\n"
    "                        ADDR, as a HEX record there would put it; repeatable\n"
    "  --db URL              the record store: sqlite:PATH, postgresql://... or none;\n"
    "                        watch, history and db init default to HEXFLASH_DB, else\n"
    "                        sqlite:$XDG_STATE_HOME/hexflash/line.db; write, erase,\n"
    "                        protect and unprotect record only into one named\n"
    "\n"
    "Exit status: 0 done, 1 usage, device or image, 2 USB or chip failure,\n"
    "3 the chip holds other bytes than it should; 130, 143, 129 interrupted.\n"
    "The driver comes from HEXBURN_DRIVER (see hexflash(1)).\n"
    "'hexflash help COMMAND' tells one command's options.\n";

struct CommandWord {
    const char* word;
    Command command;
};
constexpr CommandWord kCommands[] = {
    {"list", Command::kList},       {"id", Command::kId},
    {"write", Command::kWrite},     {"verify", Command::kVerify},
    {"read", Command::kRead},       {"erase", Command::kErase},
    {"protect", Command::kProtect}, {"unprotect", Command::kUnprotect},
    {"watch", Command::kWatch},     {"help", Command::kHelp},
    {"chips", Command::kChips},     {"history", Command::kHistory},
    {"db", Command::kDbInit},       {"pool", Command::kPool},
    {"serve", Command::kServe},     {"report", Command::kReport},
};

// Each command's own page of help: what it does, then the options it takes.
struct CommandHelp {
    Command command;
    const char* text;
};
constexpr CommandHelp kHelp[] = {
    {Command::kList,
     "Usage: hexflash [--json] list\n"
     "Every FT2232H interface B found, numbered from 0: the number, serial,\n"
     "description and location that --device takes.\n"},
    {Command::kChips,
     "Usage: hexflash [--json] chips\n"
     "The parts hexflash knows: name, maker, JEDEC ID, SFDP, unique ID, erase types.\n"},
    {Command::kId,
     "Usage: hexflash [--device SEL]... [--all] [--json] id\n"
     "The chip's JEDEC ID and part (from the table, or its SFDP), protection in the\n"
     "part's terms, erase types, unique ID and the SPI clock used.\n"},
    {Command::kWrite,
     "Usage: hexflash [--device SEL]... [--all] [--json] [--quiet] write IMAGE [OPTIONS]\n"
     "Burn IMAGE and verify the whole chip. IMAGE is Intel HEX, or binary when it\n"
     "ends in .bin or with --format bin; it is checked whole before anything is erased.\n"
     "  --erase auto|chip|none  per sector as needed (default), bulk erase, or never\n"
     "  --keep-rest             leave the sectors the image does not touch as they are\n"
     "  --force                 go on with a part hexflash does not know\n"
     "  --unprotect             clear the block protection for the run, then set it back\n"
     "  --format hex|bin        the image's form, when its name does not tell\n"
     "  --base ADDR             where a binary image starts (default 0)\n"
     "  --raw                   a binary image holds the chip's own bytes\n"
     "  --field NAME@ADDR       each board the next value of pool NAME at ADDR\n"
     "                          (repeatable; the pools and the records in the store)\n"
     "  --db URL                record each board's run in that store\n"
     "After an interrupt, the same write again finishes the boards it left.\n"},
    {Command::kVerify,
     "Usage: hexflash [--device SEL]... [--all] [--json] verify IMAGE [OPTIONS]\n"
     "Compare the whole chip with IMAGE (0xFF where it gives no byte); write nothing.\n"
     "A difference exits with 3 and shows the image's values, how many bytes differ\n"
     "and where.\n"
     "  --format hex|bin        the image's form, when its name does not tell\n"
     "  --base ADDR             where a binary image starts (default 0)\n"
     "  --raw                   a binary image holds the chip's own bytes\n"},
    {Command::kRead,
     "Usage: hexflash [--device SEL]... [--all] [--json] read OUT [--raw]\n"
     "Save the whole chip: OUT.hex as Intel HEX, any other name as 2 MiB binary in\n"
     "image form (--raw: the chip's own bytes). With several boards each gets its own\n"
     "file, tagged before the extension with its serial or number (OUT-FT7XQ2.hex).\n"},
    {Command::kErase,
     "Usage: hexflash [--device SEL]... [--all] [--json] erase [--force] [--unprotect]\n"
     "       [--db URL]\n"
     "Bulk-erase the whole chip and check it reads 0xFF throughout.\n"
     "  --db URL                record each board's run in that store\n"},
    {Command::kProtect,
     "Usage: hexflash [--device SEL]... [--all] [--json] protect [--lock]\n"
     "Set the block protection over the whole chip and read it back.\n"
     "  --lock                  also set SRWD: with W# low the protection is then\n"
     "                          permanent for the board\n"
     "  --db URL                record each board's run in that store\n"},
    {Command::kUnprotect,
     "Usage: hexflash [--device SEL]... [--all] [--json] unprotect [--db URL]\n"
     "Clear the block protection (and SRWD, where W# allows it).\n"
     "  --db URL                record each board's run in that store\n"},
    {Command::kWatch,
     "Usage: hexflash [--device SEL]... [--json] watch IMAGE [OPTIONS]\n"
     "Check IMAGE once, then burn and verify every board as it is plugged in, each\n"
     "once per arrival, in parallel; Ctrl-C stops taking boards.\n"
     "  --new-only              leave the boards present at the start alone\n"
     "  --count N               stop after N boards, passed or failed\n"
     "  --log FILE              append one JSON line per board to FILE\n"
     "  --db URL                the record store (default: HEXFLASH_DB, else\n"
     "                          sqlite:$XDG_STATE_HOME/hexflash/line.db); none: no store\n"
     "  --protect [--lock]      protect the whole chip after the verify\n"
     "  --field NAME@ADDR       each board the next value of pool NAME at ADDR\n"
     "  and write's options: --erase, --keep-rest, --unprotect, --format, --base, --raw\n"},
    {Command::kHistory,
     "Usage: hexflash [--json] history [--db URL] [OPTIONS]\n"
     "The record store's runs, newest first: one line each, or with --json one JSON\n"
     "object a line (the log's keys, and run_id).\n"
     "  --unique-id HEX         the board whose chip has that unique ID\n"
     "  --serial TEXT           the FT2232H serial\n"
     "  --host NAME             the PC that burned it\n"
     "  --since TIME            from TIME on: 2026-12-11 or 2026-12-11T08:00:00Z\n"
     "  --result RESULT         passed, failed or interrupted\n"
     "  --field NAME=VALUE      the board that took VALUE of pool NAME, as its record\n"
     "                          shows it (OXA2-000042, 02:00:00:00:00:2a)\n"
     "  --db URL                the store (default: HEXFLASH_DB, else the default store)\n"},
    {Command::kDbInit,
     "Usage: hexflash db init [--db URL]\n"
     "Create the record store's tables, or upgrade them to this hexflash's schema.\n"
     "Safe to run again at any time; a store of a newer schema is left as it is.\n"
     "  --db URL                the store (default: HEXFLASH_DB, else the default store)\n"},
    {Command::kPool,
     "Usage: hexflash pool add NAME --first A --last B --form FORM [--prefix TEXT] [--db URL]\n"
     "       hexflash [--json] pool list [--db URL]\n"
     "       hexflash pool show NAME VALUE [--db URL]\n"
     "Pools of per-board values (serial numbers, MAC addresses) in the record store,\n"
     "handed out by write and watch --field NAME@ADDR, never one twice.\n"
     "  --form FORM             ascii:W (the prefix, then W decimal digits), be:N or\n"
     "                          le:N (an N-byte integer, 1 to 8), or mac (6 bytes)\n"
     "  --first A, --last B     the range: numbers, or aa:bb:cc:dd:ee:ff for mac\n"
     "  --prefix TEXT           ascii: the text before the digits\n"
     "  --db URL                the store (default: HEXFLASH_DB, else the default store)\n"},
    {Command::kServe,
     "Usage: hexflash serve [--db URL] [--listen ADDR:PORT]\n"
     "The line at a glance: one read-only page over the record store that redraws\n"
     "itself every 1.5 s: stations, the shift's tally (the last 8 hours), boards per\n"
     "hour, yield per station and image, failures by phase, the last 100 records and\n"
     "a board's history by serial, unique ID or field value. Ctrl-C stops it.\n"
     "  --db URL                the store (default: HEXFLASH_DB, else the default store)\n"
     "  --listen ADDR:PORT      where (default 127.0.0.1:8080; [::1]:8080; port 0: any);\n"
     "                          on any address but the loopback the page has no login\n"},
    {Command::kReport,
     "Usage: hexflash report [--db URL] [--since TIME] [--until TIME] --html OUT\n"
     "The page's figures for a period as one HTML file that opens offline.\n"
     "  --since TIME            from (default: 24 hours ago): 2026-12-11,\n"
     "                          2026-12-11T08:00:00Z, or with an offset, +02:00\n"
     "  --until TIME            up to, not including (default: now)\n"
     "  --html OUT              the file, written whole\n"
     "  --db URL                the store (default: HEXFLASH_DB, else the default store)\n"},
};

// "30000000", "30M", "500k"; 0 when not a frequency.
// "1500000", "1.5M", "12.5k": a whole number of hertz from 10 kHz to 30 MHz;
// 0 for anything else.
std::uint32_t parse_hz(std::string_view text) {
    std::uint64_t value = 0;  // the digits, the point left out
    std::uint64_t fraction = 1;
    bool point = false;
    std::size_t i = 0;
    std::size_t digits = 0;
    for (; i < text.size(); ++i) {
        if (text[i] == '.' && !point) {
            point = true;
        } else if (text[i] >= '0' && text[i] <= '9' && digits < 12) {
            value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
            fraction *= point ? 10 : 1;
            ++digits;
        } else {
            break;
        }
    }
    if (digits == 0) {
        return 0;
    }
    std::string_view suffix = text.substr(i);
    std::uint64_t scale = suffix.empty() ? 1 : suffix == "k" ? 1000 : suffix == "M" ? 1000000 : 0;
    if (scale == 0 || (scale * value) % fraction != 0) {
        return 0;  // a fraction of a hertz
    }
    value = value * scale / fraction;
    return value >= LINK_MIN_CLOCK_HZ && value <= LINK_MAX_CLOCK_HZ
               ? static_cast<std::uint32_t>(value)
               : 0;
}

// The commands an option means something with, a bit each.
using Commands = std::uint32_t;
constexpr Commands bit(Command command) {
    return Commands{1} << static_cast<unsigned>(command);
}
constexpr Commands kWriting = bit(Command::kWrite) | bit(Command::kWatch);
constexpr Commands kEveryCommand = ~Commands{0};
// The commands on the record store alone, and those that take boards.
constexpr Commands kStoreCommands =
    bit(Command::kHistory) | bit(Command::kDbInit) | bit(Command::kPool) | bit(Command::kServe) |
    bit(Command::kReport);
constexpr Commands kBoardCommands = kEveryCommand & ~kStoreCommands;
// The commands that record a board's run in the store.
constexpr Commands kRecording =
    kWriting | bit(Command::kErase) | bit(Command::kProtect) | bit(Command::kUnprotect);

using Setter = bool (*)(Options& options, const std::string& value, std::string& error);

// One option of the command line.
struct OptionRow {
    const char* name;
    bool takes_value;   // "--name VALUE" or "--name=VALUE"
    Commands commands;  // where it means something
    Setter set;         // what it sets; false with `error` set for a wrong value
    // Where it is refused, how the refusal names it (the name when null).
    const char* misplaced = nullptr;
    // Another option that lets it go with any command (null: none).
    const char* or_with = nullptr;
};

template <bool Options::*member>
bool flag(Options& options, const std::string& /*value*/, std::string& /*error*/) {
    options.*member = true;
    return true;
}

bool device(Options& options, const std::string& value, std::string& error) {
    if (value.empty()) {
        error = "--device needs a serial or #N";
        return false;
    }
    options.devices.push_back(value);
    return true;
}

bool log_file(Options& options, const std::string& value, std::string& error) {
    if (value.empty()) {
        error = "--log needs a file";
        return false;
    }
    options.log_path = value;
    return true;
}

bool frequency(Options& options, const std::string& value, std::string& error) {
    options.clock_hz = parse_hz(value);
    if (options.clock_hz == 0) {
        error = "--clock " + value + ": not a frequency from 10k to 30M (10 kHz to 30 MHz)";
        return false;
    }
    return true;
}

bool erase_mode(Options& options, const std::string& value, std::string& error) {
    if (value != "auto" && value != "chip" && value != "none") {
        error = "--erase " + value + ": auto, chip or none";
        return false;
    }
    options.erase = value == "auto"   ? PLAN_ERASE_AUTO
                    : value == "chip" ? PLAN_ERASE_CHIP
                                      : PLAN_ERASE_NONE;
    return true;
}

bool image_format(Options& options, const std::string& value, std::string& error) {
    if (value != "hex" && value != "bin") {
        error = "--format " + value + ": hex or bin";
        return false;
    }
    options.format = value;
    return true;
}

bool base_address(Options& options, const std::string& value, std::string& error) {
    char* end = nullptr;
    unsigned long long base = std::strtoull(value.c_str(), &end, 0);
    if (value.empty() || value[0] == '-' || *end != '\0' || base >= CHIP_MAX_SIZE) {
        error = "--base " + value + ": an address on the chip, 0 to 0x1fffff";
        return false;
    }
    options.base = static_cast<std::uint32_t>(base);
    options.base_given = true;
    return true;
}

bool board_count(Options& options, const std::string& value, std::string& error) {
    char* end = nullptr;
    options.count = std::strtoull(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || value[0] == '-' || options.count == 0) {
        error = "--count " + value + ": a number of boards from 1";
        return false;
    }
    return true;
}

// The URL itself is judged by the command, before any board is touched.
bool store_db(Options& options, const std::string& value, std::string& error) {
    if (value.empty()) {
        error = "--db needs a store URL";
        return false;
    }
    options.db = value;
    return true;
}

// The history filters, each a text.
template <std::optional<std::string> HistoryQuery::*member>
bool filter(Options& options, const std::string& value, std::string& /*error*/) {
    options.history.*member = value;
    return true;
}

bool unique_id(Options& options, const std::string& value, std::string& error) {
    std::string hex;
    for (const char ch : value) {
        if (!std::isxdigit(static_cast<unsigned char>(ch))) {
            error = "--unique-id " + value + ": hexadecimal digits";
            return false;
        }
        hex += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    }
    if (hex.empty()) {
        error = "--unique-id needs hexadecimal digits";
        return false;
    }
    options.history.unique_id = hex;  // stored as the log writes it: lower case
    return true;
}

bool since(Options& options, const std::string& value, std::string& error) {
    std::string iso;
    if (!store_time(value, iso)) {
        error = "--since " + value + ": a time as 2026-12-11 or 2026-12-11T08:00:00Z";
        return false;
    }
    options.history.since = iso;
    return true;
}

bool until(Options& options, const std::string& value, std::string& error) {
    std::string iso;
    if (!store_time(value, iso)) {
        error = "--until " + value + ": a time as 2026-12-11 or 2026-12-11T08:00:00Z";
        return false;
    }
    options.history.until = iso;
    return true;
}

// serve's address and report's file, each a text that must not be empty.
template <std::string Options::*member>
bool text(Options& options, const std::string& value, std::string& error) {
    if (value.empty()) {
        error = std::string(member == &Options::listen ? "--listen" : "--html") + " needs a value";
        return false;
    }
    options.*member = value;
    return true;
}

bool result(Options& options, const std::string& value, std::string& error) {
    if (value != "passed" && value != "failed" && value != "interrupted") {
        error = "--result " + value + ": passed, failed or interrupted";
        return false;
    }
    options.history.result = value;
    return true;
}

// --field: NAME@ADDR with write and watch, NAME=VALUE with history; read
// once the command is known.
bool field_text(Options& options, const std::string& value, std::string& error) {
    if (value.empty()) {
        error = "--field needs NAME@ADDR (history: NAME=VALUE)";
        return false;
    }
    options.field_texts.push_back(value);
    return true;
}

// pool add's options, each a text until the form is known.
template <std::string PoolArgs::*member>
bool pool_text(Options& options, const std::string& value, std::string& /*error*/) {
    options.pool.*member = value;
    return true;
}

// In the order a misplaced option is reported when several are.
constexpr OptionRow kOptions[] = {
    {"--erase", true, kWriting, erase_mode},
    {"--keep-rest", false, kWriting, flag<&Options::keep_rest>},
    {"--protect", false, kWriting, flag<&Options::protect>},
    {"--lock", false, bit(Command::kProtect), flag<&Options::lock>, "--lock without --protect",
     "--protect"},
    {"--new-only", false, bit(Command::kWatch), flag<&Options::new_only>},
    {"--count", true, bit(Command::kWatch), board_count},
    {"--log", true, bit(Command::kWatch), log_file},
    {"--db", true, kRecording | kStoreCommands, store_db},
    {"--unique-id", true, bit(Command::kHistory), unique_id},
    {"--serial", true, bit(Command::kHistory), filter<&HistoryQuery::serial>},
    {"--host", true, bit(Command::kHistory), filter<&HistoryQuery::host>},
    {"--since", true, bit(Command::kHistory) | bit(Command::kReport), since},
    {"--until", true, bit(Command::kReport), until},
    {"--listen", true, bit(Command::kServe), text<&Options::listen>},
    {"--html", true, bit(Command::kReport), text<&Options::html>},
    {"--result", true, bit(Command::kHistory), result},
    {"--field", true, kWriting | bit(Command::kHistory), field_text},
    {"--first", true, bit(Command::kPool), pool_text<&PoolArgs::first>},
    {"--last", true, bit(Command::kPool), pool_text<&PoolArgs::last>},
    {"--form", true, bit(Command::kPool), pool_text<&PoolArgs::form>},
    {"--prefix", true, bit(Command::kPool), pool_text<&PoolArgs::prefix>},
    // watch takes every board unless --device names some.
    {"--all", false, kBoardCommands & ~bit(Command::kWatch), flag<&Options::all>},
    {"--force", false, kWriting | bit(Command::kErase), flag<&Options::force>},
    {"--unprotect", false, kWriting | bit(Command::kErase), flag<&Options::unprotect>},
    {"--raw", false, bit(Command::kRead) | bit(Command::kWrite) | bit(Command::kVerify),
     flag<&Options::raw>},
    {"--format", true, bit(Command::kWrite) | bit(Command::kVerify), image_format},
    {"--base", true, bit(Command::kWrite) | bit(Command::kVerify), base_address},
    {"--device", true, kBoardCommands, device},
    {"--clock", true, kBoardCommands, frequency},
    {"--json", false,
     kEveryCommand & ~bit(Command::kDbInit) & ~bit(Command::kServe) & ~bit(Command::kReport),
     flag<&Options::json>},
    {"--quiet", false, kEveryCommand, flag<&Options::quiet>},
};
constexpr std::size_t kOptionCount = sizeof kOptions / sizeof kOptions[0];

// Which rows of kOptions the command line gave, a bit each.
using Given = std::uint32_t;
static_assert(kOptionCount <= 32);

const OptionRow* option_named(std::string_view name) {
    for (const OptionRow& row : kOptions) {
        if (name == row.name) {
            return &row;
        }
    }
    return nullptr;
}

bool given(Given rows, const char* name) {
    const OptionRow* row = option_named(name);
    return (rows & (Given{1} << (row - kOptions))) != 0;
}

// The words of the command line, options set and taken out.
struct Words {
    std::vector<std::string> operands;
    Given given = 0;
};

// Reads argv[1..] into `options` and `words`: false with `error` set on a
// usage error, true with `done` set when --help or --version ends the reading.
bool read_words(int argc, char** argv, Options& options, Words& words, bool& done,
                std::string& error) {
    bool only_operands = false;  // after "--": a file named like an option
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (only_operands || arg == "--") {
            if (std::exchange(only_operands, true)) {
                words.operands.emplace_back(arg);
            }
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            // "write --help": that command's help.
            for (const CommandWord& c : kCommands) {
                if (!words.operands.empty() && words.operands[0] == c.word) {
                    options.help_on = c.command;
                }
            }
            options.command = Command::kHelp;
            done = true;
            return true;
        }
        if (arg == "--version") {
            options.command = Command::kVersion;
            done = true;
            return true;
        }
        // "--name=value" and "--name value" alike.
        const std::size_t equals = arg.starts_with("--") ? arg.find('=') : std::string_view::npos;
        const std::string_view name = arg.substr(0, equals);
        const OptionRow* row = option_named(name);
        if (row == nullptr || (equals != std::string_view::npos && !row->takes_value)) {
            if (equals == std::string_view::npos && (arg.size() <= 1 || arg[0] != '-')) {
                words.operands.emplace_back(arg);
                continue;
            }
            error = "unknown option " + std::string(name);
            return false;
        }
        std::string value;
        if (equals != std::string_view::npos) {
            value = std::string(arg.substr(equals + 1));
        } else if (row->takes_value && i + 1 >= argc) {
            error = std::string(name) + " needs a value";
            return false;
        } else if (row->takes_value) {
            value = argv[++i];
        }
        if (!row->set(options, value, error)) {
            return false;
        }
        words.given |= Given{1} << (row - kOptions);
    }
    return true;
}

// The first option given that does not go with `command`, as the refusal
// names it; null when none.
const char* misplaced_option(const Options& options, Given rows, Command command) {
    for (const OptionRow& row : kOptions) {
        const bool here = (row.commands & bit(command)) != 0 ||
                          (row.or_with != nullptr && given(rows, row.or_with));
        if (given(rows, row.name) && !here) {
            return row.misplaced != nullptr ? row.misplaced : row.name;
        }
    }
    // The boards: list shows every one (a --device at most narrows it), chips none.
    const bool several = options.all || options.devices.size() > 1;
    if ((command == Command::kList && several) ||
        (command == Command::kChips && (options.all || !options.devices.empty()))) {
        return options.all ? "--all" : "a second --device";
    }
    if (options.all && !options.devices.empty()) {
        return "--device with --all";
    }
    return nullptr;
}

// "help write": that command's help.
bool help_on(const std::vector<std::string>& operands, Options& options, std::string& error) {
    for (const CommandWord& c : kCommands) {
        if (operands.size() == 2 && operands[1] == c.word) {
            options.help_on = c.command;
        }
    }
    if (operands.size() > 2 || (operands.size() == 2 && options.help_on == Command::kNone)) {
        error = "help: no command " + operands.back();
        return false;
    }
    return true;
}

// pool add NAME, pool list, pool show NAME VALUE; --first, --last and
// --form with add alone, and needed there.
bool pool_words(const std::vector<std::string>& operands, Given rows, Options& options,
                std::string& error) {
    static constexpr struct {
        const char* action;
        std::size_t words;
        const char* needs;
    } kActions[] = {{"add", 3, "a name"}, {"list", 2, ""}, {"show", 4, "a name and a value"}};
    if (operands.size() < 2) {
        error = "pool needs a subcommand: add, list or show";
        return false;
    }
    const auto* action = std::find_if(std::begin(kActions), std::end(kActions),
                                      [&](const auto& a) { return operands[1] == a.action; });
    if (action == std::end(kActions)) {
        error = "pool: no subcommand " + operands[1] + " (add, list or show)";
        return false;
    }
    if (operands.size() != action->words) {
        error = operands.size() < action->words ? "pool " + operands[1] + " needs " + action->needs
                                                : "unexpected argument " + operands[action->words];
        return false;
    }
    options.pool.action = operands[1];
    options.pool.name = operands.size() > 2 ? operands[2] : "";
    options.pool.value = operands.size() > 3 ? operands[3] : "";
    const bool add = options.pool.action == "add";
    for (const char* name : {"--first", "--last", "--form", "--prefix"}) {
        const bool needed = add && std::string_view(name) != "--prefix";
        if (needed && !given(rows, name)) {
            error = std::string("pool add needs ") + name;
            return false;
        }
        if (!add && given(rows, name)) {
            error = std::string(name) + " goes with pool add only";
            return false;
        }
    }
    return true;
}

// --field as the command reads it: NAME=VALUE for history (once), NAME@ADDR
// for write and watch.
bool read_fields(Options& options, std::string& error) {
    if (options.command != Command::kHistory) {
        for (const std::string& text : options.field_texts) {
            FieldSpec field;
            if (!parse_field(text, field, error)) {
                return false;
            }
            options.fields.push_back(field);
        }
        return true;
    }
    if (options.field_texts.size() > 1) {
        error = "history takes one --field";
        return false;
    }
    if (options.field_texts.empty()) {
        return true;
    }
    const std::string& text = options.field_texts[0];
    const std::size_t equals = text.find('=');
    if (equals == 0 || equals == std::string::npos || equals + 1 == text.size()) {
        error = "--field " + text + ": NAME=VALUE (serial=OXA2-000042)";
        return false;
    }
    options.history.field = std::make_pair(text.substr(0, equals), text.substr(equals + 1));
    return true;
}

}  // namespace

const char* usage_text() {
    return kUsage;
}

std::string command_help(Command command) {
    for (const CommandHelp& help : kHelp) {
        if (help.command == command) {
            return help.text;
        }
    }
    return kUsage;
}

const char* command_name(Command command) {
    if (command == Command::kDbInit) {
        return "db init";
    }
    for (const CommandWord& c : kCommands) {
        if (c.command == command) {
            return c.word;
        }
    }
    return "";
}

bool parse_options(int argc, char** argv, Options& options, std::string& error) {
    Words words;
    bool done = false;
    if (!read_words(argc, argv, options, words, done, error)) {
        return false;
    }
    if (done) {
        return true;
    }
    const std::vector<std::string>& operands = words.operands;
    if (operands.empty()) {
        error = "no command";
        return false;
    }
    for (const CommandWord& c : kCommands) {
        if (operands[0] == c.word) {
            options.command = c.command;
        }
    }
    const Command command = options.command;
    if (command == Command::kNone) {
        error = "unknown command " + operands[0];
        return false;
    }
    if (command == Command::kHelp) {
        return help_on(operands, options, error);
    }
    if (command == Command::kDbInit && (operands.size() < 2 || operands[1] != "init")) {
        error = operands.size() < 2 ? "db needs a subcommand: db init"
                                    : "db: no subcommand " + operands[1] + " (db init)";
        return false;
    }
    if (command == Command::kPool && !pool_words(operands, words.given, options, error)) {
        return false;
    }
    const bool takes_path = command == Command::kWrite || command == Command::kVerify ||
                            command == Command::kRead || command == Command::kWatch ||
                            command == Command::kDbInit;
    if (command != Command::kPool && operands.size() != (takes_path ? 2u : 1u)) {
        error = operands.size() < 2 && takes_path
                    ? std::string(command_name(command)) + " needs a file"
                    : "unexpected argument " + operands[takes_path ? 2 : 1];
        return false;
    }
    if (takes_path && command != Command::kDbInit) {
        options.path = operands[1];
    }
    if (options.keep_rest && options.erase == PLAN_ERASE_CHIP) {
        // A bulk erase cannot leave any sector as it was.
        error = "--keep-rest does not go with --erase chip";
        return false;
    }
    if (const char* misplaced = misplaced_option(options, words.given, command)) {
        error = std::string(misplaced) + " does not go with " + command_name(command);
        return false;
    }
    if (command == Command::kReport && options.html.empty()) {
        error = "report needs --html OUT";
        return false;
    }
    return read_fields(options, error);
}
