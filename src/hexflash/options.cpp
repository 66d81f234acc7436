#include "hexflash/options.h"

#include <cstdlib>
#include <cstring>
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
    "  serve [--db URL] [--listen ADDR:PORT]\n"
    "                        the line's page in a browser, read-only (127.0.0.1:8080)\n"
    "  report [--db URL] [--since TIME] [--until TIME] --html OUT\n"
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
    "  --force               write or erase a chip whose JEDEC ID is not 20 20 15\n"
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
    {"serve", Command::kServe},     {"report", Command::kReport},
    {"chips", Command::kChips},
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
     "Bulk-erase the whole chip and check it reads 0xFF throughout.\n"},
    {Command::kProtect,
     "Usage: hexflash [--device SEL]... [--all] [--json] protect [--lock]\n"
     "Set the block protection over the whole chip and read it back.\n"
     "  --lock                  also set SRWD: with W# low the protection is then\n"
     "                          permanent for the board\n"},
    {Command::kUnprotect,
     "Usage: hexflash [--device SEL]... [--all] [--json] unprotect\n"
     "Clear the block protection (and SRWD, where W# allows it).\n"},
    {Command::kWatch,
     "Usage: hexflash [--device SEL]... [--json] watch IMAGE [OPTIONS]\n"
     "Check IMAGE once, then burn and verify every board as it is plugged in, each\n"
     "once per arrival, in parallel; Ctrl-C stops taking boards.\n"
     "  --new-only              leave the boards present at the start alone\n"
     "  --count N               stop after N boards, passed or failed\n"
     "  --log FILE              append one JSON line per board to FILE\n"
     "  --protect [--lock]      protect the whole chip after the verify\n"
     "  and write's options: --erase, --keep-rest, --unprotect, --format, --base, --raw\n"},
    {Command::kServe,
     "Usage: hexflash serve [--db URL] [--listen ADDR:PORT]\n"
     "The line at a glance: one read-only page over the record store that redraws\n"
     "itself every 1.5 s: stations, the shift's tally (the last 8 hours), boards per\n"
     "hour, yield per station and image, failures by phase, the last 100 records and\n"
     "a board's history by serial, unique ID or field value. Ctrl-C stops it.\n"
     "  --db URL                the store (default: HEXFLASH_DB, else the default store)\n"
     "  --listen ADDR:PORT      where (default 127.0.0.1:8080; [::1]:8080; port 0: any);\n"
     "                          any other address than the loopback has no login\n"},
    {Command::kReport,
     "Usage: hexflash report [--db URL] [--since TIME] [--until TIME] --html OUT\n"
     "The page's figures for a period as one HTML file that opens offline.\n"
     "  --since TIME            from (default: 24 hours ago); 2026-12-11,\n"
     "                          2026-12-11T08:00:00Z or with an offset, +02:00\n"
     "  --until TIME            up to, not including (default: now)\n"
     "  --html OUT              the file, written whole\n"},
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
    return value >= FAST_MIN_CLOCK_HZ && value <= FAST_MAX_CLOCK_HZ
               ? static_cast<std::uint32_t>(value)
               : 0;
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
    for (const CommandWord& c : kCommands) {
        if (c.command == command) {
            return c.word;
        }
    }
    return "";
}

bool parse_options(int argc, char** argv, Options& options, std::string& error) {
    std::vector<std::string> operands;
    bool erase_given = false;
    bool only_operands = false;  // after "--": a file named like an option
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (only_operands || arg == "--") {
            if (std::exchange(only_operands, true)) {
                operands.emplace_back(arg);
            }
            continue;
        }
        // "--name=value" and "--name value" alike.
        std::string_view name = arg;
        std::string attached;
        bool has_value = false;
        if (arg.starts_with("--") && arg.find('=') != std::string_view::npos) {
            name = arg.substr(0, arg.find('='));
            attached = std::string(arg.substr(arg.find('=') + 1));
            has_value = true;
        }
        auto value = [&](std::string& out) {
            if (has_value) {
                out = attached;
                return true;
            }
            if (i + 1 >= argc) {
                error = std::string(name) + " needs a value";
                return false;
            }
            out = argv[++i];
            return true;
        };
        std::string text;
        if (arg == "-h" || arg == "--help") {
            // "write --help": that command's help.
            for (const CommandWord& c : kCommands) {
                if (!operands.empty() && operands[0] == c.word) {
                    options.help_on = c.command;
                }
            }
            options.command = Command::kHelp;
            return true;
        } else if (arg == "--version") {
            options.command = Command::kVersion;
            return true;
        } else if (name == "--device") {
            if (!value(text)) {
                return false;
            }
            if (text.empty()) {
                error = "--device needs a serial or #N";
                return false;
            }
            options.devices.push_back(text);
        } else if (name == "--clock") {
            if (!value(text)) {
                return false;
            }
            options.clock_hz = parse_hz(text);
            if (options.clock_hz == 0) {
                error = "--clock " + text + ": not a frequency from 10k to 30M (10 kHz to 30 MHz)";
                return false;
            }
        } else if (name == "--erase") {
            if (!value(text)) {
                return false;
            }
            if (text == "auto" || text == "chip" || text == "none") {
                options.erase = text == "auto"   ? FAST_ERASE_AUTO
                                : text == "chip" ? FAST_ERASE_CHIP
                                                 : FAST_ERASE_NONE;
            } else {
                error = "--erase " + text + ": auto, chip or none";
                return false;
            }
            erase_given = true;
        } else if (name == "--format") {
            if (!value(text)) {
                return false;
            }
            if (text != "hex" && text != "bin") {
                error = "--format " + text + ": hex or bin";
                return false;
            }
            options.format = text;
        } else if (name == "--base") {
            if (!value(text)) {
                return false;
            }
            char* end = nullptr;
            unsigned long long base = std::strtoull(text.c_str(), &end, 0);
            if (text.empty() || text[0] == '-' || *end != '\0' || base >= FAST_CHIP_SIZE) {
                error = "--base " + text + ": an address on the chip, 0 to 0x1fffff";
                return false;
            }
            options.base = static_cast<std::uint32_t>(base);
            options.base_given = true;
        } else if (name == "--count") {
            if (!value(text)) {
                return false;
            }
            char* end = nullptr;
            options.count = std::strtoull(text.c_str(), &end, 10);
            if (text.empty() || *end != '\0' || text[0] == '-' || options.count == 0) {
                error = "--count " + text + ": a number of boards from 1";
                return false;
            }
        } else if (name == "--db" || name == "--listen" || name == "--since" || name == "--until" ||
                   name == "--html") {
            if (!value(text)) {
                return false;
            }
            if (text.empty()) {
                error = std::string(name) + " needs a value";
                return false;
            }
            std::string& field = name == "--db"       ? options.db
                                 : name == "--listen" ? options.listen
                                 : name == "--since"  ? options.since
                                 : name == "--until"  ? options.until
                                                      : options.html;
            field = text;
        } else if (name == "--log") {
            if (!value(text) || text.empty()) {
                error = text.empty() && error.empty() ? "--log needs a file" : error;
                return false;
            }
            options.log_path = text;
        } else if (has_value) {
            error = "unknown option " + std::string(name);
            return false;
        } else if (arg == "--all") {
            options.all = true;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--quiet") {
            options.quiet = true;
        } else if (arg == "--keep-rest") {
            options.keep_rest = true;
        } else if (arg == "--force") {
            options.force = true;
        } else if (arg == "--unprotect") {
            options.unprotect = true;
        } else if (arg == "--raw") {
            options.raw = true;
        } else if (arg == "--protect") {
            options.protect = true;
        } else if (arg == "--lock") {
            options.lock = true;
        } else if (arg == "--new-only") {
            options.new_only = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            error = "unknown option " + std::string(arg);
            return false;
        } else {
            operands.emplace_back(arg);
        }
    }
    if (operands.empty()) {
        error = "no command";
        return false;
    }
    for (const CommandWord& c : kCommands) {
        if (operands[0] == c.word) {
            options.command = c.command;
        }
    }
    Command command = options.command;
    if (command == Command::kNone) {
        error = "unknown command " + operands[0];
        return false;
    }
    if (command == Command::kHelp) {
        // "help write": that command's help.
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
    bool takes_path = command == Command::kWrite || command == Command::kVerify ||
                      command == Command::kRead || command == Command::kWatch;
    bool writes = command == Command::kWrite || command == Command::kWatch;
    bool watching = options.new_only || options.count != 0 || !options.log_path.empty();
    if (operands.size() != (takes_path ? 2u : 1u)) {
        error = operands.size() < 2 && takes_path
                    ? std::string(command_name(command)) + " needs a file"
                    : "unexpected argument " + operands[takes_path ? 2 : 1];
        return false;
    }
    if (takes_path) {
        options.path = operands[1];
    }
    // Each option only where it means something.
    const char* misplaced = nullptr;
    if ((erase_given || options.keep_rest) && !writes) {
        misplaced = erase_given ? "--erase" : "--keep-rest";
    } else if (options.protect && !writes) {
        misplaced = "--protect";
    } else if (options.lock && !options.protect && command != Command::kProtect) {
        misplaced = "--lock without --protect";
    } else if (watching && command != Command::kWatch) {
        misplaced = options.new_only ? "--new-only" : options.count != 0 ? "--count" : "--log";
    } else if (options.all && command == Command::kWatch) {
        misplaced = "--all";  // watch takes every board unless --device names some
    } else if ((options.force || options.unprotect) && !writes && command != Command::kErase) {
        misplaced = options.force ? "--force" : "--unprotect";
    } else if (options.raw && command != Command::kRead && command != Command::kWrite &&
               command != Command::kVerify) {
        misplaced = "--raw";
    } else if ((!options.format.empty() || options.base_given) && command != Command::kWrite &&
               command != Command::kVerify) {
        misplaced = options.format.empty() ? "--base" : "--format";
    } else if ((options.all || options.devices.size() > 1) && command == Command::kList) {
        misplaced = options.all ? "--all" : "a second --device";
    } else if ((options.all || !options.devices.empty()) && command == Command::kChips) {
        misplaced = options.all ? "--all" : "a second --device";
    } else if (options.all && !options.devices.empty()) {
        misplaced = "--device with --all";
    } else if (!options.db.empty() && command != Command::kServe && command != Command::kReport) {
        misplaced = "--db";
    } else if (!options.listen.empty() && command != Command::kServe) {
        misplaced = "--listen";
    } else if ((!options.since.empty() || !options.until.empty() || !options.html.empty()) &&
               command != Command::kReport) {
        misplaced = !options.since.empty()   ? "--since"
                    : !options.until.empty() ? "--until"
                                             : "--html";
    }
    if (command == Command::kReport && options.html.empty()) {
        error = "report needs --html OUT";
        return false;
    }
    if (options.keep_rest && options.erase == FAST_ERASE_CHIP) {
        // A bulk erase cannot leave any sector as it was.
        error = "--keep-rest does not go with --erase chip";
        return false;
    }
    if (misplaced != nullptr) {
        error = std::string(misplaced) + " does not go with " + command_name(command);
        return false;
    }
    return true;
}
