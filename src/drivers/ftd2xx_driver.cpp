#include "drivers/ftd2xx_driver.h"

#include <cstdio>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "d2xx/in_use.h"
#include "host/library.h"

#if defined(_WIN32)
#include "host/windows_api.h"
#else
#include <thread>
#endif

namespace ftd2xx {

// The vendor's C types, declared here instead of taken from its header.
// DWORD and ULONG are 32 bits on Windows and in every current Linux/macOS
// package; old 64-bit Linux packages made both `unsigned long` (see OutWord).
using DWORD = std::uint32_t;
using ULONG = std::uint32_t;
using UCHAR = unsigned char;
using HANDLE = void*;

// Storage for an LPDWORD out-parameter: eight zeroed bytes, so that an old
// 64-bit build writing an `unsigned long` stays inside it. The value is in
// the first four bytes either way (the libraries exist only little-endian).
using OutWord = std::uint64_t;

// Only 32-bit x86 Windows has a separate convention for the vendor's calls.
#if defined(_WIN32) && !defined(_WIN64)
#define FTD2XX_API __stdcall
#else
#define FTD2XX_API
#endif

using CreateDeviceInfoList = ULONG(FTD2XX_API*)(OutWord* count);
using GetDeviceInfoDetail = ULONG(FTD2XX_API*)(DWORD index, OutWord* flags, OutWord* type,
                                               OutWord* id, OutWord* location, void* serial,
                                               void* description, HANDLE* handle);
using Open = ULONG(FTD2XX_API*)(int index, HANDLE* handle);
using OpenEx = ULONG(FTD2XX_API*)(void* arg, DWORD how, HANDLE* handle);
using GetDeviceInfo = ULONG(FTD2XX_API*)(HANDLE handle, OutWord* type, OutWord* id, char* serial,
                                         char* description, void* unused);
using Close = ULONG(FTD2XX_API*)(HANDLE handle);
using ResetDevice = ULONG(FTD2XX_API*)(HANDLE handle);
using GetQueueStatus = ULONG(FTD2XX_API*)(HANDLE handle, OutWord* rx_bytes);
using SetUSBParameters = ULONG(FTD2XX_API*)(HANDLE handle, ULONG in_size, ULONG out_size);
using SetChars = ULONG(FTD2XX_API*)(HANDLE handle, UCHAR event_char, UCHAR event_enabled,
                                    UCHAR error_char, UCHAR error_enabled);
using SetTimeouts = ULONG(FTD2XX_API*)(HANDLE handle, ULONG read_ms, ULONG write_ms);
using SetLatencyTimer = ULONG(FTD2XX_API*)(HANDLE handle, UCHAR ms);
using SetBitMode = ULONG(FTD2XX_API*)(HANDLE handle, UCHAR mask, UCHAR mode);
using Write = ULONG(FTD2XX_API*)(HANDLE handle, void* data, DWORD count, OutWord* written);
using Read = ULONG(FTD2XX_API*)(HANDLE handle, void* data, DWORD count, OutWord* got);

// Every call the program makes, resolved from the library.
struct Calls {
    CreateDeviceInfoList create_device_info_list;
    GetDeviceInfoDetail get_device_info_detail;
    Open open;
    OpenEx open_ex;
    GetDeviceInfo get_device_info;
    Close close;
    ResetDevice reset_device;
    GetQueueStatus get_queue_status;
    SetUSBParameters set_usb_parameters;
    SetChars set_chars;
    SetTimeouts set_timeouts;
    SetLatencyTimer set_latency_timer;
    SetBitMode set_bit_mode;
    Write write;
    Read read;
};

}  // namespace ftd2xx

namespace {

using ftd2xx::OutWord;

std::uint32_t low_word(OutWord storage) {
    std::uint32_t value = 0;
    std::memcpy(&value, &storage, sizeof value);
    return value;
}

bool resolve_all(const HostLibrary& library, ftd2xx::Calls& calls, std::string& missing) {
    return library_resolve(library, "FT_CreateDeviceInfoList", calls.create_device_info_list,
                           missing) &&
           library_resolve(library, "FT_GetDeviceInfoDetail", calls.get_device_info_detail,
                           missing) &&
           library_resolve(library, "FT_Open", calls.open, missing) &&
           library_resolve(library, "FT_OpenEx", calls.open_ex, missing) &&
           library_resolve(library, "FT_GetDeviceInfo", calls.get_device_info, missing) &&
           library_resolve(library, "FT_Close", calls.close, missing) &&
           library_resolve(library, "FT_ResetDevice", calls.reset_device, missing) &&
           library_resolve(library, "FT_GetQueueStatus", calls.get_queue_status, missing) &&
           library_resolve(library, "FT_SetUSBParameters", calls.set_usb_parameters, missing) &&
           library_resolve(library, "FT_SetChars", calls.set_chars, missing) &&
           library_resolve(library, "FT_SetTimeouts", calls.set_timeouts, missing) &&
           library_resolve(library, "FT_SetLatencyTimer", calls.set_latency_timer, missing) &&
           library_resolve(library, "FT_SetBitMode", calls.set_bit_mode, missing) &&
           library_resolve(library, "FT_Write", calls.write, missing) &&
           library_resolve(library, "FT_Read", calls.read, missing);
}

// Copies a string the library wrote into a buffer of `size` bytes, making
// sure it ends inside the buffer.
void copy_text(char* to, const char* from, std::uint32_t size) {
    std::memcpy(to, from, size);
    to[size - 1] = '\0';
}

constexpr ftd2xx::DWORD kOpenByLocation = 4;
constexpr std::uint32_t kFlagOpened = 1;  // open in some process

// What the census said of one entry: the open must reach that very device.
struct Listed {
    bool known = false;
    std::uint32_t type = 0;
    std::uint32_t id = 0;
    std::uint32_t location = 0;
    char serial[FT_SERIAL_SIZE] = {};
    char description[FT_DESCRIPTION_SIZE] = {};
};

// A transfer size as the vendor's FT_SetUSBParameters takes it: a multiple of
// 64 from 64 to 65536, rounded up.
std::uint32_t usb_transfer_size(std::uint32_t asked) {
    std::uint64_t rounded = (static_cast<std::uint64_t>(asked) + 63) / 64 * 64;
    return static_cast<std::uint32_t>(std::clamp<std::uint64_t>(rounded, 64, 65536));
}

// The library is never unloaded: the vendor's builds run threads of their own
// that may outlive the last call.
class Ftd2xxDriver final : public D2xxDriver {
  public:
    explicit Ftd2xxDriver(const ftd2xx::Calls& calls) : ft_(calls) {}

    FT_STATUS create_device_info_list(std::uint32_t* count) override {
        OutWord number = 0;
        FT_STATUS status = ft_.create_device_info_list(&number);
        if (status == FT_OK) {
            *count = low_word(number);
            std::lock_guard<std::mutex> hold(census_lock_);
            listed_.assign(*count, Listed{});
            said_in_use_ = false;
        }
        return status;
    }

    FT_STATUS get_device_info_detail(std::uint32_t index, std::uint32_t* flags, std::uint32_t* type,
                                     std::uint32_t* id, std::uint32_t* location, char* serial,
                                     char* description, FT_HANDLE* handle) override {
        OutWord words[4] = {};
        char serial_text[FT_SERIAL_SIZE] = {};
        char description_text[FT_DESCRIPTION_SIZE] = {};
        ftd2xx::HANDLE opened = nullptr;
        FT_STATUS status =
            ft_.get_device_info_detail(index, &words[0], &words[1], &words[2], &words[3],
                                       serial_text, description_text, &opened);
        if (status == FT_OK) {
            *flags = low_word(words[0]);
            *type = low_word(words[1]);
            *id = low_word(words[2]);
            *location = low_word(words[3]);
            copy_text(serial, serial_text, FT_SERIAL_SIZE);
            copy_text(description, description_text, FT_DESCRIPTION_SIZE);
            *handle = opened;
            std::lock_guard<std::mutex> hold(census_lock_);
            remember(index, *type, *id, *location, serial, description);
            // Open in another process: the vendor lists only its flags.
            if ((*flags & kFlagOpened) != 0 && opened == nullptr && !said_in_use_) {
                said_in_use_ = true;
                say_in_use();
            }
        }
        return status;
    }

    // The vendor's FT_Open(index) rebuilds the device list first, so after a
    // plug or unplug since the census the index names another interface.
    // A listed entry is opened by its location instead, and only when the
    // device there is still the one listed.
    FT_STATUS open(int index, FT_HANDLE* handle) override {
        ftd2xx::HANDLE opened = nullptr;
        auto at = static_cast<std::size_t>(index);
        std::unique_lock<std::mutex> hold(census_lock_);
        if (index < 0 || at >= listed_.size() || !listed_[at].known) {
            hold.unlock();
            // Nothing listed to hold the open to.
            FT_STATUS status = ft_.open(index, &opened);
            if (status == FT_OK) {
                *handle = opened;
            }
            return status;
        }
        const Listed entry = listed_[at];
        hold.unlock();
        void* where = reinterpret_cast<void*>(static_cast<std::uintptr_t>(entry.location));
        FT_STATUS status = ft_.open_ex(where, kOpenByLocation, &opened);
        if (status != FT_OK) {
            return status;
        }
        if (!is_listed(opened, entry)) {
            ft_.close(opened);
            return FT_DEVICE_NOT_OPENED;
        }
        *handle = opened;
        return FT_OK;
    }

    FT_STATUS close(FT_HANDLE handle) override { return ft_.close(handle); }
    FT_STATUS reset_device(FT_HANDLE handle) override { return ft_.reset_device(handle); }

    FT_STATUS get_queue_status(FT_HANDLE handle, std::uint32_t* rx_bytes) override {
        OutWord waiting = 0;
        FT_STATUS status = ft_.get_queue_status(handle, &waiting);
        if (status == FT_OK) {
            *rx_bytes = low_word(waiting);
        }
        return status;
    }

    FT_STATUS set_usb_parameters(FT_HANDLE handle, std::uint32_t in_size,
                                 std::uint32_t out_size) override {
        return ft_.set_usb_parameters(handle, usb_transfer_size(in_size),
                                      usb_transfer_size(out_size));
    }
    FT_STATUS set_chars(FT_HANDLE handle, std::uint8_t event_char, std::uint8_t event_enabled,
                        std::uint8_t error_char, std::uint8_t error_enabled) override {
        return ft_.set_chars(handle, event_char, event_enabled, error_char, error_enabled);
    }
    FT_STATUS set_timeouts(FT_HANDLE handle, std::uint32_t read_ms,
                           std::uint32_t write_ms) override {
        return ft_.set_timeouts(handle, read_ms, write_ms);
    }
    FT_STATUS set_latency_timer(FT_HANDLE handle, std::uint8_t ms) override {
        return ft_.set_latency_timer(handle, ms);
    }
    FT_STATUS set_bit_mode(FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode) override {
        return ft_.set_bit_mode(handle, mask, mode);
    }

    FT_STATUS write(FT_HANDLE handle, const std::uint8_t* data, std::uint32_t count,
                    std::uint32_t* written) override {
        OutWord done = 0;
        // The library never writes through the buffer; its prototype just lacks const.
        FT_STATUS status = ft_.write(handle, const_cast<std::uint8_t*>(data), count, &done);
        if (status == FT_OK) {
            *written = low_word(done);
        }
        return status;
    }

    FT_STATUS read(FT_HANDLE handle, std::uint8_t* data, std::uint32_t count,
                   std::uint32_t* got) override {
        OutWord done = 0;
        FT_STATUS status = ft_.read(handle, data, count, &done);
        if (status == FT_OK) {
            *got = low_word(done);
        }
        return status;
    }

    void sleep_ms(std::uint32_t ms) override {
#if defined(_WIN32)
        ::Sleep(ms);
#else
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
#endif
    }

    std::uint64_t clock_ms() override {
        auto since = std::chrono::steady_clock::now().time_since_epoch();
        return static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
    }

  private:
    void remember(std::uint32_t index, std::uint32_t type, std::uint32_t id, std::uint32_t location,
                  const char* serial, const char* description) {
        if (index >= listed_.size()) {
            listed_.resize(index + 1);
        }
        Listed& entry = listed_[index];
        entry.known = true;
        entry.type = type;
        entry.id = id;
        entry.location = location;
        std::memcpy(entry.serial, serial, FT_SERIAL_SIZE);
        std::memcpy(entry.description, description, FT_DESCRIPTION_SIZE);
    }

    // Whether the open handle is the device the census listed.
    bool is_listed(ftd2xx::HANDLE opened, const Listed& entry) {
        OutWord type = 0;
        OutWord id = 0;
        char serial[FT_SERIAL_SIZE + 1] = {};
        char description[FT_DESCRIPTION_SIZE + 1] = {};
        if (ft_.get_device_info(opened, &type, &id, serial, description, nullptr) != FT_OK) {
            return false;
        }
        return low_word(type) == entry.type && low_word(id) == entry.id &&
               std::strncmp(serial, entry.serial, FT_SERIAL_SIZE) == 0 &&
               std::strncmp(description, entry.description, FT_DESCRIPTION_SIZE) == 0;
    }

    ftd2xx::Calls ft_;
    // The last census, entry by entry; handles may be opened from several threads.
    std::mutex census_lock_;
    std::vector<Listed> listed_;
    bool said_in_use_ = false;
};

}  // namespace

const char* ftd2xx_default_library() {
#if defined(_WIN32)
    return "ftd2xx.dll";
#elif defined(__APPLE__)
    return "libftd2xx.dylib";
#else
    return "libftd2xx.so";
#endif
}

std::unique_ptr<D2xxDriver> make_ftd2xx_driver(const char* path, std::string& error) {
    error.clear();
    std::vector<std::string> names = {path != nullptr ? path : ftd2xx_default_library()};
#if defined(_WIN32)
    // FTDI's driver package installs the 64-bit build as ftd2xx.dll, but its
    // zip names that build ftd2xx64.dll: try both, and name both failures.
    if (path == nullptr) {
        names.push_back("ftd2xx64.dll");
    }
#endif
    HostLibrary library;
    std::string tried;
    if (!library_open(names, library, tried)) {
        error = "hexburn: can't load the D2XX library " + tried;
        return nullptr;
    }
    ftd2xx::Calls calls{};
    std::string missing;
    if (!resolve_all(library, calls, missing)) {
        error = "hexburn: the D2XX library " + library.file + " lacks " + missing;
        return nullptr;
    }
    return std::make_unique<Ftd2xxDriver>(calls);
}
