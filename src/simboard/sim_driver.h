// The `sim` driver: the D2XX calls served by a simulated board, an FT2232H
// channel with an M25P16 on its pins, on a virtual clock.
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

#include "mpsse/d2xx_driver.h"
#include "mpsse/in_use.h"
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
// (counted from 1, per board; for detail-fail and busy, the census index).
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
    SimFault busy;  // census indexes open in another process
    bool replug = false;
    SimFault open_fail;
    SimFault setup_fail;
    SimFault write_fail;
    SimFault write_short;
    SimFault read_fail;
    SimFault read_short;
    // The signal raised in the Nth FT_Write, once its bytes went out.
    SimFault raise_sigint;
    SimFault raise_sigterm;
    SimFault raise_sighup;
    std::string trace_path;   // empty: no trace
    std::string report_path;  // empty: no report
    // fault=NAME#k items: board k, the fault's value without "#k".
    std::vector<std::pair<std::uint32_t, std::string>> board_faults;
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

// The simulated hardware of one board, reachable from tests.
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
    struct Trace;
    struct Hardware;
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
    bool power_up(Hardware& hw, std::string& why);
    void write_report(Hardware& hw);
    void flush_trace(Trace& sink);
    void trace(Hardware& hw, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // A census line: into every trace file.
    void trace_all(const char* format, ...) __attribute__((format(printf, 2, 3)));
    static void emit(Trace& sink, const std::string& line);
    Hardware& current();

    SimOptions options_;
    std::uint64_t serial_;  // tells this driver's thread-local state apart
    std::vector<std::unique_ptr<Hardware>> boards_;
    std::vector<std::unique_ptr<Trace>> traces_;
    bool name_busy_ = false;

    // The device list and what counts census calls.
    std::mutex census_lock_;
    std::vector<Listed> census_;
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
