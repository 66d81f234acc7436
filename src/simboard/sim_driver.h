// The `sim` driver: the D2XX calls served by a simulated board, an FT2232H
// channel with a flash chip (chip=) on its pins, on a virtual clock.
//
// Selected by HEXBURN_DRIVER=sim or sim:OPTIONS; doc/simulated-board.md
// documents the options, the trace and report formats and the time model.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "d2xx/d2xx_driver.h"
#include "d2xx/in_use.h"
#include "sim/clock.h"
#include "sim/ft2232h.h"
#include "sim/spi_nor.h"
#include "simboard/board_log.h"
#include "simboard/options.h"

// The simulated hardware of one board, reachable from tests.
struct SimBoard {
    // The chip's array, 2,097,152 bytes; empty until the first FT_Open when
    // the chip is a file.
    std::span<std::uint8_t> flash;
    sim::Ft2232hChannel channel;
    std::unique_ptr<sim::SpiNor> chip;  // exists while `flash` does
    // Host-side virtual time: what the program's sleep and clock see.
    sim::VirtualClock clock;
    SimTraffic traffic;
};

// Boards: census entries 2k and 2k+1 are board k. Each board has its own
// chip, clock, trace and report when flash= holds %d; otherwise every entry
// reaches board 0, one handle at a time. Calls on different boards may come
// from different threads; sleep_ms and clock_ms act on the board the calling
// thread used last (board 0 before any).
class SimDriver final : public D2xxDriver {
  public:
    explicit SimDriver(SimOptions options);
    ~SimDriver() override;
    SimDriver(const SimDriver&) = delete;
    SimDriver& operator=(const SimDriver&) = delete;

    // Opens the trace files; false with `error` set when one cannot be opened.
    bool start_trace(std::string& error);
    // Print one line on standard error when a census shows an entry open in
    // another program, as the program's drivers do.
    void name_busy_entries(bool on) { name_busy_ = on; }

    SimBoard& board(std::size_t k = 0);
    std::size_t board_count() const { return boards_.size(); }
    // Board k's report: a JSON object, one line per key.
    std::string report_json(std::size_t k = 0) const;

    FT_STATUS create_device_info_list(std::uint32_t* count) override;
    FT_STATUS get_device_info_detail(std::uint32_t index, std::uint32_t* flags, std::uint32_t* type,
                                     std::uint32_t* id, std::uint32_t* location, char* serial,
                                     char* description, FT_HANDLE* handle) override;
    FT_STATUS open(int index, FT_HANDLE* handle) override;
    // The vendor's FT_OpenEx: `how` 1 serial (arg a string), 2 description
    // (a string), 4 location (the LocId itself).
    FT_STATUS open_ex(const void* arg, std::uint32_t how, FT_HANDLE* handle);
    // The vendor's FT_GetDeviceInfo: what the open handle is.
    FT_STATUS get_device_info(FT_HANDLE handle, std::uint32_t* type, std::uint32_t* id,
                              char* serial, char* description);
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

    // Board 0's host-side settings, as the last calls left them.
    std::uint32_t read_timeout_ms() const;
    std::uint32_t write_timeout_ms() const;
    std::uint32_t usb_in_size() const;
    std::uint32_t usb_out_size() const;

  private:
    struct Hardware;
    // fault=unplug: true (the call traced as failed) once the board is gone.
    bool vanished(Hardware* hw, const char* call);
    // One entry of the device list as it is now.
    struct Listed {
        SimDevice device;
        Hardware* hardware;
        std::uint32_t location;
        bool busy;  // open in another process
    };

    // The board behind `handle`, locked, when the handle is open.
    Hardware* enter(FT_HANDLE handle, std::unique_lock<std::mutex>& hold);
    FT_STATUS open_listed(Hardware& hw, const Listed& entry, FT_HANDLE* handle);
    void plug_in_if_due();
    // present=: whether board `hw` is plugged in now (its lock held); a board
    // pulled out kills its open handle, one put back powers up afresh.
    bool check_present(Hardware& hw);
    void refresh_census();
    bool power_up(Hardware& hw, std::string& why);
    void write_report(Hardware& hw);
    void save_status(Hardware& hw);
    void trace(Hardware& hw, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // A census line: into every trace file.
    void trace_all(const char* format, ...) __attribute__((format(printf, 2, 3)));
    Hardware& current();

    SimOptions options_;
    std::uint64_t serial_;  // tells this driver's thread-local state apart
    std::vector<std::unique_ptr<Hardware>> boards_;
    TraceFiles traces_;
    bool name_busy_ = false;

    // The device list and what counts census calls.
    std::mutex census_lock_;
    std::vector<Listed> census_;
    std::vector<Listed> every_entry_;  // present=: the census with every board plugged in
    std::uint64_t census_calls_ = 0;
    bool plugged_ = false;
    bool said_busy_ = false;  // this census named an entry open elsewhere
};

// The simulated board from OPTIONS, its trace files open. nullptr with
// `error` set on a bad word.
std::unique_ptr<SimDriver> make_sim_board(std::string_view options, std::string& error);

// make_driver's branch for "sim" and "sim:OPTIONS" (`options` is what follows
// the colon). nullptr with `error` set on a bad word.
std::unique_ptr<D2xxDriver> make_sim_driver(std::string_view options, std::string& error);
