// The driver over libftdi1, the open-source FTDI library.
//
// It makes libftdi look like D2XX to the program: each FT2232H is listed as
// two interfaces named the way D2XX names them, FT_GetQueueStatus is emulated
// with a receive queue of the driver's own, and FT_Read waits up to the read
// time-out. The few libftdi calls it needs sit behind FtdiBus and
// FtdiChannel, so that all of this can be tested without a board.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "d2xx/d2xx_driver.h"

// One chip with the FT2232 USB identity (0x0403:0x6010) found on the bus.
struct FtdiChip {
    bool readable = true;            // its strings could be read (false: no permission, ...)
    std::string serial;              // EEPROM serial number; empty when the EEPROM is blank
    std::string description;         // product string; empty when the EEPROM is blank
    std::uint16_t release = 0x0700;  // bcdDevice: 0x0700 FT2232H, 0x0500 FT2232C/D
    bool high_speed = true;          // enumerated at USB high speed
    std::uint32_t location = 0;      // bus and port path as hex digits, e.g. 0x22
};

// One opened interface of a chip: the libftdi calls on its context.
// Integer results follow libftdi: negative is an error.
class FtdiChannel {
  public:
    virtual ~FtdiChannel() = default;  // closes the interface
    virtual int reset() = 0;           // ftdi_usb_reset: also drops libftdi's read buffer
    virtual int set_chunk_sizes(std::uint32_t in_size, std::uint32_t out_size) = 0;
    virtual int set_chars(std::uint8_t event_char, std::uint8_t event_enabled,
                          std::uint8_t error_char, std::uint8_t error_enabled) = 0;
    virtual void set_usb_timeouts(std::uint32_t read_ms, std::uint32_t write_ms) = 0;
    virtual int set_latency_timer(std::uint8_t ms) = 0;
    virtual int set_bitmode(std::uint8_t mask, std::uint8_t mode) = 0;
    // ftdi_write_data: bytes sent, or < 0.
    virtual int write(const std::uint8_t* data, int count) = 0;
    // ftdi_read_data: bytes delivered (0 when the chip had nothing for about one
    // latency period), or < 0.
    virtual int read(std::uint8_t* data, int count) = 0;
};

// The USB bus as libftdi sees it, and the clock the driver waits on.
class FtdiBus {
  public:
    virtual ~FtdiBus() = default;
    // Replaces `chips` with the chips attached now; false when the bus cannot
    // be reached at all (which, to the program, means no devices).
    virtual bool list(std::vector<FtdiChip>& chips) = 0;
    // Opens interface `interface` (0 = A, 1 = B) of entry `chip` of the last
    // list; nullptr when it cannot be opened.
    virtual std::unique_ptr<FtdiChannel> open(std::size_t chip, int interface) = 0;
    virtual std::uint64_t now_ms() = 0;
    virtual void sleep_ms(std::uint32_t ms) = 0;
};

// The driver over any bus; the program's is make_libftdi_bus().
std::unique_ptr<D2xxDriver> make_libftdi_driver(std::unique_ptr<FtdiBus> bus);

// The real USB bus through libftdi1 (libftdi_bus.cpp).
std::unique_ptr<FtdiBus> make_libftdi_bus();
