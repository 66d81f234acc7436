#include "simboard/usb_bus.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace usbsim {

namespace {

constexpr std::uint64_t kMicroframeNs = 125'000;  // one USB 2.0 microframe
constexpr std::uint64_t kNsPerMs = 1'000'000;

// The two status bytes that open every IN packet: modem status (CTS, DSR),
// line status (transmitter empty). libftdi strips them.
constexpr std::uint8_t kModemStatus = 0x32;
constexpr std::uint8_t kLineStatus = 0x60;

// Vendor requests of the FT2232H (wIndex: 1 interface A, 2 interface B).
enum : std::uint8_t {
    kRequestOut = 0x40,  // vendor, host to device
    kRequestIn = 0xC0,   // vendor, device to host
    kReset = 0x00,       // value 0: reset the channel; 1, 2: purge one direction
    kModemControl = 0x01,
    kFlowControl = 0x02,
    kBaudRate = 0x03,
    kDataFormat = 0x04,
    kPollModemStatus = 0x05,
    kEventChar = 0x06,
    kErrorChar = 0x07,
    kSetLatency = 0x09,
    kGetLatency = 0x0A,
    kBitMode = 0x0B,
    kReadPins = 0x0C,
    kReadEeprom = 0x90,
};

}  // namespace

Bus& Bus::get() {
    static Bus bus([] {
        SimOptions options;
        std::string error;
        const char* text = std::getenv("HEXBURN_USB_SIM");
        if (!parse_sim_options(text != nullptr ? text : "", options, error, SimFace::kUsb)) {
            std::fprintf(stderr, "hexburn usbsim: %s: no boards attached\n", error.c_str());
            options.devices.clear();
        }
        return options;
    }());
    return bus;
}

Bus::Bus(SimOptions options) : options_(std::move(options)) {
    for (std::size_t index = 0; index < options_.board_count(); ++index) {
        auto board = std::make_unique<Board>();
        board->index = static_cast<int>(index);
        board->serial = index == 0 ? options_.serial : "";
        board->options = sim_board_options(options_, index, SimFace::kUsb);
        board->report_path = sim_board_path(options_.report_path, index);
        // Census indexes, as on the D2XX face; `busy` alone: interface B.
        const SimFault& busy = board->options.busy;
        for (std::size_t i = 0; i < 2; ++i) {
            std::uint64_t listed = 2 * index + i;
            if ((busy.every && i == 1) ||
                std::find(busy.at.begin(), busy.at.end(), listed) != busy.at.end()) {
                board->interfaces[i].driver_bound = false;
                board->interfaces[i].claimed_elsewhere = true;
            }
        }
        if (!options_.trace_path.empty()) {
            std::string path = sim_board_path(options_.trace_path, index);
            board->trace = traces_.open(path);
            if (board->trace == nullptr) {
                std::fprintf(stderr, "hexburn usbsim: cannot open the trace '%s'\n", path.c_str());
            }
        }
        power_up(*board);
        boards_.push_back(std::move(board));
    }
    write_state();
}

Bus::~Bus() {
    for (const std::unique_ptr<Board>& board : boards_) {
        if (board->report_due) {
            write_report(*board);  // the program ended without closing: report anyway
        }
        save_status(*board);
        board->interfaces[1].channel.attach(nullptr);
        board->chip.reset();
    }
    for (const std::unique_ptr<Board>& board : boards_) {
        if (board->trace != nullptr) {
            board->trace->flush();
        }
    }
}

// Interface B's pins carry the flash chip; interface A's carry nothing.
void Bus::power_up(Board& board) {
    std::uint8_t* memory = nullptr;
    if (options_.flash_path.empty()) {
        board.memory.assign(sim::SpiNor::kSize, 0xFF);
        memory = board.memory.data();
    } else {
        std::string path =
            sim_board_path(options_.flash_path, static_cast<std::size_t>(board.index));
        std::string why;
        if (!board.file.map(path, *board.options.chip, why)) {
            std::fprintf(stderr,
                         "hexburn usbsim: flash file '%s' cannot be used as a 2 MiB chip: %s\n",
                         path.c_str(), why.c_str());
            return;
        }
        memory = board.file.array();
    }
    const SimOptions& options = board.options;
    sim::Ft2232hChannel& channel = board.interfaces[1].channel;
    channel.set_answer_bad_commands(!options.no_echo);
    board.chip = std::make_unique<sim::SpiNor>(memory, channel.board_clock(), options.timing,
                                               options.chip_faults, *options.chip);
    sim_power_up_chip(options, *board.chip);
    if (options.status_given) {
        board.chip->set_nonvolatile_status(options.status);
    }
    board.pins = std::make_unique<sim::ChipOnPins>(*board.chip);
    channel.attach(board.pins.get());
}

// A chip file is the program's while it holds interface B, as a D2XX handle
// holds it: a second program cannot claim the board. The chip powers up with
// the protection bits its status file holds.
bool Bus::take_chip_file(Board& board) {
    if (!board.file.mapped() || board.file_locked) {
        return true;
    }
    if (!board.file.lock()) {
        std::fprintf(stderr, "hexburn usbsim: flash file '%s': in use by another process\n",
                     board.file.path().c_str());
        return false;
    }
    board.file_locked = true;
    board.chip->set_nonvolatile_status(board.file.load_status(*board.options.chip));
    if (board.options.status_given) {  // status= is over what the file says
        board.chip->set_nonvolatile_status(board.options.status);
        board.file.save_status(*board.options.chip, board.chip->nonvolatile_status());
    }
    return true;
}

void Bus::give_back_chip_file(Board& board) {
    if (board.file_locked) {
        save_status(board);
        board.file.unlock();
        board.file_locked = false;
    }
}

void Bus::save_status(Board& board) {
    if (board.file_locked && board.chip != nullptr) {
        board.file.save_status(*board.options.chip, board.chip->nonvolatile_status());
    }
}

void Bus::write_report(Board& board) {
    board.report_due = false;
    if (!board.report_path.empty()) {
        sim_write_report(board.report_path,
                         sim_report_json(clock_.now_ns, board.traffic,
                                         board.chip != nullptr ? &board.chip->counters() : nullptr,
                                         board.interfaces[1].channel.counters()));
    }
}

void Bus::trace(Board& board, const char* format, ...) {
    if (board.trace == nullptr) {
        return;
    }
    std::va_list args;
    va_start(args, format);
    std::string line = sim_trace_line(format, args);
    va_end(args);
    board.trace->emit(line);
}

void Bus::refresh(Board& board) {
    if (options_.present_path.empty()) {
        return;
    }
    bool listed = sim_read_present(options_.present_path,
                                   boards_.size())[static_cast<std::size_t>(board.index)];
    if (!listed && !board.pulled) {
        board.pulled = true;
        if (!board.gone) {
            board.gone = true;
            trace(board, "unplugged");
            write_state();
        }
    } else if (listed && board.pulled) {
        plug_in_again(board);
    }
}

// Back on the bus: a fresh power-up. The array and the non-volatile bits stay;
// claims, WEL, WIP, deep power-down and the fault counts start over.
void Bus::plug_in_again(Board& board) {
    board.pulled = false;
    board.gone = false;
    ++board.generation;
    board.bulk_transfers = 0;
    board.bulk_outs = 0;
    give_back_chip_file(board);
    for (Interface& face : board.interfaces) {
        face.claimed_by = nullptr;
        face.driver_bound = !face.claimed_elsewhere;
    }
    if (board.chip != nullptr) {
        std::uint16_t kept = board.chip->nonvolatile_status();
        sim::Ft2232hChannel& channel = board.interfaces[1].channel;
        channel.attach(nullptr);
        std::uint8_t* array = board.memory.empty() ? board.file.array() : board.memory.data();
        board.chip =
            std::make_unique<sim::SpiNor>(array, channel.board_clock(), board.options.timing,
                                          board.options.chip_faults, *board.options.chip);
        sim_power_up_chip(board.options, *board.chip);
        board.chip->set_nonvolatile_status(kept);
        board.pins = std::make_unique<sim::ChipOnPins>(*board.chip);
        channel.attach(board.pins.get());
    }
    trace(board, "plugged in");
    write_state();
}

std::vector<Board*> Bus::attached() {
    std::vector<Board*> found;
    for (const std::unique_ptr<Board>& board : boards_) {
        refresh(*board);
        if (!board->gone) {
            found.push_back(board.get());
        }
    }
    return found;
}

// One line per interface ("0B ftdi_sio"), rewritten at every change, so the
// file tells how the process left the bus however it ended.
void Bus::write_state() const {
    if (options_.state_path.empty()) {
        return;
    }
    std::string text;
    for (const std::unique_ptr<Board>& board : boards_) {
        for (int i = 0; i < 2; ++i) {
            const Interface& face = board->interfaces[i];
            const char* state = board->gone                  ? "gone"
                                : face.claimed_by != nullptr ? "claimed"
                                : face.claimed_elsewhere     ? "other"
                                : face.driver_bound          ? "ftdi_sio"
                                                             : "none";
            text += std::to_string(board->index) + (i == 0 ? "A " : "B ") + state + "\n";
        }
    }
    std::FILE* file = std::fopen(options_.state_path.c_str(), "w");
    if (file != nullptr) {
        std::fputs(text.c_str(), file);
        std::fclose(file);
    }
}

int Bus::open(Board& board) {
    int result = board.gone ? kNoDevice : board.options.deny_open ? kAccess : kOk;
    trace(board, "open -> %d", result);
    return result;
}

// With auto-detach libusb asks the kernel to disconnect the driver and claim
// in one step (never taking an interface another program holds).
int Bus::claim(Board& board, int interface, const void* who, bool auto_detach) {
    int result = claim_interface(board, interface, who, auto_detach);
    trace(board, "claim %c -> %d", interface == 0 ? 'A' : 'B', result);
    return result;
}

int Bus::claim_interface(Board& board, int interface, const void* who, bool auto_detach) {
    if (board.gone) {
        return kNoDevice;
    }
    Interface& face = board.interfaces[interface];
    if (face.claimed_by == who) {
        return kOk;
    }
    if (face.claimed_by != nullptr || face.claimed_elsewhere) {
        return kBusy;
    }
    if (face.driver_bound && (!auto_detach || (board.options.stuck_driver && interface == 1))) {
        return kBusy;
    }
    if (interface == 1) {
        if (!take_chip_file(board)) {
            return kBusy;
        }
        board.report_due = true;
    }
    face.driver_bound = false;
    face.claimed_by = who;
    write_state();
    return kOk;
}

// Only here does libusb give the interface back to the kernel driver.
int Bus::release(Board& board, int interface, const void* who, bool auto_detach) {
    Interface& face = board.interfaces[interface];
    if (face.claimed_by != who) {
        return kNotFound;
    }
    face.claimed_by = nullptr;
    trace(board, "release %c", interface == 0 ? 'A' : 'B');
    if (interface == 1) {
        give_back_chip_file(board);
    }
    if (board.gone) {
        return kNoDevice;
    }
    if (auto_detach) {
        face.driver_bound = true;
    }
    write_state();
    return kOk;
}

// Closing the device file ends the claims, and nothing re-binds the driver.
void Bus::drop_claims(Board& board, const void* who) {
    for (Interface& face : board.interfaces) {
        if (face.claimed_by == who) {
            face.claimed_by = nullptr;
        }
    }
    if (board.interfaces[1].claimed_by == nullptr) {
        give_back_chip_file(board);
    }
    trace(board, "close");
    if (board.trace != nullptr) {
        board.trace->flush();
    }
    if (board.report_due) {
        write_report(board);
    }
    write_state();
}

int Bus::driver_active(const Board& board, int interface) const {
    if (board.gone) {
        return kNoDevice;
    }
    return board.interfaces[interface].driver_bound ? 1 : 0;
}

int Bus::detach(Board& board, int interface) {
    Interface& face = board.interfaces[interface];
    if (board.gone) {
        return kNoDevice;
    }
    if (!face.driver_bound) {
        return kNotFound;
    }
    if (board.options.stuck_driver && interface == 1) {
        errno = EBUSY;
        return kBusy;
    }
    face.driver_bound = false;
    write_state();
    return kOk;
}

int Bus::attach(Board& board, int interface) {
    Interface& face = board.interfaces[interface];
    if (board.gone) {
        return kNoDevice;
    }
    if (face.driver_bound || face.claimed_by != nullptr || face.claimed_elsewhere) {
        return kBusy;
    }
    face.driver_bound = true;
    write_state();
    return kOk;
}

void Bus::catch_up() {
    if (called_) {
        const auto spent = std::chrono::steady_clock::now() - last_call_end_;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(spent).count();
        clock_.advance(ns > 0 ? static_cast<std::uint64_t>(ns) : 0);
    }
}

void Bus::mark() {
    called_ = true;
    last_call_end_ = std::chrono::steady_clock::now();
}

int Bus::control(Board& board, std::uint8_t request_type, std::uint8_t request, std::uint16_t value,
                 std::uint16_t index, std::uint8_t* data, std::uint16_t length) {
    catch_up();
    int result = vendor_request(board, request_type, request, value, index, data, length);
    trace(board, "control %02x %02x %04x %04x -> %d %s", request_type, request, value, index,
          result,
          request_type == kRequestIn && result > 0
              ? sim_hex(data, static_cast<std::size_t>(result)).c_str()
              : "");
    mark();
    return result;
}

int Bus::vendor_request(Board& board, std::uint8_t request_type, std::uint8_t request,
                        std::uint16_t value, std::uint16_t index, std::uint8_t* data,
                        std::uint16_t length) {
    if (board.gone) {
        return kNoDevice;
    }
    clock_.advance(kMicroframeNs);
    int interface = (index & 0xFF) - 1;
    if (interface < 0 || interface > 1) {
        return kPipe;
    }
    sim::Ft2232hChannel& channel = board.interfaces[interface].channel;
    const auto low = static_cast<std::uint8_t>(value & 0xFF);
    const auto high = static_cast<std::uint8_t>(value >> 8);
    if (request_type == kRequestOut) {
        switch (request) {
            case kReset:
                if (value == 0 && board.options.reset_stall && interface == 1) {
                    return kPipe;
                }
                channel.purge();  // purges of one direction drop both queues here
                if (value == 0) {
                    channel.set_event_char(0, false);
                }
                return 0;
            case kEventChar:
                channel.set_event_char(low, (high & 1) != 0);
                return 0;
            case kSetLatency:
                // The chip takes 0 too; libftdi never sends it, the engine needs a period.
                channel.set_latency_ms(std::max<std::uint8_t>(low, 1));
                return 0;
            case kBitMode:
                return channel.set_bit_mode(low, high) ? 0 : kPipe;
            case kModemControl:
            case kFlowControl:
            case kBaudRate:
            case kDataFormat:
            case kErrorChar:
                return 0;
            default:
                return kPipe;
        }
    }
    if (request_type == kRequestIn && data != nullptr) {
        std::uint8_t answer[2] = {0, 0};
        int size = 1;
        switch (request) {
            case kGetLatency:
                answer[0] = channel.latency_ms();
                break;
            case kReadPins:
                answer[0] = channel.low_levels();
                break;
            case kPollModemStatus:
                answer[0] = kModemStatus;
                answer[1] = kLineStatus;
                size = 2;
                break;
            case kReadEeprom:
                answer[0] = answer[1] = 0xFF;  // blank
                size = 2;
                break;
            default:
                return kPipe;
        }
        size = std::min<int>(size, length);
        std::memcpy(data, answer, static_cast<std::size_t>(size));
        return size;
    }
    return kPipe;
}

int Bus::bulk(Board& board, const void* who, std::uint8_t endpoint, std::uint8_t* data, int length,
              int* moved, unsigned timeout_ms) {
    catch_up();
    struct Marked {
        Bus& bus;
        ~Marked() { bus.mark(); }
    } marked{*this};
    *moved = 0;
    if (board.gone) {
        return kNoDevice;
    }
    if (++board.bulk_transfers == board.options.unplug_at) {
        board.gone = true;
        trace(board, "unplugged");
        write_state();
        return kNoDevice;
    }
    // Interface A: OUT 0x02, IN 0x81; interface B: OUT 0x04, IN 0x83.
    int interface = endpoint == 0x02 || endpoint == 0x81   ? 0
                    : endpoint == 0x04 || endpoint == 0x83 ? 1
                                                           : -1;
    if (interface < 0 || length < 0) {
        return kNotFound;
    }
    if (board.interfaces[interface].claimed_by != who) {
        return kIo;  // the kernel would claim it on the fly; a driver must not rely on that
    }
    if (interface == 0) {
        return (endpoint & 0x80) != 0
                   ? bulk_in(board, board.interfaces[0].channel, data, length, moved, timeout_ms)
                   : bulk_out(board, board.interfaces[0].channel, data, length, moved);
    }
    sim::Ft2232hChannel& channel = board.interfaces[1].channel;
    if ((endpoint & 0x80) != 0) {
        int result = bulk_in(board, channel, data, length, moved, timeout_ms);
        trace(board, "bulk in %d -> %d %s", length, result,
              sim_hex(data, static_cast<std::size_t>(*moved)).c_str());
        return result;
    }
    int result = bulk_out(board, channel, data, length, moved);
    trace(board, "bulk out %s -> %d %d", sim_hex(data, static_cast<std::size_t>(length)).c_str(),
          result, *moved);
    save_status(board);
    const std::uint64_t call = board.bulk_outs;
    if (board.options.raise_sigint.strikes(call)) {
        std::raise(SIGINT);
    }
    if (board.options.raise_sigterm.strikes(call)) {
        std::raise(SIGTERM);
    }
    if (board.options.raise_sighup.strikes(call)) {
        std::raise(SIGHUP);
    }
    return result;
}

// As the sim driver's write: packets in microframes, each taken when the
// chip's buffer has room; the engine runs behind them.
int Bus::bulk_out(Board& board, sim::Ft2232hChannel& channel, std::uint8_t* data, int length,
                  int* moved) {
    clock_.now_ns = channel.transfer_out(data, static_cast<std::size_t>(length), clock_.now_ns);
    *moved = length;
    ++board.bulk_outs;
    ++board.traffic.usb_writes;
    board.traffic.bytes_out += static_cast<std::uint64_t>(length);
    return kOk;
}

// Packets of up to packet_size() bytes, each opening with the two status
// bytes, until a short packet or a full request. With nothing to send the
// chip sends the status bytes alone when its latency timer runs out. A packet
// larger than the room left in the request overflows it, as on the bus.
int Bus::bulk_in(Board& board, sim::Ft2232hChannel& channel, std::uint8_t* data, int length,
                 int* moved, unsigned timeout_ms) {
    const std::size_t packet = packet_size();
    const auto room = static_cast<std::size_t>(length);
    const std::uint64_t latency_ns = std::uint64_t{channel.latency_ms()} * kNsPerMs;
    std::size_t filled = 0;
    for (;;) {
        std::size_t queued = channel.host_queued(clock_.now_ns);
        if (queued == 0) {
            if (timeout_ms != 0 && latency_ns > timeout_ms * kNsPerMs) {
                clock_.advance(timeout_ms * kNsPerMs);
                *moved = static_cast<int>(filled);
                return kTimeout;
            }
            std::uint64_t limit = clock_.now_ns + latency_ns;
            clock_.now_ns = std::max(clock_.now_ns, channel.wait_for(1, clock_.now_ns, limit));
            queued = channel.host_queued(clock_.now_ns);
        }
        std::size_t payload = std::min(queued, packet - 2);
        if (payload + 2 > room - filled) {
            *moved = static_cast<int>(filled);
            return kOverflow;
        }
        data[filled] = kModemStatus;
        data[filled + 1] = kLineStatus;
        channel.take(data + filled + 2, payload);
        filled += payload + 2;
        board.traffic.bytes_in += payload;
        if (payload + 2 < packet || filled == room) {
            break;
        }
    }
    *moved = static_cast<int>(filled);
    ++board.traffic.usb_reads;
    return kOk;
}

}  // namespace usbsim
