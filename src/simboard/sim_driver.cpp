#include "simboard/sim_driver.h"

#include "simboard/chip_file.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdarg>
#include <cstring>

namespace {

constexpr std::uint64_t kMicroframeNs = 125'000;  // one USB 2.0 microframe
constexpr std::uint64_t kNsPerMs = 1'000'000;
constexpr std::uint64_t kClockReadNs = 1'000;  // what watching the clock costs
constexpr std::uint32_t kFtdiId = 0x04036010;  // VID 0x0403, PID 0x6010
constexpr std::uint32_t kFlagHighSpeed = 2;
constexpr std::uint32_t kFlagOpened = 1;
const char kErrorPrefix[] = "hexburn: HEXBURN_DRIVER: ";

void copy_text(char* into, std::size_t size, const std::string& text) {
    if (into == nullptr) {
        return;
    }
    std::size_t n = std::min(text.size(), size - 1);
    std::memcpy(into, text.data(), n);
    std::memset(into + n, 0, size - n);
}

// Each driver's number, and per thread the board it used last.
std::atomic<std::uint64_t> next_serial{1};
struct LastBoard {
    std::uint64_t driver = 0;
    std::size_t board = 0;
};
thread_local LastBoard last_board;
// Why the last enter() found no board: a bad handle, or a board unplugged.
thread_local FT_STATUS enter_refusal = FT_INVALID_HANDLE;

}  // namespace

// --- the driver ------------------------------------------------------------------

// One FT2232H: its hardware, its host-side state and its own faults.
struct SimDriver::Hardware {
    std::mutex lock;  // every call on the board holds it
    std::size_t number = 0;
    SimBoard board;
    SimOptions faults;  // the run's options with this board's own faults added
    std::string flash_path;
    std::string report_path;
    TraceSink* trace = nullptr;
    std::vector<std::uint8_t> memory;  // the chip when it is not a file
    ChipFile file;                     // the chip when it is a file
    std::unique_ptr<sim::ChipOnPins> pins;

    bool open = false;
    bool present = true;       // plugged in (present=)
    bool handle_dead = false;  // open when the board was pulled out
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
    std::uint64_t handle_calls = 0;  // since the open, for fault=unplug
    std::atomic<bool> gone{false};   // unplugged: no census entry, no open

    void attach_chip(std::uint8_t* array) {
        board.flash = std::span<std::uint8_t>(array, sim::SpiNor::kSize);
        board.chip = std::make_unique<sim::SpiNor>(array, board.channel.board_clock(),
                                                   faults.timing, faults.chip_faults, *faults.chip);
        sim_power_up_chip(faults, *board.chip);
        if (faults.status_given) {
            board.chip->set_nonvolatile_status(faults.status);
        }
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
        hw->faults = sim_board_options(options_, k);
        hw->flash_path = sim_board_path(options_.flash_path, k);
        hw->report_path = sim_board_path(options_.report_path, k);
        hw->board.channel.set_answer_bad_commands(!hw->faults.no_echo);
        if (options_.flash_path.empty()) {
            hw->memory.assign(sim::SpiNor::kSize, 0xFF);
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
    every_entry_ = census_;
    if (!options_.present_path.empty()) {
        refresh_census();
    }
}

SimDriver::~SimDriver() {
    for (auto& hw : boards_) {
        if (hw->report_due) {
            write_report(*hw);  // the program ended without closing: report anyway
        }
        if (hw->open) {
            save_status(*hw);
        }
        hw->board.channel.attach(nullptr);
        hw->board.chip.reset();
    }
}

bool SimDriver::start_trace(std::string& error) {
    if (options_.trace_path.empty() || !traces_.empty()) {
        return true;
    }
    for (auto& hw : boards_) {
        std::string path = sim_board_path(options_.trace_path, hw->number);
        hw->trace = traces_.open(path);
        if (hw->trace == nullptr) {
            error = std::string(kErrorPrefix) + "sim option 'trace=" + options_.trace_path +
                    "': cannot open the file" + (path != options_.trace_path ? " " + path : "");
            return false;
        }
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

bool SimDriver::vanished(Hardware* hw, const char* call) {
    if (hw == nullptr || hw->faults.unplug_at == 0 || ++hw->handle_calls < hw->faults.unplug_at) {
        return false;
    }
    if (!hw->gone.exchange(true)) {
        hw->board.channel.drop_host_queue();
    }
    if (call != nullptr) {
        trace(*hw, "%s -> %u", call, FT_IO_ERROR);
    }
    return true;
}

SimDriver::Hardware* SimDriver::enter(FT_HANDLE handle, std::unique_lock<std::mutex>& hold) {
    enter_refusal = FT_INVALID_HANDLE;
    for (auto& hw : boards_) {
        if (handle == &hw->board) {
            hold = std::unique_lock<std::mutex>(hw->lock);
            if (!hw->open) {
                return nullptr;
            }
            if (!check_present(*hw) || hw->handle_dead) {
                enter_refusal = FT_IO_ERROR;
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
    if (!hw.file.mapped()) {
        if (!hw.file.map(hw.flash_path, *hw.faults.chip, why)) {
            return false;
        }
        hw.attach_chip(hw.file.array());
    }
    if (!hw.file.lock()) {
        why = "in use by another process";
        return false;
    }
    // Another program may have changed the protection while it had the file.
    hw.board.chip->set_nonvolatile_status(hw.file.load_status(*hw.faults.chip));
    if (hw.faults.status_given) {  // status= is over what the file says
        hw.board.chip->set_nonvolatile_status(hw.faults.status);
        hw.file.save_status(*hw.faults.chip, hw.board.chip->nonvolatile_status());
    }
    return true;
}

// The chip's protection bits into its status file, when they changed.
void SimDriver::save_status(Hardware& hw) {
    if (hw.file.mapped() && hw.board.chip != nullptr) {
        hw.file.save_status(*hw.faults.chip, hw.board.chip->nonvolatile_status());
    }
}

bool SimDriver::check_present(Hardware& hw) {
    if (options_.present_path.empty()) {
        return true;
    }
    bool now = sim_read_present(options_.present_path, boards_.size())[hw.number];
    if (now == hw.present) {
        return now;
    }
    hw.present = now;
    if (!now) {
        hw.handle_dead = hw.open;
        trace(hw, "unplugged");
        return false;
    }
    // Plugged in again: a fresh power-up. The array and the non-volatile bits
    // stay; WEL, WIP, deep power-down and the fault counts start over.
    trace(hw, "plugged in");
    hw.open_calls = hw.timeout_calls = hw.write_calls = hw.read_calls = hw.handle_calls = 0;
    hw.gone = false;
    if (hw.board.chip != nullptr) {
        std::uint16_t kept = hw.board.chip->nonvolatile_status();
        hw.board.channel.attach(nullptr);
        hw.attach_chip(hw.board.flash.data());
        hw.board.chip->set_nonvolatile_status(kept);
    }
    return true;
}

// present=: the census lists the boards plugged in now.
void SimDriver::refresh_census() {
    census_.clear();
    for (const Listed& entry : every_entry_) {
        std::lock_guard<std::mutex> hold(entry.hardware->lock);
        if (check_present(*entry.hardware) && !entry.hardware->gone) {
            census_.push_back(entry);
        }
    }
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
    // An unplugged board leaves the list (the indexes behind it move up).
    std::erase_if(census_, [](const Listed& entry) { return entry.hardware->gone.load(); });
    said_busy_ = false;
    if (!options_.present_path.empty()) {
        refresh_census();
    }
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
        say_in_use();
    }
    if (hw.trace != nullptr) {
        trace(hw, "FT_GetDeviceInfoDetail %u -> 0 %u %u %u %u %s %s", index, flag_bits, device.type,
              ident, where, sim_hex(device.serial.data(), device.serial.size()).c_str(),
              sim_hex(device.description.data(), device.description.size()).c_str());
    }
    return FT_OK;
}

// Opens `entry`'s board; the caller holds the census lock.
FT_STATUS SimDriver::open_listed(Hardware& hw, const Listed& entry, FT_HANDLE* handle) {
    std::lock_guard<std::mutex> hold(hw.lock);
    ++hw.open_calls;
    std::string why;
    if (!check_present(hw) || hw.gone) {
        return FT_DEVICE_NOT_FOUND;
    }
    if (entry.busy || hw.open || hw.faults.open_fail.strikes(hw.open_calls) || handle == nullptr) {
        return FT_DEVICE_NOT_OPENED;
    }
    if (!power_up(hw, why)) {
        std::fprintf(stderr, "%s: sim: flash file '%s': %s\n", program_name, hw.flash_path.c_str(),
                     why.c_str());
        return FT_DEVICE_NOT_OPENED;
    }
    hw.open = true;
    hw.handle_calls = 0;
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
    std::string text = by_text ? sim_hex(wanted, std::strlen(wanted)) : std::to_string(location);
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
    if (vanished(hw, "FT_GetDeviceInfo")) {
        return FT_IO_ERROR;
    }
    if (hw == nullptr) {
        trace(*boards_[0], "FT_GetDeviceInfo -> %u", enter_refusal);
        return enter_refusal;
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
          sim_hex(device.serial.data(), device.serial.size()).c_str(),
          sim_hex(device.description.data(), device.description.size()).c_str());
    return FT_OK;
}

FT_STATUS SimDriver::close(FT_HANDLE handle) {
    std::unique_lock<std::mutex> hold;
    Hardware* hw = enter(handle, hold);
    if (hw == nullptr && enter_refusal == FT_IO_ERROR) {
        // The board was pulled out: the handle is freed all the same.
        for (auto& board : boards_) {
            if (handle == &board->board) {
                hw = board.get();
            }
        }
        hw->handle_dead = false;
    }
    if (hw == nullptr) {
        trace(*boards_[0], "FT_Close -> %u", FT_INVALID_HANDLE);
        return FT_INVALID_HANDLE;
    }
    hw->open = false;
    if (hw->file.mapped()) {
        save_status(*hw);
        hw->file.unlock();
    }
    hw->board.channel.drop_host_queue();
    trace(*hw, "FT_Close -> 0");
    if (hw->trace != nullptr) {
        hw->trace->flush();
    }
    write_report(*hw);
    return FT_OK;
}

FT_STATUS SimDriver::reset_device(FT_HANDLE handle) {
    std::unique_lock<std::mutex> hold;
    Hardware* hw = enter(handle, hold);
    if (vanished(hw, "FT_ResetDevice")) {
        return FT_IO_ERROR;
    }
    if (hw == nullptr) {
        trace(*boards_[0], "FT_ResetDevice -> %u", enter_refusal);
        return enter_refusal;
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
    if (vanished(hw, "FT_GetQueueStatus")) {
        return FT_IO_ERROR;
    }
    if (hw == nullptr || rx_bytes == nullptr) {
        FT_STATUS status = hw != nullptr ? FT_INVALID_PARAMETER : enter_refusal;
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
    if (vanished(hw, "FT_SetUSBParameters")) {
        return FT_IO_ERROR;
    }
    FT_STATUS status = hw != nullptr ? FT_OK : enter_refusal;
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
    if (vanished(hw, "FT_SetChars")) {
        return FT_IO_ERROR;
    }
    FT_STATUS status = hw != nullptr ? FT_OK : enter_refusal;
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
    if (vanished(hw, "FT_SetTimeouts")) {
        return FT_IO_ERROR;
    }
    FT_STATUS status = hw != nullptr ? FT_OK : enter_refusal;
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
    if (vanished(hw, "FT_SetLatencyTimer")) {
        return FT_IO_ERROR;
    }
    FT_STATUS status = hw != nullptr ? FT_OK : enter_refusal;
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
    if (vanished(hw, "FT_SetBitMode")) {
        return FT_IO_ERROR;
    }
    FT_STATUS status = hw != nullptr ? FT_OK : enter_refusal;
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
        status = enter_refusal;
    } else if (vanished(hw, nullptr)) {
        status = FT_IO_ERROR;
        if (written != nullptr) {
            *written = 0;
        }
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
        save_status(*hw);
    }
    Hardware& traced = hw != nullptr ? *hw : *boards_[0];
    if (traced.trace != nullptr) {
        trace(traced, "FT_Write %s -> %u %u", sim_hex(data, data == nullptr ? 0 : count).c_str(),
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
        status = enter_refusal;
    } else if (vanished(hw, nullptr)) {
        status = FT_IO_ERROR;
        if (got != nullptr) {
            *got = 0;
        }
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
        trace(traced, "FT_Read %u -> %u %s", count, status, sim_hex(data, n).c_str());
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
    return sim_report_json(board.clock.now_ns, board.traffic,
                           board.chip != nullptr ? &board.chip->counters() : nullptr,
                           board.channel.counters());
}

void SimDriver::write_report(Hardware& hw) {
    hw.report_due = false;
    if (!hw.report_path.empty()) {
        sim_write_report(hw.report_path, report_json(hw.number));
    }
}

void SimDriver::trace(Hardware& hw, const char* format, ...) {
    if (hw.trace == nullptr) {
        return;
    }
    std::va_list args;
    va_start(args, format);
    std::string line = sim_trace_line(format, args);
    va_end(args);
    hw.trace->emit(line);
}

void SimDriver::trace_all(const char* format, ...) {
    if (traces_.empty()) {
        return;
    }
    std::va_list args;
    va_start(args, format);
    std::string line = sim_trace_line(format, args);
    va_end(args);
    traces_.emit_all(line);
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
