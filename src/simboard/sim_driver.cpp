#include "simboard/sim_driver.h"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdarg>
#include <cstring>
#include <fstream>

namespace {

constexpr std::uint64_t kMicroframeNs = 125'000;  // one USB 2.0 microframe
constexpr std::uint64_t kNsPerMs = 1'000'000;
constexpr std::uint64_t kClockReadNs = 1'000;  // what watching the clock costs
constexpr std::uint32_t kFtdiId = 0x04036010;  // VID 0x0403, PID 0x6010
constexpr std::uint32_t kFlagHighSpeed = 2;
constexpr std::uint32_t kFlagOpened = 1;
constexpr int kMaxBoards = 8;

const char kErrorPrefix[] = "hexburn: HEXBURN_DRIVER: ";

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

std::string bad_option(std::string_view item, const char* why) {
    return std::string(kErrorPrefix) + "sim option '" + std::string(item) + "': " + why;
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

bool parse_fault(std::string_view item, std::string_view value, SimOptions& options,
                 std::string& error) {
    std::string_view name = value.substr(0, value.find('@'));
    bool has_at = name.size() < value.size();
    std::uint64_t at = 0;
    if (has_at && !parse_number(value.substr(name.size() + 1), at)) {
        error = bad_option(item, "the number after @ is not a number");
        return false;
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
        if (!has_at || at >= sim::M25P16::kSize) {
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
                       std::string& error) {
    std::size_t hash = value.find('#');
    if (hash == std::string_view::npos) {
        return parse_fault(item, value, options, error);
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
    if (!parse_fault(item, fault, check, error)) {
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

void copy_text(char* into, std::size_t size, const std::string& text) {
    if (into == nullptr) {
        return;
    }
    std::size_t n = std::min(text.size(), size - 1);
    std::memcpy(into, text.data(), n);
    std::memset(into + n, 0, size - n);
}

std::string wrong_size(long long size) {
    return "it holds " + std::to_string(size) + " bytes, not 2097152";
}

// A chip file, mapped; the file stays open so that it can be locked.
struct ChipFile {
    void* mapping = nullptr;
#if defined(_WIN32)
    HANDLE file = INVALID_HANDLE_VALUE;
#else
    int fd = -1;
#endif
};

// Maps the file at `path` as the chip's array, shared and writable, so the
// file holds what the chip holds however the program ends. A missing file is
// created at the chip's size with its space reserved (`created` set; its
// bytes are then zero), so a full disk fails here and not as a fault on a
// later write through the mapping. False with `why` set when the file cannot
// be used.
#if defined(_WIN32)
bool map_chip_file(const char* path, ChipFile& chip, bool& created, std::string& why) {
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, share, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    created = file != INVALID_HANDLE_VALUE;
    if (!created && GetLastError() == ERROR_FILE_EXISTS) {
        file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    if (file == INVALID_HANDLE_VALUE) {
        why = "Windows error " + std::to_string(GetLastError());
        return false;
    }
    void* mapping = nullptr;
    LARGE_INTEGER size{};
    if (!created && !GetFileSizeEx(file, &size)) {
        why = "Windows error " + std::to_string(GetLastError());
    } else if (!created && size.QuadPart != sim::M25P16::kSize) {
        why = wrong_size(size.QuadPart);
    } else {
        // The section grows a new file to the chip's size, allocated (NTFS
        // files are not sparse); the view keeps the section alive once its
        // handle is closed.
        HANDLE section =
            CreateFileMappingA(file, nullptr, PAGE_READWRITE, 0, sim::M25P16::kSize, nullptr);
        if (section != nullptr) {
            mapping = MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, sim::M25P16::kSize);
        }
        if (mapping == nullptr) {
            why = "Windows error " + std::to_string(GetLastError());
        }
        if (section != nullptr) {
            CloseHandle(section);
        }
    }
    if (mapping == nullptr) {
        CloseHandle(file);
        if (created) {
            DeleteFileA(path);
        }
        return false;
    }
    chip.mapping = mapping;
    chip.file = file;
    return true;
}

// One byte past the chip's end is the lock: it never covers mapped data.
bool lock_chip_file(ChipFile& chip) {
    OVERLAPPED where{};
    where.Offset = sim::M25P16::kSize;
    return LockFileEx(chip.file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                      &where) != 0;
}

void unlock_chip_file(ChipFile& chip) {
    OVERLAPPED where{};
    where.Offset = sim::M25P16::kSize;
    UnlockFileEx(chip.file, 0, 1, 0, &where);
}

void unmap_chip_file(ChipFile& chip) {
    UnmapViewOfFile(chip.mapping);
    CloseHandle(chip.file);
    chip = ChipFile{};
}
#else
// Gives the file the chip's size with its blocks allocated; 0 or an errno
// value. An existing file's holes are filled, its bytes kept.
int reserve_chip_space(int fd) {
#if defined(__APPLE__)
    // No posix_fallocate: the size alone, the blocks left to the first write.
    return ::ftruncate(fd, sim::M25P16::kSize) == 0 ? 0 : errno;
#else
    return ::posix_fallocate(fd, 0, sim::M25P16::kSize);
#endif
}

bool map_chip_file(const char* path, ChipFile& chip, bool& created, std::string& why) {
    int fd = ::open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    created = fd >= 0;
    if (!created && errno == EEXIST) {
        fd = ::open(path, O_RDWR | O_CLOEXEC);
    }
    if (fd < 0) {
        why = std::strerror(errno);
        return false;
    }
    void* mapping = nullptr;
    struct stat info {};
    int error = 0;
    if (!created && ::fstat(fd, &info) != 0) {
        why = std::strerror(errno);
    } else if (!created && info.st_size != sim::M25P16::kSize) {
        why = wrong_size(static_cast<long long>(info.st_size));
    } else if ((error = reserve_chip_space(fd)) != 0) {
        why = std::strerror(error);
    } else {
        mapping = ::mmap(nullptr, sim::M25P16::kSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (mapping == MAP_FAILED) {
            why = std::strerror(errno);
            mapping = nullptr;
        }
    }
    if (mapping == nullptr) {
        ::close(fd);
        if (created) {
            ::unlink(path);
        }
        return false;
    }
    chip.mapping = mapping;
    chip.fd = fd;
    return true;
}

bool lock_chip_file(ChipFile& chip) {
    return ::flock(chip.fd, LOCK_EX | LOCK_NB) == 0;
}

void unlock_chip_file(ChipFile& chip) {
    ::flock(chip.fd, LOCK_UN);
}

void unmap_chip_file(ChipFile& chip) {
    ::munmap(chip.mapping, sim::M25P16::kSize);
    ::close(chip.fd);
    chip = ChipFile{};
}
#endif

// `path` with every %d replaced by the board's number.
std::string for_board(const std::string& path, std::size_t k) {
    std::string result = path;
    std::string number = std::to_string(k);
    for (std::size_t at = result.find("%d"); at != std::string::npos;
         at = result.find("%d", at + number.size())) {
        result.replace(at, 2, number);
    }
    return result;
}

std::string hex(const void* bytes, std::size_t count) {
    static constexpr char kDigits[] = "0123456789abcdef";
    const auto* data = static_cast<const std::uint8_t*>(bytes);
    std::string text(count * 2, '0');
    for (std::size_t i = 0; i < count; ++i) {
        text[2 * i] = kDigits[data[i] >> 4];
        text[2 * i + 1] = kDigits[data[i] & 0x0F];
    }
    return text;
}

// Each driver's number, and per thread the board it used last.
std::atomic<std::uint64_t> next_serial{1};
struct LastBoard {
    std::uint64_t driver = 0;
    std::size_t board = 0;
};
thread_local LastBoard last_board;

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

bool parse_sim_options(std::string_view text, SimOptions& options, std::string& error) {
    options.devices = sim_blank_boards(1);
    bool have_boards = false;
    bool have_census = false;
    while (!text.empty()) {
        std::size_t comma = text.find(',');
        std::string_view item = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        if (item.empty()) {
            continue;
        }
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
        if (key == "flash") {
            options.flash_path = value;
        } else if (key == "boards") {
            std::uint64_t boards = 0;
            if (have_census || !parse_number(value, boards) || boards < 1 || boards > kMaxBoards) {
                error = bad_option(item, have_census ? "boards and census exclude each other"
                                                     : "boards is 1 to 8");
                return false;
            }
            options.devices = sim_blank_boards(static_cast<int>(boards));
            have_boards = true;
        } else if (key == "census") {
            options.devices.clear();
            if (have_boards) {
                error = bad_option(item, "boards and census exclude each other");
                return false;
            }
            if (!read_census(item, std::string(value), options.devices, error)) {
                return false;
            }
            have_census = true;
        } else if (key == "timing") {
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
        } else if (key == "fault") {
            if (!parse_board_fault(item, value, options, error)) {
                return false;
            }
        } else if (key == "id") {
            std::uint64_t id = 0;
            if (value.size() != 6 || !parse_number("0x" + std::string(value), id)) {
                error = bad_option(item, "id is six hexadecimal digits, e.g. 202015");
                return false;
            }
            options.jedec_id = static_cast<std::uint32_t>(id);
        } else if (key == "trace") {
            options.trace_path = value;
        } else if (key == "report") {
            options.report_path = value;
        } else {
            error = bad_option(item, "unknown option");
            return false;
        }
    }
    std::size_t boards = (options.devices.size() + 1) / 2 + (options.replug ? 1 : 0);
    for (const auto& [board, fault] : options.board_faults) {
        if (board >= boards) {
            std::string item = "fault=" + fault + "#" + std::to_string(board);
            error = bad_option(item, "there is no such board");
            return false;
        }
    }
    return true;
}

// --- the driver ------------------------------------------------------------------

// A trace file, shared by the boards whose trace= path is the same.
struct SimDriver::Trace {
    std::string path;
    std::FILE* file = nullptr;
    std::mutex lock;
    bool failed = false;  // said so on standard error
};

// One FT2232H: its hardware, its host-side state and its own faults.
struct SimDriver::Hardware {
    std::mutex lock;  // every call on the board holds it
    std::size_t number = 0;
    SimBoard board;
    SimOptions faults;  // the run's options with this board's own faults added
    std::string flash_path;
    std::string report_path;
    Trace* trace = nullptr;
    std::vector<std::uint8_t> memory;  // the chip when it is not a file
    ChipFile file;                     // the chip when it is a file
    std::unique_ptr<sim::ChipOnPins> pins;

    bool open = false;
    std::uint32_t open_location = 0;
    SimDevice opened;  // the entry it was opened as
    bool report_due = false;
    std::uint32_t read_timeout_ms = 0;  // 0: none, wait for the full count
    std::uint32_t write_timeout_ms = 0;
    std::uint32_t usb_in_size = 4096;
    std::uint32_t usb_out_size = 4096;
    std::uint8_t error_char = 0;
    bool error_char_enabled = false;

    // Calls so far, for the counted faults.
    std::uint64_t open_calls = 0;
    std::uint64_t timeout_calls = 0;
    std::uint64_t write_calls = 0;
    std::uint64_t read_calls = 0;

    void attach_chip(std::uint8_t* array) {
        board.flash = std::span<std::uint8_t>(array, sim::M25P16::kSize);
        board.chip = std::make_unique<sim::M25P16>(array, board.channel.board_clock(),
                                                   faults.timing, faults.chip_faults);
        board.chip->set_identity(faults.jedec_id);
        pins = std::make_unique<sim::ChipOnPins>(*board.chip);
        board.channel.attach(pins.get());
    }
};

SimDriver::SimDriver(SimOptions options)
    : options_(std::move(options)), serial_(next_serial.fetch_add(1)) {
    // Boards of their own only when each has its own chip file.
    const bool separate = options_.flash_path.find("%d") != std::string::npos;
    std::size_t listed = (options_.devices.size() + 1) / 2;
    std::size_t count = separate ? listed + (options_.replug ? 1 : 0) : 1;
    for (std::size_t k = 0; k < count; ++k) {
        auto hw = std::make_unique<Hardware>();
        hw->number = k;
        hw->faults = options_;
        for (const auto& [board, fault] : options_.board_faults) {
            std::string unused;
            if (board == k) {
                parse_fault(fault, fault, hw->faults, unused);  // checked when parsed
            }
        }
        hw->flash_path = for_board(options_.flash_path, k);
        hw->report_path = for_board(options_.report_path, k);
        hw->board.channel.set_answer_bad_commands(!hw->faults.no_echo);
        if (options_.flash_path.empty()) {
            hw->memory.assign(sim::M25P16::kSize, 0xFF);
            hw->attach_chip(hw->memory.data());
        }
        boards_.push_back(std::move(hw));
    }
    for (std::size_t i = 0; i < options_.devices.size(); ++i) {
        Hardware* hw = boards_[separate ? i / 2 : 0].get();
        // Interfaces of one chip share a location but for the last digit.
        auto where = static_cast<std::uint32_t>((i / 2 + 1) * 0x10 + i % 2 + 1);
        census_.push_back({options_.devices[i], hw, where, options_.busy.strikes(i)});
    }
}

SimDriver::~SimDriver() {
    for (auto& hw : boards_) {
        if (hw->report_due) {
            write_report(*hw);  // the program ended without closing: report anyway
        }
        hw->board.channel.attach(nullptr);
        hw->board.chip.reset();
        if (hw->file.mapping != nullptr) {
            unmap_chip_file(hw->file);
        }
    }
    for (auto& sink : traces_) {
        flush_trace(*sink);
        if (std::fclose(sink->file) != 0 && !sink->failed) {
            std::fprintf(stderr, "hexburn: sim: cannot write the trace '%s'\n", sink->path.c_str());
        }
    }
}

bool SimDriver::start_trace(std::string& error) {
    if (options_.trace_path.empty() || !traces_.empty()) {
        return true;
    }
    for (auto& hw : boards_) {
        std::string path = for_board(options_.trace_path, hw->number);
        for (auto& sink : traces_) {
            if (sink->path == path) {
                hw->trace = sink.get();
            }
        }
        if (hw->trace != nullptr) {
            continue;
        }
        auto sink = std::make_unique<Trace>();
        sink->path = path;
        sink->file = std::fopen(path.c_str(), "a");
        if (sink->file == nullptr) {
            error = std::string(kErrorPrefix) + "sim option 'trace=" + options_.trace_path +
                    "': cannot open the file" + (path != options_.trace_path ? " " + path : "");
            return false;
        }
        std::setvbuf(sink->file, nullptr, _IOFBF, 1 << 16);
        hw->trace = sink.get();
        traces_.push_back(std::move(sink));
    }
    return true;
}

SimBoard& SimDriver::board(std::size_t k) {
    return boards_.at(k)->board;
}

std::uint32_t SimDriver::read_timeout_ms() const {
    return boards_[0]->read_timeout_ms;
}
std::uint32_t SimDriver::write_timeout_ms() const {
    return boards_[0]->write_timeout_ms;
}
std::uint32_t SimDriver::usb_in_size() const {
    return boards_[0]->usb_in_size;
}
std::uint32_t SimDriver::usb_out_size() const {
    return boards_[0]->usb_out_size;
}

SimDriver::Hardware& SimDriver::current() {
    const LastBoard& last = last_board;
    std::size_t k = last.driver == serial_ && last.board < boards_.size() ? last.board : 0;
    return *boards_[k];
}

SimDriver::Hardware* SimDriver::enter(FT_HANDLE handle, std::unique_lock<std::mutex>& hold) {
    for (auto& hw : boards_) {
        if (handle == &hw->board) {
            hold = std::unique_lock<std::mutex>(hw->lock);
            if (!hw->open) {
                return nullptr;
            }
            last_board = {serial_, hw->number};
            return hw.get();
        }
    }
    return nullptr;
}

// Maps the flash file, creating it as an erased chip when it is missing, and
// locks it for as long as the handle is open.
bool SimDriver::power_up(Hardware& hw, std::string& why) {
    if (hw.flash_path.empty() || hw.memory.size() != 0) {
        return true;
    }
    if (hw.file.mapping == nullptr) {
        bool created = false;
        if (!map_chip_file(hw.flash_path.c_str(), hw.file, created, why)) {
            return false;
        }
        if (created) {
            std::memset(hw.file.mapping, 0xFF, sim::M25P16::kSize);
        }
        hw.attach_chip(static_cast<std::uint8_t*>(hw.file.mapping));
    }
    if (!lock_chip_file(hw.file)) {
        why = "in use by another process";
        return false;
    }
    return true;
}

// Another FT2232H appears in front of the list: the fault=replug board.
void SimDriver::plug_in_if_due() {
    if (!options_.replug || plugged_) {
        return;
    }
    plugged_ = true;
    std::size_t k = boards_.size() > 1 ? boards_.size() - 1 : 0;
    auto where = static_cast<std::uint32_t>(((options_.devices.size() + 1) / 2 + 1) * 0x10 + 1);
    std::vector<SimDevice> added = sim_blank_boards(1);
    census_.insert(census_.begin(), {{added[0], boards_[k].get(), where, false},
                                     {added[1], boards_[k].get(), where + 1, false}});
}

FT_STATUS SimDriver::create_device_info_list(std::uint32_t* count) {
    std::lock_guard<std::mutex> hold(census_lock_);
    ++census_calls_;
    said_busy_ = false;
    FT_STATUS status = FT_OK;
    if (options_.census_fail.strikes(census_calls_)) {
        status = FT_IO_ERROR;
    } else if (count != nullptr) {
        *count = static_cast<std::uint32_t>(census_.size());
    }
    if (status == FT_OK) {
        // A census holds a few entries; %u also suits Windows' printf.
        trace_all("FT_CreateDeviceInfoList -> 0 %u", static_cast<unsigned>(census_.size()));
    } else {
        trace_all("FT_CreateDeviceInfoList -> %u", status);
    }
    return status;
}

FT_STATUS SimDriver::get_device_info_detail(std::uint32_t index, std::uint32_t* flags,
                                            std::uint32_t* type, std::uint32_t* id,
                                            std::uint32_t* location, char* serial,
                                            char* description, FT_HANDLE* handle) {
    std::lock_guard<std::mutex> hold(census_lock_);
    FT_STATUS status = FT_OK;
    if (index >= census_.size()) {
        status = FT_DEVICE_NOT_FOUND;
    } else if (options_.detail_fail.strikes(index)) {
        status = FT_IO_ERROR;
    }
    if (status != FT_OK) {
        trace(index < census_.size() ? *census_[index].hardware : *boards_[0],
              "FT_GetDeviceInfoDetail %u -> %u", index, status);
        return status;
    }
    const Listed& entry = census_[index];
    Hardware& hw = *entry.hardware;
    bool opened = false;
    {
        std::lock_guard<std::mutex> board_hold(hw.lock);
        opened = hw.open && hw.open_location == entry.location;
    }
    // Open elsewhere: the flags alone, every other field empty.
    const SimDevice none{0, "", ""};
    const SimDevice& device = entry.busy ? none : entry.device;
    std::uint32_t where = entry.busy ? 0 : entry.location;
    std::uint32_t ident = entry.busy ? 0 : kFtdiId;
    std::uint32_t flag_bits = kFlagHighSpeed | (opened || entry.busy ? kFlagOpened : 0);
    if (flags != nullptr) {
        *flags = flag_bits;
    }
    if (type != nullptr) {
        *type = device.type;
    }
    if (id != nullptr) {
        *id = ident;
    }
    if (location != nullptr) {
        *location = where;
    }
    copy_text(serial, FT_SERIAL_SIZE, device.serial);
    copy_text(description, FT_DESCRIPTION_SIZE, device.description);
    if (handle != nullptr) {
        *handle = opened ? &hw.board : nullptr;
    }
    if (entry.busy && name_busy_ && !said_busy_) {
        said_busy_ = true;
        std::fputs(kInUseLine, stderr);
    }
    if (hw.trace != nullptr) {
        trace(hw, "FT_GetDeviceInfoDetail %u -> 0 %u %u %u %u %s %s", index, flag_bits, device.type,
              ident, where, hex(device.serial.data(), device.serial.size()).c_str(),
              hex(device.description.data(), device.description.size()).c_str());
    }
    return FT_OK;
}

// Opens `entry`'s board; the caller holds the census lock.
FT_STATUS SimDriver::open_listed(Hardware& hw, const Listed& entry, FT_HANDLE* handle) {
    std::lock_guard<std::mutex> hold(hw.lock);
    ++hw.open_calls;
    std::string why;
    if (entry.busy || hw.open || hw.faults.open_fail.strikes(hw.open_calls) || handle == nullptr) {
        return FT_DEVICE_NOT_OPENED;
    }
    if (!power_up(hw, why)) {
        std::fprintf(stderr, "hexburn: sim: flash file '%s': %s\n", hw.flash_path.c_str(),
                     why.c_str());
        return FT_DEVICE_NOT_OPENED;
    }
    hw.open = true;
    hw.open_location = entry.location;
    hw.opened = entry.device;
    hw.report_due = true;
    hw.read_timeout_ms = 0;
    hw.write_timeout_ms = 0;
    hw.usb_in_size = 4096;
    hw.usb_out_size = 4096;
    hw.board.channel.drop_host_queue();
    *handle = &hw.board;
    last_board = {serial_, hw.number};
    return FT_OK;
}

FT_STATUS SimDriver::open(int index, FT_HANDLE* handle) {
    std::lock_guard<std::mutex> hold(census_lock_);
    plug_in_if_due();
    if (index < 0 || static_cast<std::size_t>(index) >= census_.size()) {
        trace(*boards_[0], "FT_Open %d -> %u", index, FT_DEVICE_NOT_FOUND);
        return FT_DEVICE_NOT_FOUND;
    }
    const Listed& entry = census_[static_cast<std::size_t>(index)];
    FT_STATUS status = open_listed(*entry.hardware, entry, handle);
    trace(*entry.hardware, "FT_Open %d -> %u", index, status);
    return status;
}

FT_STATUS SimDriver::open_ex(const void* arg, std::uint32_t how, FT_HANDLE* handle) {
    constexpr std::uint32_t kBySerial = 1, kByDescription = 2, kByLocation = 4;
    std::lock_guard<std::mutex> hold(census_lock_);
    plug_in_if_due();
    const bool by_text = (how == kBySerial || how == kByDescription) && arg != nullptr;
    const char* wanted = by_text ? static_cast<const char*>(arg) : "";
    auto location = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(arg));
    std::string text = by_text ? hex(wanted, std::strlen(wanted)) : std::to_string(location);
    FT_STATUS status = by_text || how == kByLocation ? FT_DEVICE_NOT_FOUND : FT_INVALID_PARAMETER;
    Hardware* hw = boards_[0].get();
    for (const Listed& entry : census_) {
        if (status != FT_DEVICE_NOT_FOUND) {
            break;
        }
        const std::string& name = how == kBySerial ? entry.device.serial : entry.device.description;
        if (by_text ? !entry.busy && name == wanted : entry.location == location) {
            hw = entry.hardware;
            status = open_listed(*hw, entry, handle);
        }
    }
    trace(*hw, "FT_OpenEx %s %u -> %u", text.c_str(), how, status);
    return status;
}

FT_STATUS SimDriver::get_device_info(FT_HANDLE handle, std::uint32_t* type, std::uint32_t* id,
                                     char* serial, char* description) {
    std::unique_lock<std::mutex> hold;
    Hardware* hw = enter(handle, hold);
    if (hw == nullptr) {
        trace(*boards_[0], "FT_GetDeviceInfo -> %u", FT_INVALID_HANDLE);
        return FT_INVALID_HANDLE;
    }
    const SimDevice& device = hw->opened;
    if (type != nullptr) {
        *type = device.type;
    }
    if (id != nullptr) {
        *id = kFtdiId;
    }
    copy_text(serial, FT_SERIAL_SIZE, device.serial);
    copy_text(description, FT_DESCRIPTION_SIZE, device.description);
    trace(*hw, "FT_GetDeviceInfo -> 0 %u %u %s %s", device.type, kFtdiId,
          hex(device.serial.data(), device.serial.size()).c_str(),
          hex(device.description.data(), device.description.size()).c_str());
    return FT_OK;
}

FT_STATUS SimDriver::close(FT_HANDLE handle) {
    std::unique_lock<std::mutex> hold;
    Hardware* hw = enter(handle, hold);
    if (hw == nullptr) {
        trace(*boards_[0], "FT_Close -> %u", FT_INVALID_HANDLE);
        return FT_INVALID_HANDLE;
    }
    hw->open = false;
    if (hw->file.mapping != nullptr) {
        unlock_chip_file(hw->file);
    }
    hw->board.channel.drop_host_queue();
    trace(*hw, "FT_Close -> 0");
    if (hw->trace != nullptr) {
        flush_trace(*hw->trace);
    }
    write_report(*hw);
    return FT_OK;
}

FT_STATUS SimDriver::reset_device(FT_HANDLE handle) {
    std::unique_lock<std::mutex> hold;
    Hardware* hw = enter(handle, hold);
    if (hw == nullptr) {
        trace(*boards_[0], "FT_ResetDevice -> %u", FT_INVALID_HANDLE);
        return FT_INVALID_HANDLE;
    }
    hw->board.clock.advance(kMicroframeNs);
    hw->board.channel.purge();
    hw->board.channel.set_event_char(0, false);
    hw->error_char = 0;
    hw->error_char_enabled = false;
    trace(*hw, "FT_ResetDevice -> 0");
    return FT_OK;
}

FT_STATUS SimDriver::get_queue_status(FT_HANDLE handle, std::uint32_t* rx_bytes) {
    std::unique_lock<std::mutex> hold;
    Hardware* hw = enter(handle, hold);
    if (hw == nullptr || rx_bytes == nullptr) {
        FT_STATUS status = hw != nullptr ? FT_INVALID_PARAMETER : FT_INVALID_HANDLE;
        trace(hw != nullptr ? *hw : *boards_[0], "FT_GetQueueStatus -> %u", status);
        return status;
    }
    SimBoard& board = hw->board;
    board.clock.advance(kMicroframeNs);
    std::size_t queued = board.channel.host_queued(board.clock.now_ns);
    *rx_bytes = static_cast<std::uint32_t>(std::min<std::size_t>(queued, UINT32_MAX));
    trace(*hw, "FT_GetQueueStatus -> 0 %u", *rx_bytes);
    return FT_OK;
}

FT_STATUS SimDriver::set_usb_parameters(FT_HANDLE handle, std::uint32_t in_size,
                                        std::uint32_t out_size) {
    std::unique_lock<std::mutex> hold;
    Hardware* hw = enter(handle, hold);
    FT_STATUS status = hw != nullptr ? FT_OK : FT_INVALID_HANDLE;
    if (hw != nullptr) {
        hw->usb_in_size = in_size;
        hw->usb_out_size = out_size;
        hw->board.channel.drop_host_queue();  // the driver reallocates its buffer
    }
    trace(hw != nullptr ? *hw : *boards_[0], "FT_SetUSBParameters %u %u -> %u", in_size, out_size,
          status);
    return status;
}

FT_STATUS SimDriver::set_chars(FT_HANDLE handle, std::uint8_t event_char,
                               std::uint8_t event_enabled, std::uint8_t error_char,
                               std::uint8_t error_enabled) {
    std::unique_lock<std::mutex> hold;
    Hardware* hw = enter(handle, hold);
    FT_STATUS status = hw != nullptr ? FT_OK : FT_INVALID_HANDLE;
    if (hw != nullptr) {
        hw->board.clock.advance(kMicroframeNs);
        hw->board.channel.set_event_char(event_char, event_enabled != 0);
        hw->error_char = error_char;
        hw->error_char_enabled = error_enabled != 0;
    }
    trace(hw != nullptr ? *hw : *boards_[0], "FT_SetChars %u %u %u %u -> %u", event_char,
          event_enabled, error_char, error_enabled, status);
    return status;
}

FT_STATUS SimDriver::set_timeouts(FT_HANDLE handle, std::uint32_t read_ms, std::uint32_t write_ms) {
    std::unique_lock<std::mutex> hold;
    Hardware* hw = enter(handle, hold);
    FT_STATUS status = hw != nullptr ? FT_OK : FT_INVALID_HANDLE;
    if (hw != nullptr && hw->faults.setup_fail.strikes(++hw->timeout_calls)) {
        status = FT_IO_ERROR;
    }
    if (status == FT_OK) {
        hw->read_timeout_ms = read_ms;
        hw->write_timeout_ms = write_ms;
    }
    trace(hw != nullptr ? *hw : *boards_[0], "FT_SetTimeouts %u %u -> %u", read_ms, write_ms,
          status);
    return status;
}

FT_STATUS SimDriver::set_latency_timer(FT_HANDLE handle, std::uint8_t ms) {
    std::unique_lock<std::mutex> hold;
    Hardware* hw = enter(handle, hold);
    FT_STATUS status = hw != nullptr ? FT_OK : FT_INVALID_HANDLE;
    if (status == FT_OK && ms == 0) {
        status = FT_INVALID_PARAMETER;
    }
    if (status == FT_OK) {
        hw->board.clock.advance(kMicroframeNs);
        hw->board.channel.set_latency_ms(ms);
    }
    trace(hw != nullptr ? *hw : *boards_[0], "FT_SetLatencyTimer %u -> %u", ms, status);
    return status;
}

FT_STATUS SimDriver::set_bit_mode(FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode) {
    std::unique_lock<std::mutex> hold;
    Hardware* hw = enter(handle, hold);
    FT_STATUS status = hw != nullptr ? FT_OK : FT_INVALID_HANDLE;
    if (hw != nullptr) {
        hw->board.clock.advance(kMicroframeNs);
        if (!hw->board.channel.set_bit_mode(mask, mode)) {
            status = FT_INVALID_PARAMETER;
        }
    }
    trace(hw != nullptr ? *hw : *boards_[0], "FT_SetBitMode %u %u -> %u", mask, mode, status);
    return status;
}

FT_STATUS SimDriver::write(FT_HANDLE handle, const std::uint8_t* data, std::uint32_t count,
                           std::uint32_t* written) {
    std::unique_lock<std::mutex> hold;
    Hardware* hw = enter(handle, hold);
    FT_STATUS status = FT_OK;
    std::uint32_t delivered = 0;
    std::uint64_t call = hw != nullptr ? ++hw->write_calls : 0;
    if (hw == nullptr) {
        status = FT_INVALID_HANDLE;
    } else if ((data == nullptr && count != 0) || written == nullptr) {
        status = FT_INVALID_PARAMETER;
    } else if (hw->faults.write_fail.strikes(call)) {
        status = FT_IO_ERROR;
        *written = 0;
    } else {
        SimBoard& board = hw->board;
        delivered = count;
        if (count != 0 && hw->faults.write_short.strikes(call)) {
            delivered = count - 1;
        }
        // Packets in microframes, each taken when the chip's buffer has room;
        // the engine runs behind them.
        board.clock.now_ns = board.channel.transfer_out(data, delivered, board.clock.now_ns);
        *written = delivered;
        ++board.traffic.usb_writes;
        board.traffic.bytes_out += delivered;
    }
    Hardware& traced = hw != nullptr ? *hw : *boards_[0];
    if (traced.trace != nullptr) {
        trace(traced, "FT_Write %s -> %u %u", hex(data, data == nullptr ? 0 : count).c_str(),
              status, delivered);
    }
    if (hw != nullptr && hw->faults.raise_sigint.strikes(call)) {
        std::raise(SIGINT);
    }
    if (hw != nullptr && hw->faults.raise_sigterm.strikes(call)) {
        std::raise(SIGTERM);
    }
#if defined(SIGHUP)
    if (hw != nullptr && hw->faults.raise_sighup.strikes(call)) {
        std::raise(SIGHUP);
    }
#endif
    return status;
}

FT_STATUS SimDriver::read(FT_HANDLE handle, std::uint8_t* data, std::uint32_t count,
                          std::uint32_t* got) {
    std::unique_lock<std::mutex> hold;
    Hardware* hw = enter(handle, hold);
    FT_STATUS status = FT_OK;
    std::size_t n = 0;
    std::uint64_t call = hw != nullptr ? ++hw->read_calls : 0;
    if (hw == nullptr) {
        status = FT_INVALID_HANDLE;
    } else if ((data == nullptr && count != 0) || got == nullptr) {
        status = FT_INVALID_PARAMETER;
    } else if (hw->faults.read_fail.strikes(call)) {
        status = FT_IO_ERROR;
        *got = 0;
    } else {
        SimBoard& board = hw->board;
        sim::Ft2232hChannel& channel = board.channel;
        std::uint64_t start = board.clock.now_ns;
        std::uint64_t limit =
            hw->read_timeout_ms == 0 ? sim::kNever : start + hw->read_timeout_ms * kNsPerMs;
        std::uint64_t reached = channel.wait_for(count, start, limit);
        std::size_t want = count;
        if (count != 0 && hw->faults.read_short.strikes(call)) {
            // The last byte stays queued; the call returns at its time-out.
            want = count - 1;
            if (limit != sim::kNever) {
                channel.host_queued(limit);
                reached = std::max(reached, limit);
            }
        }
        board.clock.now_ns = std::max(start, reached);
        n = channel.take(data, want);
        *got = static_cast<std::uint32_t>(n);
        ++board.traffic.usb_reads;
        board.traffic.bytes_in += n;
    }
    Hardware& traced = hw != nullptr ? *hw : *boards_[0];
    if (traced.trace != nullptr) {
        trace(traced, "FT_Read %u -> %u %s", count, status, hex(data, n).c_str());
    }
    return status;
}

void SimDriver::sleep_ms(std::uint32_t ms) {
    Hardware& hw = current();
    std::lock_guard<std::mutex> hold(hw.lock);
    hw.board.clock.advance(ms * kNsPerMs);
}

std::uint64_t SimDriver::clock_ms() {
    Hardware& hw = current();
    std::lock_guard<std::mutex> hold(hw.lock);
    hw.board.clock.advance(kClockReadNs);
    return hw.board.clock.now_ns / kNsPerMs;
}

// --- report and trace -----------------------------------------------------------

std::string SimDriver::report_json(std::size_t k) const {
    const SimBoard& board = boards_.at(k)->board;
    const sim::ChipCounters none{};
    const sim::ChipCounters& chip = board.chip != nullptr ? board.chip->counters() : none;
    const sim::ChannelCounters& channel = board.channel.counters();
    const SimTraffic& traffic = board.traffic;
    char text[1024];
    std::snprintf(text, sizeof text,
                  "{\n"
                  "  \"virtual_seconds\": %.9f,\n"
                  "  \"usb_writes\": %llu,\n"
                  "  \"usb_reads\": %llu,\n"
                  "  \"bytes_out\": %llu,\n"
                  "  \"bytes_in\": %llu,\n"
                  "  \"spi_transactions\": %llu,\n"
                  "  \"page_programs\": %llu,\n"
                  "  \"sector_erases\": %llu,\n"
                  "  \"bulk_erases\": %llu,\n"
                  "  \"sk_cycles\": %llu,\n"
                  "  \"bad_commands\": %llu\n"
                  "}\n",
                  static_cast<double>(board.clock.now_ns) / 1e9,
                  static_cast<unsigned long long>(traffic.usb_writes),
                  static_cast<unsigned long long>(traffic.usb_reads),
                  static_cast<unsigned long long>(traffic.bytes_out),
                  static_cast<unsigned long long>(traffic.bytes_in),
                  static_cast<unsigned long long>(chip.transactions),
                  static_cast<unsigned long long>(chip.page_programs),
                  static_cast<unsigned long long>(chip.sector_erases),
                  static_cast<unsigned long long>(chip.bulk_erases),
                  static_cast<unsigned long long>(channel.sk_cycles),
                  static_cast<unsigned long long>(channel.bad_commands));
    return text;
}

void SimDriver::write_report(Hardware& hw) {
    hw.report_due = false;
    if (hw.report_path.empty()) {
        return;
    }
    std::FILE* file = std::fopen(hw.report_path.c_str(), "w");
    std::string json = report_json(hw.number);
    if (file == nullptr || std::fputs(json.c_str(), file) < 0 || std::fclose(file) != 0) {
        std::fprintf(stderr, "hexburn: sim: cannot write the report '%s'\n",
                     hw.report_path.c_str());
    }
}

void SimDriver::flush_trace(Trace& sink) {
    std::lock_guard<std::mutex> hold(sink.lock);
    if ((std::fflush(sink.file) != 0 || std::ferror(sink.file) != 0) && !sink.failed) {
        sink.failed = true;
        std::fprintf(stderr, "hexburn: sim: cannot write the trace '%s'\n", sink.path.c_str());
    }
}

namespace {

std::string format_line(const char* format, std::va_list args) {
    std::va_list again;
    va_copy(again, args);
    int size = std::vsnprintf(nullptr, 0, format, again);
    va_end(again);
    std::string line(static_cast<std::size_t>(std::max(size, 0)) + 1, '\0');
    std::vsnprintf(line.data(), line.size(), format, args);
    line.back() = '\n';
    return line;
}

}  // namespace

void SimDriver::emit(Trace& sink, const std::string& line) {
    std::lock_guard<std::mutex> hold(sink.lock);
    std::fwrite(line.data(), 1, line.size(), sink.file);
}

void SimDriver::trace(Hardware& hw, const char* format, ...) {
    if (hw.trace == nullptr) {
        return;
    }
    std::va_list args;
    va_start(args, format);
    std::string line = format_line(format, args);
    va_end(args);
    emit(*hw.trace, line);
}

void SimDriver::trace_all(const char* format, ...) {
    if (traces_.empty()) {
        return;
    }
    std::va_list args;
    va_start(args, format);
    std::string line = format_line(format, args);
    va_end(args);
    for (auto& sink : traces_) {
        emit(*sink, line);
    }
}

std::unique_ptr<SimDriver> make_sim_board(std::string_view text, std::string& error) {
    SimOptions options;
    if (!parse_sim_options(text, options, error)) {
        return nullptr;
    }
    auto driver = std::make_unique<SimDriver>(std::move(options));
    if (!driver->start_trace(error)) {
        return nullptr;
    }
    return driver;
}

std::unique_ptr<D2xxDriver> make_sim_driver(std::string_view text, std::string& error) {
    std::unique_ptr<SimDriver> driver = make_sim_board(text, error);
    if (driver != nullptr) {
        driver->name_busy_entries(true);
    }
    return driver;
}
