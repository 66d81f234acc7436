// The simulated USB bus behind the libusb stand-in: FT2232H chips as libusb
// sees them (descriptors, the kernel driver and claims of each interface,
// vendor requests, bulk endpoints), with the simulated MPSSE engine and
// M25P16 on interface B, on one virtual clock.
//
// Configured by HEXBURN_USB_SIM (doc/simulated-board.md); libusb_api.cpp
// turns the libusb calls into calls of this model.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sim/clock.h"
#include "sim/ft2232h.h"
#include "sim/m25p16.h"

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

struct Options {
    int boards = 1;
    std::string flash_path;  // empty: each chip in memory; "%d" is the board's index
    std::string serial;      // board 0's EEPROM serial; empty: blank EEPROM
    bool full_speed = false;
    sim::ChipTiming timing = sim::ChipTiming::typical();
    std::string state_path;  // where the interfaces' states are written
    // Faults.
    bool deny_open = false;          // libusb_open: permission denied
    bool stuck_driver = false;       // interface B's kernel driver cannot be detached
    bool busy = false;               // interface B is claimed by another program
    bool reset_stall = false;        // interface B stalls the SIO reset request
    std::uint64_t unplug_at = 0;     // the boards vanish at this bulk transfer (from 1)
    std::uint64_t interrupt_at = 0;  // SIGINT raised at this bulk OUT (from 1)
};

// Parses HEXBURN_USB_SIM; false with `error` naming the bad item.
bool parse_options(std::string_view text, Options& options, std::string& error);

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
    bool gone = false;  // unplugged
    Interface interfaces[2];
    std::vector<std::uint8_t> memory;  // the chip when it is not a file
    void* mapping = nullptr;           // the chip when it is a file
    std::unique_ptr<sim::M25P16> chip;
    std::unique_ptr<sim::ChipOnPins> pins;
};

class Bus {
  public:
    // The bus of this process, made at the first call from HEXBURN_USB_SIM.
    static Bus& get();

    explicit Bus(Options options);
    ~Bus();
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    std::vector<Board*> attached();
    std::uint16_t packet_size() const { return options_.full_speed ? 64 : 512; }
    bool full_speed() const { return options_.full_speed; }

    // The calls a device handle makes (`who` is the handle).
    int open(const Board& board) const;
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
    void write_state() const;
    int bulk_in(sim::Ft2232hChannel& channel, std::uint8_t* data, int length, int* moved,
                unsigned timeout_ms);

    Options options_;
    std::vector<std::unique_ptr<Board>> boards_;
    sim::VirtualClock clock_;  // the host's time; every transfer moves it
    std::uint64_t bulk_transfers_ = 0;
    std::uint64_t bulk_outs_ = 0;
};

}  // namespace usbsim
