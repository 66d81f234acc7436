#include "simboard/usb_bus.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace usbsim {

namespace {

constexpr std::uint64_t kMicroframeNs = 125'000;  // one USB 2.0 microframe
constexpr std::uint64_t kNsPerMs = 1'000'000;
constexpr int kMaxBoards = 8;

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

bool parse_number(std::string_view text, std::uint64_t& value) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && ec == std::errc() && end == text.data() + text.size();
}

bool parse_fault(std::string_view value, Options& options) {
    std::string_view name = value.substr(0, value.find('@'));
    std::uint64_t at = 0;
    if (name.size() < value.size()) {
        if (!parse_number(value.substr(name.size() + 1), at) || at == 0) {
            return false;
        }
        if (name == "unplug") {
            options.unplug_at = at;
            return true;
        }
        if (name == "interrupt") {
            options.interrupt_at = at;
            return true;
        }
        return false;
    }
    bool* flag = name == "deny"           ? &options.deny_open
                 : name == "stuck-driver" ? &options.stuck_driver
                 : name == "busy"         ? &options.busy
                 : name == "reset-stall"  ? &options.reset_stall
                                          : nullptr;
    if (flag != nullptr) {
        *flag = true;
    }
    return flag != nullptr;
}

std::string board_path(const std::string& pattern, int index) {
    std::string path = pattern;
    std::size_t at = path.find("%d");
    if (at != std::string::npos) {
        path.replace(at, 2, std::to_string(index));
    }
    return path;
}

// The chip's array as a shared mapping of `path`, created erased when missing.
void* map_flash(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
    bool created = fd >= 0;
    if (!created && errno == EEXIST) {
        fd = ::open(path.c_str(), O_RDWR);
    }
    struct stat info {};
    void* mapping = MAP_FAILED;
    if (fd >= 0 && (created ? ::ftruncate(fd, sim::M25P16::kSize) == 0
                            : ::fstat(fd, &info) == 0 && info.st_size == sim::M25P16::kSize)) {
        mapping = ::mmap(nullptr, sim::M25P16::kSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    if (fd >= 0) {
        ::close(fd);
    }
    if (mapping == MAP_FAILED) {
        std::fprintf(stderr, "hexburn usbsim: flash file '%s' cannot be used as a 2 MiB chip\n",
                     path.c_str());
        return nullptr;
    }
    if (created) {
        std::memset(mapping, 0xFF, sim::M25P16::kSize);
    }
    return mapping;
}

}  // namespace

bool parse_options(std::string_view text, Options& options, std::string& error) {
    while (!text.empty()) {
        std::string_view item = text.substr(0, text.find(','));
        text.remove_prefix(std::min(text.size(), item.size() + 1));
        std::size_t equals = item.find('=');
        std::string_view key = item.substr(0, equals);
        std::string_view value = equals == std::string_view::npos ? "" : item.substr(equals + 1);
        std::uint64_t number = 0;
        bool good = true;
        if (value.empty()) {
            good = false;
        } else if (key == "boards") {
            good = parse_number(value, number) && number >= 1 && number <= kMaxBoards;
            options.boards = static_cast<int>(number);
        } else if (key == "flash") {
            options.flash_path = value;
        } else if (key == "serial") {
            options.serial = value;
        } else if (key == "state") {
            options.state_path = value;
        } else if (key == "speed") {
            good = value == "high" || value == "full";
            options.full_speed = value == "full";
        } else if (key == "timing") {
            good = value == "typ" || value == "max" || value == "zero";
            options.timing = value == "max"    ? sim::ChipTiming::maximum()
                             : value == "zero" ? sim::ChipTiming::zero()
                                               : sim::ChipTiming::typical();
        } else if (key == "fault") {
            good = parse_fault(value, options);
        } else {
            good = false;
        }
        if (!good) {
            error = "HEXBURN_USB_SIM: cannot use '" + std::string(item) + "'";
            return false;
        }
    }
    return true;
}

Bus& Bus::get() {
    static Bus bus([] {
        Options options;
        std::string error;
        const char* text = std::getenv("HEXBURN_USB_SIM");
        if (text != nullptr && !parse_options(text, options, error)) {
            std::fprintf(stderr, "hexburn usbsim: %s: no boards attached\n", error.c_str());
            options.boards = 0;
        }
        return options;
    }());
    return bus;
}

Bus::Bus(Options options) : options_(std::move(options)) {
    for (int index = 0; index < options_.boards; ++index) {
        auto board = std::make_unique<Board>();
        board->index = index;
        board->serial = index == 0 ? options_.serial : "";
        if (options_.busy) {
            board->interfaces[1].driver_bound = false;
            board->interfaces[1].claimed_elsewhere = true;
        }
        power_up(*board);
        boards_.push_back(std::move(board));
    }
    write_state();
}

Bus::~Bus() {
    for (const std::unique_ptr<Board>& board : boards_) {
        board->interfaces[1].channel.attach(nullptr);
        board->chip.reset();
        if (board->mapping != nullptr) {
            ::munmap(board->mapping, sim::M25P16::kSize);
        }
    }
}

// Interface B's pins carry the M25P16; interface A's carry nothing.
void Bus::power_up(Board& board) {
    std::uint8_t* memory = nullptr;
    if (options_.flash_path.empty()) {
        board.memory.assign(sim::M25P16::kSize, 0xFF);
        memory = board.memory.data();
    } else {
        board.mapping = map_flash(board_path(options_.flash_path, board.index));
        memory = static_cast<std::uint8_t*>(board.mapping);
    }
    if (memory == nullptr) {
        return;
    }
    sim::Ft2232hChannel& channel = board.interfaces[1].channel;
    board.chip = std::make_unique<sim::M25P16>(memory, channel.board_clock(), options_.timing);
    board.pins = std::make_unique<sim::ChipOnPins>(*board.chip);
    channel.attach(board.pins.get());
}

std::vector<Board*> Bus::attached() {
    std::vector<Board*> found;
    for (const std::unique_ptr<Board>& board : boards_) {
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

int Bus::open(const Board& board) const {
    if (board.gone) {
        return kNoDevice;
    }
    return options_.deny_open ? kAccess : kOk;
}

// With auto-detach libusb asks the kernel to disconnect the driver and claim
// in one step (never taking an interface another program holds).
int Bus::claim(Board& board, int interface, const void* who, bool auto_detach) {
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
    if (face.driver_bound) {
        if (!auto_detach || (options_.stuck_driver && interface == 1)) {
            return kBusy;
        }
        face.driver_bound = false;
    }
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
    if (options_.stuck_driver && interface == 1) {
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

int Bus::control(Board& board, std::uint8_t request_type, std::uint8_t request, std::uint16_t value,
                 std::uint16_t index, std::uint8_t* data, std::uint16_t length) {
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
                if (value == 0 && options_.reset_stall && interface == 1) {
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
    *moved = 0;
    if (board.gone) {
        return kNoDevice;
    }
    if (++bulk_transfers_ == options_.unplug_at) {
        for (const std::unique_ptr<Board>& each : boards_) {
            each->gone = true;
        }
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
    sim::Ft2232hChannel& channel = board.interfaces[interface].channel;
    if ((endpoint & 0x80) != 0) {
        return bulk_in(channel, data, length, moved, timeout_ms);
    }
    // As the sim driver's write: packets in microframes, each taken when the
    // chip's buffer has room; the engine runs behind them.
    clock_.now_ns = channel.transfer_out(data, static_cast<std::size_t>(length), clock_.now_ns);
    *moved = length;
    if (++bulk_outs_ == options_.interrupt_at) {
        std::raise(SIGINT);
    }
    return kOk;
}

// Packets of up to packet_size() bytes, each opening with the two status
// bytes, until a short packet or a full request. With nothing to send the
// chip sends the status bytes alone when its latency timer runs out. A packet
// larger than the room left in the request overflows it, as on the bus.
int Bus::bulk_in(sim::Ft2232hChannel& channel, std::uint8_t* data, int length, int* moved,
                 unsigned timeout_ms) {
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
        if (payload + 2 < packet || filled == room) {
            break;
        }
    }
    *moved = static_cast<int>(filled);
    return kOk;
}

}  // namespace usbsim
