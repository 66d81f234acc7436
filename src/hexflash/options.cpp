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
    "  write IMAGE           burn an Intel HEX image and verify the whole chip\n"
    "        [--erase auto|chip|none] [--keep-rest] [--force] [--unprotect]\n"
    "  verify IMAGE          compare the whole chip with the image; write nothing\n"
    "  read OUT [--raw]      save the chip: OUT.hex (Intel HEX) or anything else (binary)\n"
    "  erase [--force] [--unprotect]\n"
    "                        erase the whole chip\n"
    "  help, --help, -h      this text; --version: the version\n"
    "\n"
    "Options:\n"
    "  --device SEL          the interface B with serial SEL, or #N for list index N;\n"
    "                        repeat it to name several boards\n"
    "  --all                 every board found, each in its own thread\n"
    "  --json                one JSON object on standard output at the end\n"
    "  --quiet               no progress or summary on standard error\n"
    "  --clock HZ            SPI clock (default 30M; k and M suffixes)\n"
    "  --erase MODE          auto: per sector as needed (default); chip: bulk erase;\n"
    "                        none: never erase\n"
    "  --keep-rest           leave the sectors the image does not touch as they are\n"
    "  --force               write or erase a chip whose JEDEC ID is not 20 20 15\n"
    "  --unprotect           clear the block protection for the run, then set it back\n"
    "  --raw                 read: the chip's own bytes, not bit-reversed to image form\n"
    "\n"
    "Exit status: 0 done, 1 usage, device or image, 2 USB or chip failure,\n"
    "3 the chip holds other bytes than it should; 130, 143, 129 interrupted.\n"
    "The driver comes from HEXBURN_DRIVER (see hexflash(1)).\n";

struct CommandWord {
    const char* word;
    Command command;
};
constexpr CommandWord kCommands[] = {
    {"list", Command::kList},     {"id", Command::kId},       {"write", Command::kWrite},
    {"verify", Command::kVerify}, {"read", Command::kRead},   {"erase", Command::kErase},
    {"help", Command::kHelp},     {"chips", Command::kChips},
};

// "30000000", "30M", "500k"; 0 when not a frequency.
std::uint32_t parse_hz(std::string_view text) {
    std::uint64_t value = 0;
    std::size_t i = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
        if (value > 1000000000) {
            return 0;
        }
    }
    if (i == 0) {
        return 0;
    }
    std::string_view suffix = text.substr(i);
    std::uint64_t scale = suffix.empty() ? 1 : suffix == "k" ? 1000 : suffix == "M" ? 1000000 : 0;
    value *= scale;
    return value > 0 && value <= 30000000 ? static_cast<std::uint32_t>(value) : 0;
}

}  // namespace

const char* usage_text() {
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
                error = "--clock " + text + ": not a frequency from 1 Hz to 30M";
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
        return true;
    }
    bool takes_path =
        command == Command::kWrite || command == Command::kVerify || command == Command::kRead;
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
    if ((erase_given || options.keep_rest) && command != Command::kWrite) {
        misplaced = erase_given ? "--erase" : "--keep-rest";
    } else if ((options.force || options.unprotect) && command != Command::kWrite &&
               command != Command::kErase) {
        misplaced = options.force ? "--force" : "--unprotect";
    } else if (options.raw && command != Command::kRead) {
        misplaced = "--raw";
    } else if ((options.all || options.devices.size() > 1) &&
               (command == Command::kList || command == Command::kRead)) {
        misplaced = options.all ? "--all" : "a second --device";
    } else if ((options.all || !options.devices.empty()) && command == Command::kChips) {
        misplaced = options.all ? "--all" : "a second --device";
    } else if (options.all && !options.devices.empty()) {
        misplaced = "--device with --all";
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
