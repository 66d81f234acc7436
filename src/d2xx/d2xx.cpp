#include "d2xx/d2xx.h"

#include <chrono>
#include <thread>

#include "d2xx/d2xx_driver.h"

namespace {

// Bound when nothing else is: there is no device library, so there are no devices.
class NoDeviceDriver final : public D2xxDriver {
  public:
    FT_STATUS create_device_info_list(std::uint32_t*) override { return FT_DEVICE_NOT_FOUND; }
    FT_STATUS get_device_info_detail(std::uint32_t, std::uint32_t*, std::uint32_t*, std::uint32_t*,
                                     std::uint32_t*, char*, char*, FT_HANDLE*) override {
        return FT_DEVICE_NOT_FOUND;
    }
    FT_STATUS open(int, FT_HANDLE*) override { return FT_DEVICE_NOT_FOUND; }
    FT_STATUS close(FT_HANDLE) override { return FT_INVALID_HANDLE; }
    FT_STATUS reset_device(FT_HANDLE) override { return FT_INVALID_HANDLE; }
    FT_STATUS get_queue_status(FT_HANDLE, std::uint32_t*) override { return FT_INVALID_HANDLE; }
    FT_STATUS set_usb_parameters(FT_HANDLE, std::uint32_t, std::uint32_t) override {
        return FT_INVALID_HANDLE;
    }
    FT_STATUS set_chars(FT_HANDLE, std::uint8_t, std::uint8_t, std::uint8_t,
                        std::uint8_t) override {
        return FT_INVALID_HANDLE;
    }
    FT_STATUS set_timeouts(FT_HANDLE, std::uint32_t, std::uint32_t) override {
        return FT_INVALID_HANDLE;
    }
    FT_STATUS set_latency_timer(FT_HANDLE, std::uint8_t) override { return FT_INVALID_HANDLE; }
    FT_STATUS set_bit_mode(FT_HANDLE, std::uint8_t, std::uint8_t) override {
        return FT_INVALID_HANDLE;
    }
    FT_STATUS write(FT_HANDLE, const std::uint8_t*, std::uint32_t, std::uint32_t*) override {
        return FT_INVALID_HANDLE;
    }
    FT_STATUS read(FT_HANDLE, std::uint8_t*, std::uint32_t, std::uint32_t*) override {
        return FT_INVALID_HANDLE;
    }
    void sleep_ms(std::uint32_t ms) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
    std::uint64_t clock_ms() override {
        auto since = std::chrono::steady_clock::now().time_since_epoch();
        return static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
    }
};

NoDeviceDriver no_device;
D2xxDriver* bound = &no_device;

}  // namespace

void d2xx_bind(D2xxDriver* driver) {
    bound = driver != nullptr ? driver : &no_device;
}
D2xxDriver* d2xx_bound() {
    return bound;
}
bool d2xx_have_driver() {
    return bound != &no_device;
}

FT_STATUS FT_CreateDeviceInfoList(std::uint32_t* count) {
    return bound->create_device_info_list(count);
}
FT_STATUS FT_GetDeviceInfoDetail(std::uint32_t index, std::uint32_t* flags, std::uint32_t* type,
                                 std::uint32_t* id, std::uint32_t* location, char* serial,
                                 char* description, FT_HANDLE* handle) {
    return bound->get_device_info_detail(index, flags, type, id, location, serial, description,
                                         handle);
}
FT_STATUS FT_Open(int index, FT_HANDLE* handle) {
    return bound->open(index, handle);
}
FT_STATUS FT_Close(FT_HANDLE handle) {
    return bound->close(handle);
}
FT_STATUS FT_ResetDevice(FT_HANDLE handle) {
    return bound->reset_device(handle);
}
FT_STATUS FT_GetQueueStatus(FT_HANDLE handle, std::uint32_t* rx_bytes) {
    return bound->get_queue_status(handle, rx_bytes);
}
FT_STATUS FT_SetUSBParameters(FT_HANDLE handle, std::uint32_t in_size, std::uint32_t out_size) {
    return bound->set_usb_parameters(handle, in_size, out_size);
}
FT_STATUS FT_SetChars(FT_HANDLE handle, std::uint8_t event_char, std::uint8_t event_enabled,
                      std::uint8_t error_char, std::uint8_t error_enabled) {
    return bound->set_chars(handle, event_char, event_enabled, error_char, error_enabled);
}
FT_STATUS FT_SetTimeouts(FT_HANDLE handle, std::uint32_t read_ms, std::uint32_t write_ms) {
    return bound->set_timeouts(handle, read_ms, write_ms);
}
FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, std::uint8_t ms) {
    return bound->set_latency_timer(handle, ms);
}
FT_STATUS FT_SetBitMode(FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode) {
    return bound->set_bit_mode(handle, mask, mode);
}
FT_STATUS FT_Write(FT_HANDLE handle, const void* data, std::uint32_t count,
                   std::uint32_t* written) {
    return bound->write(handle, static_cast<const std::uint8_t*>(data), count, written);
}
FT_STATUS FT_Read(FT_HANDLE handle, void* data, std::uint32_t count, std::uint32_t* got) {
    return bound->read(handle, static_cast<std::uint8_t*>(data), count, got);
}

void Sleep(std::uint32_t ms) {
    bound->sleep_ms(ms);
}
std::uint64_t d2xx_clock_ms() {
    return bound->clock_ms();
}
