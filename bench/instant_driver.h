// A board that answers every call at once: the programming run against it
// costs only the program's own work (parse, frame, compare), with no USB,
// SPI or chip time and no simulator behind the calls.
//
// It reads just enough of each write to queue the answer a real board would
// give: the echo of a synchronisation opcode, status 0 (ready) for RDSR, and
// for READ the bytes the last page program sent to that address (0xFF
// elsewhere, as after the erase). Nothing is allocated after construction.
#pragma once

#include <cstdint>

#include "d2xx/d2xx_driver.h"

class InstantDriver final : public D2xxDriver {
  public:
    // Calls made so far (the census and settings not counted).
    std::uint64_t writes = 0;
    std::uint64_t reads = 0;

    FT_STATUS create_device_info_list(std::uint32_t* count) override;
    FT_STATUS get_device_info_detail(std::uint32_t index, std::uint32_t* flags, std::uint32_t* type,
                                     std::uint32_t* id, std::uint32_t* location, char* serial,
                                     char* description, FT_HANDLE* handle) override;
    FT_STATUS open(int index, FT_HANDLE* handle) override;
    FT_STATUS close(FT_HANDLE handle) override;
    FT_STATUS reset_device(FT_HANDLE handle) override;
    FT_STATUS get_queue_status(FT_HANDLE handle, std::uint32_t* rx_bytes) override;
    FT_STATUS set_usb_parameters(FT_HANDLE handle, std::uint32_t in_size,
                                 std::uint32_t out_size) override;
    FT_STATUS set_chars(FT_HANDLE handle, std::uint8_t event_char, std::uint8_t event_enabled,
                        std::uint8_t error_char, std::uint8_t error_enabled) override;
    FT_STATUS set_timeouts(FT_HANDLE handle, std::uint32_t read_ms,
                           std::uint32_t write_ms) override;
    FT_STATUS set_latency_timer(FT_HANDLE handle, std::uint8_t ms) override;
    FT_STATUS set_bit_mode(FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode) override;
    FT_STATUS write(FT_HANDLE handle, const std::uint8_t* data, std::uint32_t count,
                    std::uint32_t* written) override;
    FT_STATUS read(FT_HANDLE handle, std::uint8_t* data, std::uint32_t count,
                   std::uint32_t* got) override;
    void sleep_ms(std::uint32_t ms) override;
    std::uint64_t clock_ms() override;

  private:
    void queue(std::uint8_t byte);
    void answer_frame(const std::uint8_t* frame, std::uint32_t count);

    std::uint8_t answer_[4096];  // queued answer bytes, taken from the front
    std::uint32_t answer_head_ = 0;
    std::uint32_t answer_tail_ = 0;
    std::uint8_t page_[256];  // the data of the last page program
    std::uint32_t page_address_ = 0;
    std::uint32_t page_length_ = 0;
    std::uint64_t now_ms_ = 0;
};
