#include "drivers/sim_driver.h"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <charconv>
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
};

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
    if (name == "stuck-zero") {
        if (!has_at || at >= sim::M25P16::kSize) {
            error = bad_option(item, "stuck-zero needs @ADDR below 0x200000");
            return false;
        }
        options.chip_faults.stuck_zero = true;
        options.chip_faults.stuck_zero_address = static_cast<std::uint32_t>(at);
        return true;
    }
    error = bad_option(item, "unknown fault");
    return false;
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

// The chip's array as a shared, writable mapping of the file at `path`, so the
// file holds what the chip holds however the program ends. A missing file is
// created at the chip's size (`created` set; its bytes are then zero).
// nullptr with `why` set when the file cannot be used.
#if defined(_WIN32)
void* map_chip_file(const char* path, bool& created, std::string& why) {
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
        return nullptr;
    }
    void* mapping = nullptr;
    LARGE_INTEGER size{};
    if (!created && !GetFileSizeEx(file, &size)) {
        why = "Windows error " + std::to_string(GetLastError());
    } else if (!created && size.QuadPart != sim::M25P16::kSize) {
        why = wrong_size(size.QuadPart);
    } else {
        // The section grows a new file to the chip's size; the view keeps the
        // section alive once its handle is closed.
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
    CloseHandle(file);
    if (mapping == nullptr && created) {
        DeleteFileA(path);
    }
    return mapping;
}

void unmap_chip_file(void* mapping) {
    UnmapViewOfFile(mapping);
}
#else
void* map_chip_file(const char* path, bool& created, std::string& why) {
    int fd = ::open(path, O_RDWR | O_CREAT | O_EXCL, 0666);
    created = fd >= 0;
    if (!created && errno == EEXIST) {
        fd = ::open(path, O_RDWR);
    }
    if (fd < 0) {
        why = std::strerror(errno);
        return nullptr;
    }
    void* mapping = nullptr;
    struct stat info {};
    if (created ? ::ftruncate(fd, sim::M25P16::kSize) != 0 : ::fstat(fd, &info) != 0) {
        why = std::strerror(errno);
    } else if (!created && info.st_size != sim::M25P16::kSize) {
        why = wrong_size(static_cast<long long>(info.st_size));
    } else {
        mapping = ::mmap(nullptr, sim::M25P16::kSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (mapping == MAP_FAILED) {
            why = std::strerror(errno);
            mapping = nullptr;
        }
    }
    ::close(fd);
    if (mapping == nullptr && created) {
        ::unlink(path);
    }
    return mapping;
}

void unmap_chip_file(void* mapping) {
    ::munmap(mapping, sim::M25P16::kSize);
}
#endif

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
            if (!parse_fault(item, value, options, error)) {
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
    return true;
}

// --- the driver ------------------------------------------------------------------

SimDriver::SimDriver(SimOptions options) : options_(std::move(options)) {
    board_.channel.set_answer_bad_commands(!options_.no_echo);
    if (options_.flash_path.empty()) {
        memory_.assign(sim::M25P16::kSize, 0xFF);
        attach_chip(memory_.data());
    }
}

SimDriver::~SimDriver() {
    if (open_) {
        write_report();  // the program ended without closing: report anyway
    }
    board_.channel.attach(nullptr);
    board_.chip.reset();
    if (mapping_ != nullptr) {
        unmap_chip_file(mapping_);
    }
    if (trace_ != nullptr) {
        std::fclose(trace_);
    }
}

bool SimDriver::start_trace(std::string& error) {
    if (options_.trace_path.empty() || trace_ != nullptr) {
        return true;
    }
    trace_ = std::fopen(options_.trace_path.c_str(), "a");
    if (trace_ == nullptr) {
        error = std::string(kErrorPrefix) + "sim option 'trace=" + options_.trace_path +
                "': cannot open the file";
        return false;
    }
    std::setvbuf(trace_, nullptr, _IOFBF, 1 << 16);
    return true;
}

void SimDriver::attach_chip(std::uint8_t* memory) {
    board_.flash = std::span<std::uint8_t>(memory, sim::M25P16::kSize);
    board_.chip = std::make_unique<sim::M25P16>(memory, board_.channel.board_clock(),
                                                options_.timing, options_.chip_faults);
    board_.chip->set_identity(options_.jedec_id);
    pins_ = std::make_unique<sim::ChipOnPins>(*board_.chip);
    board_.channel.attach(pins_.get());
}

// Maps the flash file, creating it as an erased chip when it is missing.
bool SimDriver::power_up(std::string& why) {
    if (board_.chip != nullptr) {
        return true;
    }
    bool created = false;
    mapping_ = map_chip_file(options_.flash_path.c_str(), created, why);
    if (mapping_ == nullptr) {
        return false;
    }
    if (created) {
        std::memset(mapping_, 0xFF, sim::M25P16::kSize);
    }
    attach_chip(static_cast<std::uint8_t*>(mapping_));
    return true;
}

FT_STATUS SimDriver::create_device_info_list(std::uint32_t* count) {
    ++census_calls_;
    FT_STATUS status = FT_OK;
    if (options_.census_fail.strikes(census_calls_)) {
        status = FT_IO_ERROR;
    } else if (count != nullptr) {
        *count = static_cast<std::uint32_t>(options_.devices.size());
    }
    if (status == FT_OK) {
        // A census holds a few entries; %u also suits Windows' printf.
        trace("FT_CreateDeviceInfoList -> 0 %u", static_cast<unsigned>(options_.devices.size()));
    } else {
        trace("FT_CreateDeviceInfoList -> %u", status);
    }
    return status;
}

FT_STATUS SimDriver::get_device_info_detail(std::uint32_t index, std::uint32_t* flags,
                                            std::uint32_t* type, std::uint32_t* id,
                                            std::uint32_t* location, char* serial,
                                            char* description, FT_HANDLE* handle) {
    FT_STATUS status = FT_OK;
    if (index >= options_.devices.size()) {
        status = FT_DEVICE_NOT_FOUND;
    } else if (options_.detail_fail.strikes(index)) {
        status = FT_IO_ERROR;
    }
    if (status != FT_OK) {
        trace("FT_GetDeviceInfoDetail %u -> %u", index, status);
        return status;
    }
    const SimDevice& device = options_.devices[index];
    bool opened = open_ && open_index_ == index;
    // Interfaces of one chip share a location but for the last digit.
    std::uint32_t where = (index / 2 + 1) * 0x10 + index % 2 + 1;
    std::uint32_t flag_bits = kFlagHighSpeed | (opened ? kFlagOpened : 0);
    if (flags != nullptr) {
        *flags = flag_bits;
    }
    if (type != nullptr) {
        *type = device.type;
    }
    if (id != nullptr) {
        *id = kFtdiId;
    }
    if (location != nullptr) {
        *location = where;
    }
    copy_text(serial, FT_SERIAL_SIZE, device.serial);
    copy_text(description, FT_DESCRIPTION_SIZE, device.description);
    if (handle != nullptr) {
        *handle = opened ? &board_ : nullptr;
    }
    if (trace_ != nullptr) {
        std::string serial_hex =
            hex(reinterpret_cast<const std::uint8_t*>(device.serial.data()), device.serial.size());
        trace("FT_GetDeviceInfoDetail %u -> 0 %u %u %u %u %s %s", index, flag_bits, device.type,
              kFtdiId, where, serial_hex.c_str(),
              hex(reinterpret_cast<const std::uint8_t*>(device.description.data()),
                  device.description.size()));
    }
    return FT_OK;
}

FT_STATUS SimDriver::open(int index, FT_HANDLE* handle) {
    ++open_calls_;
    FT_STATUS status = FT_OK;
    std::string why;
    if (index < 0 || static_cast<std::size_t>(index) >= options_.devices.size()) {
        status = FT_DEVICE_NOT_FOUND;
    } else if (open_ || options_.open_fail.strikes(open_calls_) || handle == nullptr) {
        status = FT_DEVICE_NOT_OPENED;
    } else if (!power_up(why)) {
        std::fprintf(stderr, "hexburn: sim: flash file '%s': %s\n", options_.flash_path.c_str(),
                     why.c_str());
        status = FT_DEVICE_NOT_OPENED;
    }
    if (status == FT_OK) {
        open_ = true;
        open_index_ = static_cast<std::uint32_t>(index);
        read_timeout_ms_ = 0;
        write_timeout_ms_ = 0;
        usb_in_size_ = 4096;
        usb_out_size_ = 4096;
        board_.channel.drop_host_queue();
        *handle = &board_;
    }
    trace("FT_Open %d -> %u", index, status);
    return status;
}

FT_STATUS SimDriver::close(FT_HANDLE handle) {
    if (!valid(handle)) {
        trace("FT_Close -> %u", FT_INVALID_HANDLE);
        return FT_INVALID_HANDLE;
    }
    open_ = false;
    board_.channel.drop_host_queue();
    trace("FT_Close -> 0");
    if (trace_ != nullptr) {
        std::fflush(trace_);
    }
    write_report();
    return FT_OK;
}

FT_STATUS SimDriver::reset_device(FT_HANDLE handle) {
    if (!valid(handle)) {
        trace("FT_ResetDevice -> %u", FT_INVALID_HANDLE);
        return FT_INVALID_HANDLE;
    }
    board_.clock.advance(kMicroframeNs);
    board_.channel.purge();
    board_.channel.set_event_char(0, false);
    error_char_ = 0;
    error_char_enabled_ = false;
    trace("FT_ResetDevice -> 0");
    return FT_OK;
}

FT_STATUS SimDriver::get_queue_status(FT_HANDLE handle, std::uint32_t* rx_bytes) {
    if (!valid(handle) || rx_bytes == nullptr) {
        FT_STATUS status = valid(handle) ? FT_INVALID_PARAMETER : FT_INVALID_HANDLE;
        trace("FT_GetQueueStatus -> %u", status);
        return status;
    }
    board_.clock.advance(kMicroframeNs);
    std::size_t queued = board_.channel.host_queued(board_.clock.now_ns);
    *rx_bytes = static_cast<std::uint32_t>(std::min<std::size_t>(queued, UINT32_MAX));
    trace("FT_GetQueueStatus -> 0 %u", *rx_bytes);
    return FT_OK;
}

FT_STATUS SimDriver::set_usb_parameters(FT_HANDLE handle, std::uint32_t in_size,
                                        std::uint32_t out_size) {
    FT_STATUS status = valid(handle) ? FT_OK : FT_INVALID_HANDLE;
    if (status == FT_OK) {
        usb_in_size_ = in_size;
        usb_out_size_ = out_size;
        board_.channel.drop_host_queue();  // the driver reallocates its buffer
    }
    trace("FT_SetUSBParameters %u %u -> %u", in_size, out_size, status);
    return status;
}

FT_STATUS SimDriver::set_chars(FT_HANDLE handle, std::uint8_t event_char,
                               std::uint8_t event_enabled, std::uint8_t error_char,
                               std::uint8_t error_enabled) {
    FT_STATUS status = valid(handle) ? FT_OK : FT_INVALID_HANDLE;
    if (status == FT_OK) {
        board_.clock.advance(kMicroframeNs);
        board_.channel.set_event_char(event_char, event_enabled != 0);
        error_char_ = error_char;
        error_char_enabled_ = error_enabled != 0;
    }
    trace("FT_SetChars %u %u %u %u -> %u", event_char, event_enabled, error_char, error_enabled,
          status);
    return status;
}

FT_STATUS SimDriver::set_timeouts(FT_HANDLE handle, std::uint32_t read_ms, std::uint32_t write_ms) {
    ++timeout_calls_;
    FT_STATUS status = valid(handle) ? FT_OK : FT_INVALID_HANDLE;
    if (status == FT_OK && options_.setup_fail.strikes(timeout_calls_)) {
        status = FT_IO_ERROR;
    }
    if (status == FT_OK) {
        read_timeout_ms_ = read_ms;
        write_timeout_ms_ = write_ms;
    }
    trace("FT_SetTimeouts %u %u -> %u", read_ms, write_ms, status);
    return status;
}

FT_STATUS SimDriver::set_latency_timer(FT_HANDLE handle, std::uint8_t ms) {
    FT_STATUS status = valid(handle) ? FT_OK : FT_INVALID_HANDLE;
    if (status == FT_OK && ms == 0) {
        status = FT_INVALID_PARAMETER;
    }
    if (status == FT_OK) {
        board_.clock.advance(kMicroframeNs);
        board_.channel.set_latency_ms(ms);
    }
    trace("FT_SetLatencyTimer %u -> %u", ms, status);
    return status;
}

FT_STATUS SimDriver::set_bit_mode(FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode) {
    FT_STATUS status = valid(handle) ? FT_OK : FT_INVALID_HANDLE;
    if (status == FT_OK) {
        board_.clock.advance(kMicroframeNs);
        if (!board_.channel.set_bit_mode(mask, mode)) {
            status = FT_INVALID_PARAMETER;
        }
    }
    trace("FT_SetBitMode %u %u -> %u", mask, mode, status);
    return status;
}

FT_STATUS SimDriver::write(FT_HANDLE handle, const std::uint8_t* data, std::uint32_t count,
                           std::uint32_t* written) {
    ++write_calls_;
    FT_STATUS status = FT_OK;
    std::uint32_t delivered = 0;
    if (!valid(handle)) {
        status = FT_INVALID_HANDLE;
    } else if ((data == nullptr && count != 0) || written == nullptr) {
        status = FT_INVALID_PARAMETER;
    } else if (options_.write_fail.strikes(write_calls_)) {
        status = FT_IO_ERROR;
        *written = 0;
    } else {
        delivered = count;
        if (count != 0 && options_.write_short.strikes(write_calls_)) {
            delivered = count - 1;
        }
        // Packets in microframes, each taken when the chip's buffer has room;
        // the engine runs behind them.
        board_.clock.now_ns = board_.channel.transfer_out(data, delivered, board_.clock.now_ns);
        *written = delivered;
        ++board_.traffic.usb_writes;
        board_.traffic.bytes_out += delivered;
    }
    if (trace_ != nullptr) {
        trace("FT_Write %s -> %u %u", hex(data, data == nullptr ? 0 : count), status, delivered);
    }
    return status;
}

FT_STATUS SimDriver::read(FT_HANDLE handle, std::uint8_t* data, std::uint32_t count,
                          std::uint32_t* got) {
    ++read_calls_;
    FT_STATUS status = FT_OK;
    std::size_t n = 0;
    if (!valid(handle)) {
        status = FT_INVALID_HANDLE;
    } else if ((data == nullptr && count != 0) || got == nullptr) {
        status = FT_INVALID_PARAMETER;
    } else if (options_.read_fail.strikes(read_calls_)) {
        status = FT_IO_ERROR;
        *got = 0;
    } else {
        sim::Ft2232hChannel& channel = board_.channel;
        std::uint64_t start = board_.clock.now_ns;
        std::uint64_t limit =
            read_timeout_ms_ == 0 ? sim::kNever : start + read_timeout_ms_ * kNsPerMs;
        std::uint64_t reached = channel.wait_for(count, start, limit);
        std::size_t want = count;
        if (count != 0 && options_.read_short.strikes(read_calls_)) {
            // The last byte stays queued; the call returns at its time-out.
            want = count - 1;
            if (limit != sim::kNever) {
                channel.host_queued(limit);
                reached = std::max(reached, limit);
            }
        }
        board_.clock.now_ns = std::max(start, reached);
        n = channel.take(data, want);
        *got = static_cast<std::uint32_t>(n);
        ++board_.traffic.usb_reads;
        board_.traffic.bytes_in += n;
    }
    if (trace_ != nullptr) {
        trace("FT_Read %u -> %u %s", count, status, hex(data, n));
    }
    return status;
}

void SimDriver::sleep_ms(std::uint32_t ms) {
    board_.clock.advance(ms * kNsPerMs);
}

std::uint64_t SimDriver::clock_ms() {
    board_.clock.advance(kClockReadNs);
    return board_.clock.now_ns / kNsPerMs;
}

// --- report and trace -----------------------------------------------------------

std::string SimDriver::report_json() const {
    const sim::ChipCounters none{};
    const sim::ChipCounters& chip = board_.chip != nullptr ? board_.chip->counters() : none;
    const sim::ChannelCounters& channel = board_.channel.counters();
    const SimTraffic& traffic = board_.traffic;
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
                  static_cast<double>(board_.clock.now_ns) / 1e9,
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

void SimDriver::write_report() const {
    if (options_.report_path.empty()) {
        return;
    }
    std::FILE* file = std::fopen(options_.report_path.c_str(), "w");
    std::string json = report_json();
    if (file == nullptr || std::fputs(json.c_str(), file) < 0 || std::fclose(file) != 0) {
        std::fprintf(stderr, "hexburn: sim: cannot write the report '%s'\n",
                     options_.report_path.c_str());
    }
}

void SimDriver::trace(const char* format, ...) const {
    if (trace_ == nullptr) {
        return;
    }
    va_list args;
    va_start(args, format);
    std::vfprintf(trace_, format, args);
    va_end(args);
    std::fputc('\n', trace_);
}

const char* SimDriver::hex(const std::uint8_t* data, std::size_t count) const {
    static constexpr char kDigits[] = "0123456789abcdef";
    hex_.resize(count * 2);
    for (std::size_t i = 0; i < count; ++i) {
        hex_[2 * i] = kDigits[data[i] >> 4];
        hex_[2 * i + 1] = kDigits[data[i] & 0x0F];
    }
    return hex_.c_str();
}

std::unique_ptr<D2xxDriver> make_sim_driver(std::string_view text, std::string& error) {
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
