// The simulated USB bus behind the libusb stand-in: FT2232H chips as libusb
// sees them (descriptors, the kernel driver and claims of each interface,
// vendor requests, bulk endpoints), with the simulated MPSSE engine and
// flash chip (chip=) on interface B, on one virtual clock.
//
// Configured by HEXBURN_USB_SIM, in the grammar both faces share
// (simboard/options.h, doc/simulated-board.md); libusb_api.cpp
// turns the libusb calls into calls of this model.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sim/clock.h"
#include "sim/ft2232h.h"
#include "sim/spi_nor.h"
#include "simboard/board_log.h"
#include "simboard/chip_file.h"
#include "simboard/options.h"

namespace usbsim {

// libusb's own result codes, so the model answers as libusb would.
enum Result : int {
    kOk = 0,
    kIo = -1,
    kInvalidParam = -2,
    kAccess = -3,
    kNoDevice = -4,
    kNotFound = -5,
    kBusy = -6,
    kTimeout = -7,
    kOverflow = -8,
    kPipe = -9,
};

// One interface of a chip.
struct Interface {
    bool driver_bound = true;          // ftdi_sio, as after plugging in
    const void* claimed_by = nullptr;  // the handle of this process that claimed it
    bool claimed_elsewhere = false;    // by another program
    sim::Ft2232hChannel channel;
};

struct Board {
    int index = 0;
    std::string serial;
    bool gone = false;             // unplugged
    bool pulled = false;           // unplugged by present=
    std::uint64_t generation = 0;  // plug-ins so far: a handle of an earlier one is dead
    Interface interfaces[2];
    SimOptions options;                // the run's, with this board's own faults
    std::vector<std::uint8_t> memory;  // the chip when it is not a file
    ChipFile file;                     // the chip when it is a file
    bool file_locked = false;          // while interface B is claimed
    std::unique_ptr<sim::SpiNor> chip;
    std::unique_ptr<sim::ChipOnPins> pins;
    TraceSink* trace = nullptr;
    std::string report_path;
    bool report_due = false;  // claimed since the last report
    SimTraffic traffic;
    std::uint64_t bulk_transfers = 0;
    std::uint64_t bulk_outs = 0;
};

class Bus {
  public:
    // The bus of this process, made at the first call from HEXBURN_USB_SIM.
    static Bus& get();

    explicit Bus(SimOptions options);
    ~Bus();
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    std::vector<Board*> attached();
    // present=: pulls the board out or plugs it back in (powered up afresh)
    // as the file says now.
    void refresh(Board& board);
    std::uint16_t packet_size() const { return options_.full_speed ? 64 : 512; }
    bool full_speed() const { return options_.full_speed; }

    // The calls a device handle makes (`who` is the handle).
    int open(Board& board);
    int claim(Board& board, int interface, const void* who, bool auto_detach);
    int release(Board& board, int interface, const void* who, bool auto_detach);
    void drop_claims(Board& board, const void* who);  // closing a handle
    int driver_active(const Board& board, int interface) const;
    int detach(Board& board, int interface);
    int attach(Board& board, int interface);
    // A vendor control request; IN requests fill `data`. Returns bytes moved or < 0.
    int control(Board& board, std::uint8_t request_type, std::uint8_t request, std::uint16_t value,
                std::uint16_t index, std::uint8_t* data, std::uint16_t length);
    // A bulk transfer on `endpoint`; `*moved` gets the bytes moved.
    int bulk(Board& board, const void* who, std::uint8_t endpoint, std::uint8_t* data, int length,
             int* moved, unsigned timeout_ms);

  private:
    void power_up(Board& board);
    void plug_in_again(Board& board);
    bool take_chip_file(Board& board);
    void give_back_chip_file(Board& board);
    void save_status(Board& board);
    int claim_interface(Board& board, int interface, const void* who, bool auto_detach);
    int vendor_request(Board& board, std::uint8_t request_type, std::uint8_t request,
                       std::uint16_t value, std::uint16_t index, std::uint8_t* data,
                       std::uint16_t length);
    void write_report(Board& board);
    void write_state() const;
    void trace(Board& board, const char* format, ...) __attribute__((format(printf, 3, 4)));
    int bulk_out(Board& board, sim::Ft2232hChannel& channel, std::uint8_t* data, int length,
                 int* moved);
    int bulk_in(Board& board, sim::Ft2232hChannel& channel, std::uint8_t* data, int length,
                int* moved, unsigned timeout_ms);

    // The host's real time between two calls moves the clock too, so that a
    // program that sleeps between polls sees the chip's busy times pass.
    void catch_up();
    void mark();

    SimOptions options_;
    std::vector<std::unique_ptr<Board>> boards_;
    TraceFiles traces_;
    sim::VirtualClock clock_;  // the host's time; every transfer moves it
    std::chrono::steady_clock::time_point last_call_end_{};
    bool called_ = false;
};

}  // namespace usbsim
