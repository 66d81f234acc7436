// The libftdi1 side of the libftdi driver: the real USB bus.
#include <ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <thread>

#include "drivers/libftdi_driver.h"
#include "d2xx/in_use.h"

namespace {

constexpr int kVendor = 0x0403;
constexpr int kProduct = 0x6010;               // FT2232C/D/H
constexpr std::uint32_t kPacket = 64;          // the smallest bulk packet (full speed)
constexpr std::uint32_t kLargestRead = 16384;  // libftdi's own cap on Linux
constexpr int kClaimFailed = -5;               // ftdi_usb_open_dev: the claim was refused

int clamp_to_int(std::uint32_t value) {
    return static_cast<int>(std::min<std::uint32_t>(value, INT_MAX));
}

class LibftdiChannel final : public FtdiChannel {
  public:
    explicit LibftdiChannel(ftdi_context* context) : ftdi_(context) {}
    // ftdi_usb_close releases the interface, and libusb gives it back to
    // the kernel driver only there (not when the device is closed, nor when
    // the process dies).
    ~LibftdiChannel() override {
        ftdi_usb_close(ftdi_);
        ftdi_free(ftdi_);
    }
    LibftdiChannel(const LibftdiChannel&) = delete;
    LibftdiChannel& operator=(const LibftdiChannel&) = delete;

    int reset() override { return ftdi_usb_reset(ftdi_); }

    int set_chunk_sizes(std::uint32_t in_size, std::uint32_t out_size) override {
        // Bulk IN requests must be whole packets of the endpoint (512 bytes at
        // high speed, 64 at full speed), or a full packet can overflow them.
        std::uint32_t packet = ftdi_->max_packet_size > 0 ? ftdi_->max_packet_size : kPacket;
        std::uint32_t in =
            std::clamp(in_size / packet * packet, packet, kLargestRead / packet * packet);
        int read_result = ftdi_read_data_set_chunksize(ftdi_, in);
        int write_result = ftdi_write_data_set_chunksize(ftdi_, std::max(out_size, kPacket));
        return read_result < 0 ? read_result : write_result;
    }

    int set_chars(std::uint8_t event_char, std::uint8_t event_enabled, std::uint8_t error_char,
                  std::uint8_t error_enabled) override {
        int event_result = ftdi_set_event_char(ftdi_, event_char, event_enabled);
        int error_result = ftdi_set_error_char(ftdi_, error_char, error_enabled);
        return event_result < 0 ? event_result : error_result;
    }

    // libftdi has no setter: the fields are its public interface.
    void set_usb_timeouts(std::uint32_t read_ms, std::uint32_t write_ms) override {
        ftdi_->usb_read_timeout = clamp_to_int(read_ms);
        ftdi_->usb_write_timeout = clamp_to_int(write_ms);
    }

    int set_latency_timer(std::uint8_t ms) override { return ftdi_set_latency_timer(ftdi_, ms); }
    int set_bitmode(std::uint8_t mask, std::uint8_t mode) override {
        return ftdi_set_bitmode(ftdi_, mask, mode);
    }
    int write(const std::uint8_t* data, int count) override {
        return ftdi_write_data(ftdi_, data, count);
    }
    int read(std::uint8_t* data, int count) override { return ftdi_read_data(ftdi_, data, count); }

  private:
    ftdi_context* ftdi_;
};

// Where a chip sits, to find it again when it is opened.
struct Place {
    std::uint8_t bus;
    std::uint8_t address;
};

Place place_of(libusb_device* device) {
    return {libusb_get_bus_number(device), libusb_get_device_address(device)};
}

// The bus number and port path as hex digits (bus 2, port 2 -> 0x22), the
// way D2XX builds its location IDs.
std::uint32_t location_of(libusb_device* device) {
    std::uint32_t location = libusb_get_bus_number(device);
    std::uint8_t ports[7];
    int depth = libusb_get_port_numbers(device, ports, sizeof ports);
    for (int i = 0; i < depth; ++i) {
        location = location * 16 + ports[i];
    }
    return location;
}

// Reads one string of the device with ftdi_usb_get_strings; a string the
// device does not have reads as empty. False when the device cannot be read.
bool read_string(ftdi_context* ftdi, libusb_device* device, bool serial, std::string& text) {
    char buffer[128] = {};
    int result =
        serial ? ftdi_usb_get_strings(ftdi, device, nullptr, 0, nullptr, 0, buffer, sizeof buffer)
               : ftdi_usb_get_strings(ftdi, device, nullptr, 0, buffer, sizeof buffer, nullptr, 0);
    // -8 / -9: that string descriptor is missing (blank EEPROM).
    if (result == (serial ? -9 : -8)) {
        buffer[0] = '\0';
        result = 0;
    }
    text = buffer;
    return result == 0;
}

// False when the operating system refuses this user the device: libftdi
// reports that only as "libusb_open() failed".
bool may_open(libusb_device* device) {
    libusb_device_handle* handle = nullptr;
    int result = libusb_open(device, &handle);
    if (result == 0) {
        libusb_close(handle);
    }
    return result != LIBUSB_ERROR_ACCESS;
}

// 1 when a kernel driver (ftdi_sio) holds the interface, 0 when none does,
// < 0 when the device cannot be asked.
int kernel_driver_state(libusb_device* device, int interface) {
    libusb_device_handle* handle = nullptr;
    if (libusb_open(device, &handle) != 0) {
        return -1;
    }
    int active = libusb_kernel_driver_active(handle, interface);
    libusb_close(handle);
    return active;
}

void give_back_kernel_driver(libusb_device* device, int interface) {
    libusb_device_handle* handle = nullptr;
    if (libusb_open(device, &handle) == 0) {
        libusb_attach_kernel_driver(handle, interface);
        libusb_close(handle);
    }
}

class LibftdiBus final : public FtdiBus {
  public:
    bool list(std::vector<FtdiChip>& chips) override {
        chips.clear();
        places_.clear();
        // No context means libusb could not start: no USB bus, so no devices.
        ftdi_context* ftdi = ftdi_new();
        if (ftdi == nullptr) {
            return false;
        }
        ftdi_device_list* found = nullptr;
        bool listed = ftdi_usb_find_all(ftdi, &found, kVendor, kProduct) >= 0;
        for (ftdi_device_list* item = found; listed && item != nullptr; item = item->next) {
            FtdiChip chip;
            libusb_device_descriptor descriptor{};
            if (libusb_get_device_descriptor(item->dev, &descriptor) == 0) {
                chip.release = descriptor.bcdDevice;
            }
            chip.high_speed = libusb_get_device_speed(item->dev) == LIBUSB_SPEED_HIGH;
            chip.location = location_of(item->dev);
            chip.readable = read_string(ftdi, item->dev, false, chip.description) &&
                            read_string(ftdi, item->dev, true, chip.serial);
            Place place = place_of(item->dev);
            if (!chip.readable) {
                std::fprintf(
                    stderr,
                    "%s: libftdi: can't read the FTDI chip on USB bus %u device %u (%s%s%s)\n",
                    program_name, place.bus, place.address,
                    may_open(item->dev) ? ftdi_get_error_string(ftdi)
                                        : "no permission to open it: see the udev rule in ",
                    may_open(item->dev) ? "" : program_name, may_open(item->dev) ? "" : "(1)");
            }
            chips.push_back(chip);
            places_.push_back(place);
        }
        ftdi_list_free(&found);
        ftdi_free(ftdi);
        return listed;
    }

    std::unique_ptr<FtdiChannel> open(std::size_t chip, int interface) override {
        if (chip >= places_.size()) {
            return nullptr;
        }
        ftdi_context* ftdi = ftdi_new();
        if (ftdi == nullptr) {
            return nullptr;
        }
        // Give the ttyUSB port back to the kernel when done.
        ftdi->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;
        // The interface is chosen before opening: libftdi refuses afterwards.
        ftdi_set_interface(ftdi, interface == 0 ? INTERFACE_A : INTERFACE_B);
        ftdi_device_list* found = nullptr;
        libusb_device* device = nullptr;
        if (ftdi_usb_find_all(ftdi, &found, kVendor, kProduct) >= 0) {
            for (ftdi_device_list* item = found; item != nullptr; item = item->next) {
                Place place = place_of(item->dev);
                if (place.bus == places_[chip].bus && place.address == places_[chip].address) {
                    device = item->dev;
                }
            }
        }
        int bound = device != nullptr ? kernel_driver_state(device, interface) : -1;
        int result = device != nullptr ? ftdi_usb_open_dev(ftdi, device) : -1;
        bool elsewhere = false;
        if (result < 0 && device != nullptr) {
            // libftdi closes a device it failed to set up without releasing
            // the interface, so a kernel driver it detached stays detached.
            int now = kernel_driver_state(device, interface);
            if (bound == 1 && now == 0) {
                give_back_kernel_driver(device, interface);
            }
            // Refused with no kernel driver on it: another program has claimed it.
            elsewhere = result == kClaimFailed && bound == 0 && now == 0;
        }
        if (elsewhere) {
            say_in_use();
        } else if (result < 0) {
            std::fprintf(stderr,
                         "%s: libftdi: can't open interface %c of the FTDI chip on USB bus %u "
                         "device %u (%s)\n",
                         program_name, interface == 0 ? 'A' : 'B', places_[chip].bus,
                         places_[chip].address,
                         device != nullptr ? ftdi_get_error_string(ftdi) : "gone");
        }
        ftdi_list_free(&found);
        if (result < 0) {
            ftdi_free(ftdi);
            return nullptr;
        }
        return std::make_unique<LibftdiChannel>(ftdi);
    }

    std::uint64_t now_ms() override {
        auto since = std::chrono::steady_clock::now().time_since_epoch();
        return static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
    }

    void sleep_ms(std::uint32_t ms) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }

  private:
    std::vector<Place> places_;  // parallel to the last list
};

}  // namespace

std::unique_ptr<FtdiBus> make_libftdi_bus() {
    return std::make_unique<LibftdiBus>();
}
