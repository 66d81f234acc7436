#include "drivers/libftdi_driver.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <deque>

namespace {

constexpr std::uint32_t kUsbId = 0x04036010;  // (VID << 16) | PID, as D2XX reports it
constexpr std::uint32_t kFlagHighSpeed = 2;   // FT_FLAGS_HISPEED
constexpr int kInterfaces = 2;                // A and B
constexpr char kInterfaceLetter[kInterfaces] = {'A', 'B'};

// D2XX device types by the chip's bcdDevice; product strings of a blank EEPROM.
struct ChipKind {
    std::uint16_t release;
    std::uint32_t type;
    const char* blank_description;
};
constexpr ChipKind kChipKinds[] = {
    {0x0700, FT_DEVICE_2232H, "Dual RS232-HS"},
    {0x0500, 4 /* FT_DEVICE_2232C */, "Dual RS232"},
};
constexpr std::uint32_t kTypeUnknown = 3;  // FT_DEVICE_UNKNOWN

const ChipKind* chip_kind(std::uint16_t release) {
    for (const ChipKind& kind : kChipKinds) {
        if (kind.release == release) {
            return &kind;
        }
    }
    return nullptr;
}

// Copies `text` into a D2XX text buffer of `size` bytes, keeping the
// interface suffix even when the text has to be shortened.
void put_name(char* to, std::uint32_t size, std::string text, const std::string& suffix) {
    std::size_t room = size - 1 - suffix.size();
    text = text.substr(0, room) + suffix;
    std::snprintf(to, size, "%s", text.c_str());
}

// One interface opened by the program.
struct Port {
    std::unique_ptr<FtdiChannel> channel;
    std::deque<std::uint8_t> received;  // read from the chip, not yet by the program
    std::uint32_t read_timeout_ms = 0;  // 0: wait for as long as it takes, as D2XX does
};

FT_STATUS io_status(int result) {
    return result < 0 ? FT_IO_ERROR : FT_OK;
}

class LibftdiDriver final : public D2xxDriver {
  public:
    explicit LibftdiDriver(std::unique_ptr<FtdiBus> bus) : bus_(std::move(bus)) {}

    FT_STATUS create_device_info_list(std::uint32_t* count) override {
        chips_.clear();
        if (!bus_->list(chips_)) {
            chips_.clear();
        }
        *count = static_cast<std::uint32_t>(chips_.size()) * kInterfaces;
        return FT_OK;
    }

    FT_STATUS get_device_info_detail(std::uint32_t index, std::uint32_t* flags, std::uint32_t* type,
                                     std::uint32_t* id, std::uint32_t* location, char* serial,
                                     char* description, FT_HANDLE* handle) override {
        if (index / kInterfaces >= chips_.size()) {
            return FT_DEVICE_NOT_FOUND;
        }
        const FtdiChip& chip = chips_[index / kInterfaces];
        if (!chip.readable) {
            return FT_DEVICE_NOT_OPENED;
        }
        std::uint32_t interface = index % kInterfaces;
        char letter = kInterfaceLetter[interface];
        const ChipKind* kind = chip_kind(chip.release);
        std::string product = chip.description;
        if (product.empty() && kind != nullptr) {
            product = kind->blank_description;
        }
        *flags = chip.high_speed ? kFlagHighSpeed : 0;
        *type = kind != nullptr ? kind->type : kTypeUnknown;
        *id = kUsbId;
        *location = chip.location * 16 + interface + 1;
        put_name(serial, FT_SERIAL_SIZE, chip.serial, std::string(1, letter));
        put_name(description, FT_DESCRIPTION_SIZE, product, std::string(" ") + letter);
        *handle = nullptr;
        return FT_OK;
    }

    FT_STATUS open(int index, FT_HANDLE* handle) override {
        if (chips_.empty()) {
            std::uint32_t count = 0;
            create_device_info_list(&count);
        }
        if (index < 0 || static_cast<std::size_t>(index) / kInterfaces >= chips_.size()) {
            return FT_DEVICE_NOT_OPENED;
        }
        std::size_t chip = static_cast<std::size_t>(index) / kInterfaces;
        std::unique_ptr<FtdiChannel> channel = bus_->open(chip, index % kInterfaces);
        if (channel == nullptr) {
            return FT_DEVICE_NOT_OPENED;
        }
        auto port = std::make_unique<Port>();
        port->channel = std::move(channel);
        *handle = port.get();
        ports_.push_back(std::move(port));
        return FT_OK;
    }

    FT_STATUS close(FT_HANDLE handle) override {
        auto it =
            std::find_if(ports_.begin(), ports_.end(),
                         [handle](const std::unique_ptr<Port>& p) { return p.get() == handle; });
        if (it == ports_.end()) {
            return FT_INVALID_HANDLE;
        }
        ports_.erase(it);
        return FT_OK;
    }

    FT_STATUS reset_device(FT_HANDLE handle) override {
        Port* port = find(handle);
        if (port == nullptr) {
            return FT_INVALID_HANDLE;
        }
        port->received.clear();
        return io_status(port->channel->reset());
    }

    // D2XX counts what the host already holds; libftdi can only tell by
    // reading, so read once and keep what came.
    FT_STATUS get_queue_status(FT_HANDLE handle, std::uint32_t* rx_bytes) override {
        Port* port = find(handle);
        if (port == nullptr) {
            return FT_INVALID_HANDLE;
        }
        std::uint8_t chunk[4096];
        int got = port->channel->read(chunk, static_cast<int>(sizeof chunk));
        if (got < 0) {
            return FT_IO_ERROR;
        }
        port->received.insert(port->received.end(), chunk, chunk + got);
        *rx_bytes = static_cast<std::uint32_t>(port->received.size());
        return FT_OK;
    }

    FT_STATUS set_usb_parameters(FT_HANDLE handle, std::uint32_t in_size,
                                 std::uint32_t out_size) override {
        Port* port = find(handle);
        if (port == nullptr) {
            return FT_INVALID_HANDLE;
        }
        // D2XX drops what it had buffered here; so does libftdi.
        port->received.clear();
        return io_status(port->channel->set_chunk_sizes(in_size, out_size));
    }

    FT_STATUS set_chars(FT_HANDLE handle, std::uint8_t event_char, std::uint8_t event_enabled,
                        std::uint8_t error_char, std::uint8_t error_enabled) override {
        Port* port = find(handle);
        if (port == nullptr) {
            return FT_INVALID_HANDLE;
        }
        return io_status(
            port->channel->set_chars(event_char, event_enabled, error_char, error_enabled));
    }

    FT_STATUS set_timeouts(FT_HANDLE handle, std::uint32_t read_ms,
                           std::uint32_t write_ms) override {
        Port* port = find(handle);
        if (port == nullptr) {
            return FT_INVALID_HANDLE;
        }
        port->read_timeout_ms = read_ms;
        port->channel->set_usb_timeouts(read_ms, write_ms);
        return FT_OK;
    }

    FT_STATUS set_latency_timer(FT_HANDLE handle, std::uint8_t ms) override {
        Port* port = find(handle);
        if (port == nullptr) {
            return FT_INVALID_HANDLE;
        }
        return io_status(port->channel->set_latency_timer(ms));
    }

    FT_STATUS set_bit_mode(FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode) override {
        Port* port = find(handle);
        if (port == nullptr) {
            return FT_INVALID_HANDLE;
        }
        return io_status(port->channel->set_bitmode(mask, mode));
    }

    FT_STATUS write(FT_HANDLE handle, const std::uint8_t* data, std::uint32_t count,
                    std::uint32_t* written) override {
        Port* port = find(handle);
        if (port == nullptr) {
            return FT_INVALID_HANDLE;
        }
        int sent =
            port->channel->write(data, static_cast<int>(std::min<std::uint32_t>(count, INT_MAX)));
        if (sent < 0) {
            return FT_IO_ERROR;
        }
        *written = static_cast<std::uint32_t>(sent);
        return FT_OK;
    }

    // What is queued first, then from the chip until `count` bytes are in or
    // the read time-out has run out (FT_OK either way, as D2XX).
    FT_STATUS read(FT_HANDLE handle, std::uint8_t* data, std::uint32_t count,
                   std::uint32_t* got) override {
        Port* port = find(handle);
        if (port == nullptr) {
            return FT_INVALID_HANDLE;
        }
        std::uint32_t done = 0;
        while (done < count && !port->received.empty()) {
            data[done++] = port->received.front();
            port->received.pop_front();
        }
        std::uint64_t start = bus_->now_ms();
        while (done < count) {
            int more = port->channel->read(
                data + done, static_cast<int>(std::min<std::uint32_t>(count - done, INT_MAX)));
            if (more < 0) {
                return FT_IO_ERROR;
            }
            done += static_cast<std::uint32_t>(more);
            if (port->read_timeout_ms != 0 && bus_->now_ms() - start >= port->read_timeout_ms) {
                break;
            }
        }
        *got = done;
        return FT_OK;
    }

    void sleep_ms(std::uint32_t ms) override { bus_->sleep_ms(ms); }
    std::uint64_t clock_ms() override { return bus_->now_ms(); }

  private:
    Port* find(FT_HANDLE handle) {
        for (const std::unique_ptr<Port>& port : ports_) {
            if (port.get() == handle) {
                return port.get();
            }
        }
        return nullptr;
    }

    std::unique_ptr<FtdiBus> bus_;
    std::vector<FtdiChip> chips_;  // the snapshot the census took
    std::vector<std::unique_ptr<Port>> ports_;
};

}  // namespace

std::unique_ptr<D2xxDriver> make_libftdi_driver(std::unique_ptr<FtdiBus> bus) {
    return std::make_unique<LibftdiDriver>(std::move(bus));
}
