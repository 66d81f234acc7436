// The driver behind the D2XX call surface.
//
// One member per D2XX call the program makes, with the same arguments, plus
// the two operating-system services the program needs (sleep, monotonic
// clock), so that a simulated board can run them on its virtual clock.
// The program binds exactly one driver at start (d2xx_bind); the FT_*
// functions of d2xx.h forward to it.
#pragma once

#include <cstdint>

#include "d2xx/d2xx_types.h"

class D2xxDriver {
  public:
    virtual ~D2xxDriver() = default;

    // Takes a snapshot of the attached interfaces; *count receives their number.
    virtual FT_STATUS create_device_info_list(std::uint32_t* count) = 0;
    // Copies entry `index` of the snapshot; serial gets FT_SERIAL_SIZE bytes,
    // description FT_DESCRIPTION_SIZE, both NUL-terminated.
    virtual FT_STATUS get_device_info_detail(std::uint32_t index, std::uint32_t* flags,
                                             std::uint32_t* type, std::uint32_t* id,
                                             std::uint32_t* location, char* serial,
                                             char* description, FT_HANDLE* handle) = 0;
    // Opens entry `index` of the snapshot.
    virtual FT_STATUS open(int index, FT_HANDLE* handle) = 0;
    virtual FT_STATUS close(FT_HANDLE handle) = 0;
    virtual FT_STATUS reset_device(FT_HANDLE handle) = 0;
    // Bytes received by the host and waiting for read().
    virtual FT_STATUS get_queue_status(FT_HANDLE handle, std::uint32_t* rx_bytes) = 0;
    virtual FT_STATUS set_usb_parameters(FT_HANDLE handle, std::uint32_t in_size,
                                         std::uint32_t out_size) = 0;
    virtual FT_STATUS set_chars(FT_HANDLE handle, std::uint8_t event_char,
                                std::uint8_t event_enabled, std::uint8_t error_char,
                                std::uint8_t error_enabled) = 0;
    virtual FT_STATUS set_timeouts(FT_HANDLE handle, std::uint32_t read_ms,
                                   std::uint32_t write_ms) = 0;
    virtual FT_STATUS set_latency_timer(FT_HANDLE handle, std::uint8_t ms) = 0;
    virtual FT_STATUS set_bit_mode(FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode) = 0;
    virtual FT_STATUS write(FT_HANDLE handle, const std::uint8_t* data, std::uint32_t count,
                            std::uint32_t* written) = 0;
    // Waits until `count` bytes arrived or the read time-out ran out; FT_OK
    // with *got < count on time-out.
    virtual FT_STATUS read(FT_HANDLE handle, std::uint8_t* data, std::uint32_t count,
                           std::uint32_t* got) = 0;

    // Operating-system services on the driver's clock.
    virtual void sleep_ms(std::uint32_t ms) = 0;
    virtual std::uint64_t clock_ms() = 0;
};

// Makes `driver` the one behind every FT_* call; nullptr restores the
// built-in driver that finds no devices.
void d2xx_bind(D2xxDriver* driver);
D2xxDriver* d2xx_bound();
// False while only the built-in driver is bound: the driver setting was
// refused or its library did not load, and no census will ever list a board.
bool d2xx_have_driver();
