// The `sim` driver: the D2XX calls served by a simulated board, an FT2232H
// channel with an M25P16 on its pins, on a virtual clock.
//
// Selected by HEXBURN_DRIVER=sim or sim:OPTIONS; doc/simulated-board.md
// documents the options, the trace and report formats and the time model.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "mpsse/d2xx_driver.h"
#include "sim/clock.h"
#include "sim/ft2232h.h"
#include "sim/m25p16.h"

// One interface in the simulated census.
struct SimDevice {
    std::uint32_t type = FT_DEVICE_2232H;
    std::string serial;
    std::string description;
};

// A fault that strikes some calls of one kind: all of them, or the Nth ones
// (counted over the run from 1; for detail-fail, the index).
struct SimFault {
    bool every = false;
    std::vector<std::uint64_t> at;
    bool strikes(std::uint64_t n) const;
};

struct SimOptions {
    std::string flash_path;          // empty: the chip lives in memory only
    std::vector<SimDevice> devices;  // the census
    sim::ChipTiming timing = sim::ChipTiming::typical();
    sim::ChipFaults chip_faults;
    std::uint32_t jedec_id = 0x202015;  // the chip's RDID answer (id=HEX6)
    bool no_echo = false;
    SimFault census_fail;
    SimFault detail_fail;
    SimFault open_fail;
    SimFault setup_fail;
    SimFault write_fail;
    SimFault write_short;
    SimFault read_fail;
    SimFault read_short;
    std::string trace_path;   // empty: no trace
    std::string report_path;  // empty: no report
};

// Census of `boards` FT2232H chips with blank EEPROMs: two interfaces each.
std::vector<SimDevice> sim_blank_boards(int boards);

// Parses the OPTIONS of "sim:OPTIONS" (a census file is read here). On a bad
// word returns false with `error` set to one line naming it.
bool parse_sim_options(std::string_view text, SimOptions& options, std::string& error);

// What went over the USB pipe (FT_OK calls only).
struct SimTraffic {
    std::uint64_t usb_writes = 0;
    std::uint64_t usb_reads = 0;
    std::uint64_t bytes_out = 0;  // bytes delivered to the chip
    std::uint64_t bytes_in = 0;   // bytes delivered to the caller
};

// The simulated hardware, reachable from tests.
struct SimBoard {
    // The chip's array, 2,097,152 bytes; empty until the first FT_Open when
    // the chip is a file.
    std::span<std::uint8_t> flash;
    sim::Ft2232hChannel channel;
    std::unique_ptr<sim::M25P16> chip;  // exists while `flash` does
    // Host-side virtual time: what the program's sleep and clock see.
    sim::VirtualClock clock;
    SimTraffic traffic;
};

class SimDriver final : public D2xxDriver {
  public:
    explicit SimDriver(SimOptions options);
    ~SimDriver() override;
    SimDriver(const SimDriver&) = delete;
    SimDriver& operator=(const SimDriver&) = delete;

    // Opens the trace file; false with `error` set when it cannot be opened.
    bool start_trace(std::string& error);

    SimBoard& board() { return board_; }
    // The report's JSON object (one line per key).
    std::string report_json() const;

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

    // Host-side settings, as the last calls left them.
    std::uint32_t read_timeout_ms() const { return read_timeout_ms_; }
    std::uint32_t write_timeout_ms() const { return write_timeout_ms_; }
    std::uint32_t usb_in_size() const { return usb_in_size_; }
    std::uint32_t usb_out_size() const { return usb_out_size_; }

  private:
    bool valid(FT_HANDLE handle) const { return open_ && handle == &board_; }
    bool power_up(std::string& why);
    void attach_chip(std::uint8_t* memory);
    void write_report() const;
    void trace(const char* format, ...) const __attribute__((format(printf, 2, 3)));
    const char* hex(const std::uint8_t* data, std::size_t count) const;

    SimOptions options_;
    SimBoard board_;
    std::vector<std::uint8_t> memory_;  // the chip when it is not a file
    void* mapping_ = nullptr;           // the chip when it is a file
    std::unique_ptr<sim::ChipOnPins> pins_;
    std::FILE* trace_ = nullptr;
    mutable std::string hex_;

    bool open_ = false;
    std::uint32_t open_index_ = 0;
    std::uint32_t read_timeout_ms_ = 0;  // 0: none, wait for the full count
    std::uint32_t write_timeout_ms_ = 0;
    std::uint32_t usb_in_size_ = 4096;
    std::uint32_t usb_out_size_ = 4096;
    std::uint8_t error_char_ = 0;
    bool error_char_enabled_ = false;

    // Calls so far, for the counted faults.
    std::uint64_t census_calls_ = 0;
    std::uint64_t open_calls_ = 0;
    std::uint64_t timeout_calls_ = 0;
    std::uint64_t write_calls_ = 0;
    std::uint64_t read_calls_ = 0;
};

// make_driver's branch for "sim" and "sim:OPTIONS" (`options` is what follows
// the colon). nullptr with `error` set on a bad word.
std::unique_ptr<D2xxDriver> make_sim_driver(std::string_view options, std::string& error);
