#include "simboard/options.h"

#include <algorithm>
#include <charconv>
#include <fstream>

namespace {

constexpr int kMaxBoards = 8;

// Decimal, or hexadecimal after 0x.
bool parse_number(std::string_view text, std::uint64_t& value) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    if (text.empty()) {
        return false;
    }
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return ec == std::errc() && end == text.data() + text.size();
}

// The face's prefix is added by parse_sim_options.
std::string bad_option(std::string_view item, const char* why) {
    return "sim option '" + std::string(item) + "': " + why;
}

// Faults that strike counted calls (or indexes): NAME strikes all, NAME@N the Nth.
struct FaultName {
    const char* name;
    SimFault SimOptions::*fault;
};

constexpr FaultName kCountedFaults[] = {
    {"census-fail", &SimOptions::census_fail}, {"detail-fail", &SimOptions::detail_fail},
    {"open-fail", &SimOptions::open_fail},     {"setup-fail", &SimOptions::setup_fail},
    {"write-fail", &SimOptions::write_fail},   {"write-short", &SimOptions::write_short},
    {"read-fail", &SimOptions::read_fail},     {"read-short", &SimOptions::read_short},
    {"sigint", &SimOptions::raise_sigint},     {"sigterm", &SimOptions::raise_sigterm},
    {"sighup", &SimOptions::raise_sighup},
};

// Faults of the census, not of a board: they take no #k.
constexpr std::string_view kCensusFaults[] = {"census-fail", "detail-fail", "busy", "replug"};

// Faults of one face only: what they strike the other face does not have.
constexpr std::string_view kD2xxOnlyFaults[] = {"census-fail", "detail-fail", "open-fail",
                                                "setup-fail",  "write-fail",  "write-short",
                                                "read-fail",   "read-short",  "replug"};
constexpr std::string_view kUsbOnlyFaults[] = {"deny", "stuck-driver", "reset-stall"};

template <std::size_t N>
bool listed(const std::string_view (&names)[N], std::string_view name) {
    return std::find(std::begin(names), std::end(names), name) != std::end(names);
}

bool parse_usb_fault(std::string_view item, std::string_view name, bool has_at, std::uint64_t at,
                     SimOptions& options, std::string& error) {
    if (name == "unplug") {
        if (!has_at || at == 0) {
            error = bad_option(item, "unplug needs @N, calls counted from 1");
            return false;
        }
        options.unplug_at = at;
        return true;
    }
    if (has_at) {
        error = bad_option(item, "this fault takes no @");
        return false;
    }
    (name == "deny"           ? options.deny_open
     : name == "stuck-driver" ? options.stuck_driver
                              : options.reset_stall) = true;
    return true;
}

bool parse_fault(std::string_view item, std::string_view value, SimOptions& options,
                 std::string& error, SimFace face) {
    std::string_view name = value.substr(0, value.find('@'));
    bool has_at = name.size() < value.size();
    std::uint64_t at = 0;
    if (has_at && !parse_number(value.substr(name.size() + 1), at)) {
        error = bad_option(item, "the number after @ is not a number");
        return false;
    }
    if (face == SimFace::kUsb && listed(kD2xxOnlyFaults, name)) {
        error = bad_option(item, "a fault of the D2XX face, not of the USB face");
        return false;
    }
    if (face == SimFace::kD2xx && listed(kUsbOnlyFaults, name)) {
        error = bad_option(item, "a fault of the USB face, not of the D2XX face");
        return false;
    }
    if (listed(kUsbOnlyFaults, name) || name == "unplug") {
        return parse_usb_fault(item, name, has_at, at, options, error);
    }
    if (name == "interrupt") {
        name = "sigint";  // the USB face's older name for it
    }
    for (const FaultName& counted : kCountedFaults) {
        if (name != counted.name) {
            continue;
        }
        SimFault& fault = options.*counted.fault;
        if (!has_at) {
            fault.every = true;
        } else if (at == 0 && name != "detail-fail") {
            error = bad_option(item, "calls are counted from 1");
            return false;
        } else {
            fault.at.push_back(at);
        }
        return true;
    }
    if (name == "stuck-busy" && has_at) {
        // No cycle starts after a stuck one, so of several the earliest strikes.
        std::uint64_t& cycle = options.chip_faults.stuck_busy_cycle;
        if (at == 0) {
            error = bad_option(item, "write cycles are counted from 1");
            return false;
        }
        cycle = cycle == 0 ? at : std::min(cycle, at);
        return true;
    }
    if (name == "no-echo" || name == "stuck-busy") {
        if (has_at) {
            error = bad_option(item, "this fault takes no @");
            return false;
        }
        (name == "no-echo" ? options.no_echo : options.chip_faults.stuck_busy) = true;
        return true;
    }
    if (name == "busy") {
        // Census indexes, from 0, like detail-fail.
        if (has_at) {
            options.busy.at.push_back(at);
        } else {
            options.busy.every = true;
        }
        return true;
    }
    if (name == "replug") {
        if (has_at) {
            error = bad_option(item, "this fault takes no @");
            return false;
        }
        options.replug = true;
        return true;
    }
    if (name == "stuck-zero" || name == "stuck-one") {
        if (!has_at || at >= sim::SpiNor::kSize) {
            error = bad_option(item, "a stuck bit needs @ADDR below 0x200000");
            return false;
        }
        sim::ChipFaults& chip = options.chip_faults;
        (name == "stuck-zero" ? chip.stuck_zero : chip.stuck_one) = true;
        (name == "stuck-zero" ? chip.stuck_zero_address : chip.stuck_one_address) =
            static_cast<std::uint32_t>(at);
        return true;
    }
    error = bad_option(item, "unknown fault");
    return false;
}

// fault=VALUE#k: the fault of board k only, kept to be applied to that
// board's copy of the options (parsed here once, to check it).
bool parse_board_fault(std::string_view item, std::string_view value, SimOptions& options,
                       std::string& error, SimFace face) {
    std::size_t hash = value.find('#');
    if (hash == std::string_view::npos) {
        return parse_fault(item, value, options, error, face);
    }
    std::uint64_t board = 0;
    std::string_view fault = value.substr(0, hash);
    if (!parse_number(value.substr(hash + 1), board) || board >= kMaxBoards + 1) {
        error = bad_option(item, "the board after # is not a board number");
        return false;
    }
    std::string_view name = fault.substr(0, fault.find('@'));
    if (std::find(std::begin(kCensusFaults), std::end(kCensusFaults), name) !=
        std::end(kCensusFaults)) {
        error = bad_option(item, "this fault names no board");
        return false;
    }
    SimOptions check;
    if (!parse_fault(item, fault, check, error, face)) {
        return false;
    }
    options.board_faults.emplace_back(static_cast<std::uint32_t>(board), std::string(fault));
    return true;
}

// TYPE<TAB>SERIAL<TAB>DESCRIPTION lines; '#' lines and blank lines skipped.
bool read_census(std::string_view item, const std::string& path, std::vector<SimDevice>& devices,
                 std::string& error) {
    std::ifstream file(path);
    if (!file) {
        error = bad_option(item, "cannot read the census file");
        return false;
    }
    std::string line;
    int number = 0;
    while (std::getline(file, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::size_t tab1 = line.find('\t');
        std::size_t tab2 = tab1 == std::string::npos ? tab1 : line.find('\t', tab1 + 1);
        std::uint64_t type = 0;
        if (tab2 == std::string::npos || !parse_number(line.substr(0, tab1), type) ||
            type > UINT32_MAX) {
            std::string why =
                "census line " + std::to_string(number) + " is not TYPE<TAB>SERIAL<TAB>DESCRIPTION";
            error = bad_option(item, why.c_str());
            return false;
        }
        devices.push_back({static_cast<std::uint32_t>(type), line.substr(tab1 + 1, tab2 - tab1 - 1),
                           line.substr(tab2 + 1)});
    }
    if (!file.eof()) {  // a directory, say: it opens but cannot be read
        error = bad_option(item, "cannot read the census file");
        return false;
    }
    return true;
}

}  // namespace

bool SimFault::strikes(std::uint64_t n) const {
    return every || std::find(at.begin(), at.end(), n) != at.end();
}

std::vector<SimDevice> sim_blank_boards(int boards) {
    std::vector<SimDevice> devices;
    for (int board = 0; board < boards; ++board) {
        devices.push_back({FT_DEVICE_2232H, "A", "Dual RS232-HS A"});
        devices.push_back({FT_DEVICE_2232H, "B", "Dual RS232-HS B"});
    }
    return devices;
}

namespace {

// The chip options, which may name a board with #k.
bool parse_chip_item(std::string_view item, std::string_view key, std::string_view value,
                     SimOptions& options, std::string& error) {
    if (key == "chip") {
        const sim::ChipModel* model = sim::find_model(value);
        if (model == nullptr) {
            error = bad_option(item, "chip is m25p16, w25q16jv, at25sf161b or none");
            return false;
        }
        options.chip = model;
    } else if (key == "id") {
        std::uint64_t id = 0;
        if (value.size() != 6 || !parse_number("0x" + std::string(value), id)) {
            error = bad_option(item, "id is six hexadecimal digits, e.g. 202015");
            return false;
        }
        options.jedec_id = static_cast<std::uint32_t>(id);
        options.jedec_id_given = true;
    } else if (key == "sfdp") {
        if (value != "off") {
            error = bad_option(item, "sfdp takes only off");
            return false;
        }
        options.sfdp_off = true;
    } else if (key == "status") {
        std::string_view second = value.substr(
            value.find(':') == std::string_view::npos ? value.size() : value.find(':') + 1);
        std::string_view first = value.substr(0, value.find(':'));
        std::uint64_t sr1 = 0, sr2 = 0;
        if (first.empty() || first.size() > 2 || !parse_number("0x" + std::string(first), sr1) ||
            (value.find(':') != std::string_view::npos &&
             (second.empty() || second.size() > 2 ||
              !parse_number("0x" + std::string(second), sr2)))) {
            error = bad_option(item, "status is HEX or HEX:HEX, registers 1 and 2");
            return false;
        }
        options.status = static_cast<std::uint16_t>(sr1 | sr2 << 8);
        options.status_given = true;
    } else {  // asleep
        options.asleep = true;
    }
    return true;
}

constexpr std::string_view kChipKeys[] = {"chip", "id", "sfdp", "status", "asleep"};

// Options that mean nothing on the other face.
constexpr std::string_view kD2xxOnlyOptions[] = {"census"};
constexpr std::string_view kUsbOnlyOptions[] = {"serial", "speed", "state"};

// chip=, id=, sfdp=, status=, asleep: for every board, or board k with #k
// (kept to be applied to that board's copy of the options, parsed here once
// to check it).
bool parse_chip_option(std::string_view item, SimOptions& options, std::string& error) {
    std::size_t hash = item.find('#');
    std::string_view body = item.substr(0, hash);
    std::size_t equals = body.find('=');
    std::string_view key = body.substr(0, equals);
    std::string_view value = equals == std::string_view::npos ? "" : body.substr(equals + 1);
    if (key != "asleep" && value.empty()) {
        error = bad_option(item, "empty value");
        return false;
    }
    if (key == "asleep" && equals != std::string_view::npos) {
        error = bad_option(item, "asleep takes no value");
        return false;
    }
    if (hash == std::string_view::npos) {
        return parse_chip_item(item, key, value, options, error);
    }
    std::uint64_t board = 0;
    SimOptions check;
    if (!parse_number(item.substr(hash + 1), board) || board >= kMaxBoards) {
        error = bad_option(item, "the board after # is not a board number");
        return false;
    }
    if (!parse_chip_item(item, key, value, check, error)) {
        return false;
    }
    options.board_items.emplace_back(static_cast<std::uint32_t>(board), std::string(body));
    return true;
}

// boards= and census= both make the census: only one of them may be given.
struct CensusGiven {
    bool boards = false;
    bool census = false;
};

bool parse_census_option(std::string_view item, std::string_view key, std::string_view value,
                         SimOptions& options, std::string& error, CensusGiven& given) {
    if (key == "boards") {
        std::uint64_t boards = 0;
        if (given.census || !parse_number(value, boards) || boards < 1 || boards > kMaxBoards) {
            error = bad_option(
                item, given.census ? "boards and census exclude each other" : "boards is 1 to 8");
            return false;
        }
        options.devices = sim_blank_boards(static_cast<int>(boards));
        given.boards = true;
        return true;
    }
    options.devices.clear();
    if (given.boards) {
        error = bad_option(item, "boards and census exclude each other");
        return false;
    }
    if (!read_census(item, std::string(value), options.devices, error)) {
        return false;
    }
    given.census = true;
    return true;
}

bool parse_timing(std::string_view item, std::string_view value, SimOptions& options,
                  std::string& error) {
    if (value == "typ") {
        options.timing = sim::ChipTiming::typical();
    } else if (value == "max") {
        options.timing = sim::ChipTiming::maximum();
    } else if (value == "zero") {
        options.timing = sim::ChipTiming::zero();
    } else {
        error = bad_option(item, "timing is typ, max or zero");
        return false;
    }
    return true;
}

// Options that name a file: KEY=PATH.
struct PathOption {
    std::string_view key;
    std::string SimOptions::*path;
};

constexpr PathOption kPathOptions[] = {
    {"flash", &SimOptions::flash_path}, {"present", &SimOptions::present_path},
    {"trace", &SimOptions::trace_path}, {"report", &SimOptions::report_path},
    {"serial", &SimOptions::serial},    {"state", &SimOptions::state_path},
};

// KEY=VALUE, every option but the chip ones.
bool parse_option(std::string_view item, SimOptions& options, std::string& error, SimFace face,
                  CensusGiven& given) {
    std::size_t equals = item.find('=');
    if (equals == std::string_view::npos) {
        error = bad_option(item, "expected KEY=VALUE");
        return false;
    }
    std::string_view key = item.substr(0, equals);
    std::string_view value = item.substr(equals + 1);
    if (value.empty()) {
        error = bad_option(item, "empty value");
        return false;
    }
    if (face == SimFace::kUsb && listed(kD2xxOnlyOptions, key)) {
        error = bad_option(item, "an option of the D2XX face, not of the USB face");
        return false;
    }
    if (face == SimFace::kD2xx && listed(kUsbOnlyOptions, key)) {
        error = bad_option(item, "an option of the USB face, not of the D2XX face");
        return false;
    }
    for (const PathOption& option : kPathOptions) {
        if (key == option.key) {
            options.*option.path = value;
            return true;
        }
    }
    if (key == "boards" || key == "census") {
        return parse_census_option(item, key, value, options, error, given);
    }
    if (key == "timing") {
        return parse_timing(item, value, options, error);
    }
    if (key == "fault") {
        return parse_board_fault(item, value, options, error, face);
    }
    if (key == "speed") {
        if (value != "high" && value != "full") {
            error = bad_option(item, "speed is high or full");
            return false;
        }
        options.full_speed = value == "full";
        return true;
    }
    error = bad_option(item, "unknown option");
    return false;
}

// fault=...#k names a board there is (with fault=replug, the one plugged in later).
bool check_board_faults(const SimOptions& options, std::string& error) {
    std::size_t boards = options.board_count() + (options.replug ? 1 : 0);
    for (const auto& [board, fault] : options.board_faults) {
        if (board >= boards) {
            std::string item = "fault=" + fault + "#" + std::to_string(board);
            error = bad_option(item, "there is no such board");
            return false;
        }
    }
    return true;
}

bool parse_items(std::string_view text, SimOptions& options, std::string& error, SimFace face) {
    options.devices = sim_blank_boards(1);
    CensusGiven given;
    while (!text.empty()) {
        std::size_t comma = text.find(',');
        std::string_view item = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        if (item.empty()) {
            continue;
        }
        const bool chip =
            listed(kChipKeys, item.substr(0, std::min(item.find('='), item.find('#'))));
        if (!(chip ? parse_chip_option(item, options, error)
                   : parse_option(item, options, error, face, given))) {
            return false;
        }
    }
    return check_board_faults(options, error);
}

}  // namespace

bool parse_sim_options(std::string_view text, SimOptions& options, std::string& error,
                       SimFace face) {
    if (parse_items(text, options, error, face)) {
        return true;
    }
    error = (face == SimFace::kD2xx ? "hexburn: HEXBURN_DRIVER: " : "HEXBURN_USB_SIM: ") + error;
    return false;
}

SimOptions sim_board_options(const SimOptions& options, std::size_t k, SimFace face) {
    SimOptions board = options;
    board.board = static_cast<std::uint32_t>(k);
    for (const auto& [number, body] : options.board_items) {
        std::string unused;
        if (number == k) {
            std::string_view text = body;
            std::size_t equals = text.find('=');
            std::string_view key = text.substr(0, equals);
            std::string_view value =
                equals == std::string_view::npos ? "" : text.substr(equals + 1);
            parse_chip_item(body, key, value, board, unused);  // checked when parsed
        }
    }
    for (const auto& [number, fault] : options.board_faults) {
        std::string unused;
        if (number == k) {
            parse_fault(fault, fault, board, unused, face);  // checked when parsed
        }
    }
    return board;
}

std::vector<bool> sim_read_present(const std::string& path, std::size_t boards) {
    std::vector<bool> present(boards, false);
    std::ifstream file(path);
    std::string word;
    while (file >> word) {
        std::uint64_t k = 0;
        if (parse_number(word, k) && k < boards) {
            present[static_cast<std::size_t>(k)] = true;
        }
    }
    return present;
}

void sim_power_up_chip(const SimOptions& options, sim::SpiNor& chip) {
    if (options.jedec_id_given) {
        chip.set_identity(options.jedec_id);
    }
    // A unique ID of the board's own: a fixed stem and the board's number.
    chip.set_unique_id(0xD5E1A7C0'4B000000ULL | options.board);
    if (options.sfdp_off) {
        chip.set_sfdp_off();
    }
    if (options.asleep) {
        chip.set_asleep();
    }
}

std::string sim_board_path(const std::string& path, std::size_t k) {
    std::string result = path;
    std::string number = std::to_string(k);
    for (std::size_t at = result.find("%d"); at != std::string::npos;
         at = result.find("%d", at + number.size())) {
        result.replace(at, 2, number);
    }
    return result;
}
