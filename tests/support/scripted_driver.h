// A driver for tests: a scripted census, scripted results per call, an
// answer queue the reads take from, and a record of every call made.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "d2xx/d2xx_driver.h"

class ScriptedDriver final : public D2xxDriver {
  public:
    struct Device {
        std::uint32_t type = FT_DEVICE_2232H;
        std::string serial;
        std::string description;
        FT_STATUS detail_status = FT_OK;
    };

    struct Call {
        std::string name;                 // "FT_Write", "Sleep", ...
        std::vector<std::uint32_t> args;  // the integer arguments, in order
        std::vector<std::uint8_t> bytes;  // bytes written, or bytes delivered by a read
        FT_STATUS result = FT_OK;
    };

    // --- the script -------------------------------------------------------
    FT_STATUS census_status = FT_OK;
    std::vector<Device> devices;
    // Bytes waiting for FT_Read; FT_GetQueueStatus reports their number.
    std::deque<std::uint8_t> rx;
    // Called after every accepted FT_Write with the bytes the device received,
    // so a test can queue the device's answer.
    std::function<void(ScriptedDriver&, const std::vector<std::uint8_t>&)> on_write;
    // Milliseconds the clock moves on every call (a stand-in for USB time).
    std::uint64_t tick_ms = 1;
    // Each FT_Read delivers at most this many bytes (0: every read times out).
    std::uint32_t read_limit = UINT32_MAX;
    // The read time-out: an FT_Read that delivers fewer bytes than asked takes
    // this much longer.
    std::uint64_t read_timeout_ms = 0;
    // For runs of millions of transactions: when false, FT_Write and FT_Read
    // are only counted (unrecorded_writes/reads), not recorded, and ignore
    // fail() and short_write(); on_write and last_written still work.
    bool record = true;

    // The nth call (from 1) named `name` returns `status` and does nothing else.
    void fail(const std::string& name, int nth, FT_STATUS status = FT_IO_ERROR);
    // The nth FT_Write delivers and reports only `count` bytes.
    void short_write(int nth, std::uint32_t count);

    // Queues answer bytes.
    void answer(std::initializer_list<std::uint8_t> bytes);
    void answer(const std::vector<std::uint8_t>& bytes);
    // Queues answer bytes that arrive `delay_ms` from now (still on their way).
    void answer_later(std::uint64_t delay_ms, const std::vector<std::uint8_t>& bytes);

    // --- the record ---------------------------------------------------------
    std::vector<Call> calls;
    std::uint64_t now_ms = 0;
    std::vector<std::string> names() const;  // every call's name, in order
    std::vector<Call> calls_named(const std::string& name) const;
    std::vector<std::uint8_t> written() const;  // all FT_Write bytes, concatenated
    std::vector<std::uint8_t> last_written;     // bytes of the last accepted FT_Write
    std::uint64_t unrecorded_writes = 0;
    std::uint64_t unrecorded_reads = 0;

    // --- D2xxDriver ------------------------------------------------------------
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

    // The handle FT_Open hands out.
    static FT_HANDLE handle() { return reinterpret_cast<FT_HANDLE>(std::uintptr_t{0x2232}); }

  private:
    // Records the call and returns the scripted failure for it, or FT_OK.
    FT_STATUS begin(const std::string& name, std::vector<std::uint32_t> args);
    // Moves the bytes whose time has come into rx.
    void arrive();
    std::multimap<std::uint64_t, std::vector<std::uint8_t>> later_;
    std::map<std::string, int> counts_;
    std::map<std::string, std::map<int, FT_STATUS>> failures_;
    std::map<int, std::uint32_t> short_writes_;
};

// Binds a driver for the lifetime of a scope.
class BoundDriver {
  public:
    explicit BoundDriver(D2xxDriver& driver);
    ~BoundDriver();
    BoundDriver(const BoundDriver&) = delete;
    BoundDriver& operator=(const BoundDriver&) = delete;
};

// Captures what the console prints, and feeds it input, for a scope.
class ConsoleCapture {
  public:
    explicit ConsoleCapture(const std::string& input = "");
    ~ConsoleCapture();
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;
    std::string text() const;  // everything printed so far

  private:
    std::FILE* out_;
    std::FILE* in_;
};
