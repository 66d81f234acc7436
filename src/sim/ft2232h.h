// A simulated FT2232H channel: bit mode, the MPSSE command processor, the
// low and high pin bytes, and the USB IN path (answer queue, latency timer,
// packets). An SPI target (a flash chip) hangs on ADBUS0..3.
//
// Time: the host side passes its virtual time with every request; the engine
// keeps its own time line (it runs behind the USB transfers and clocks SPI
// bits at 1/SK each) and moves the board clock the chip reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/clock.h"
#include "sim/spi_nor.h"

namespace sim {

// Low-byte pins and the board's wiring.
inline constexpr std::uint8_t kPinSk = 0x01;  // ADBUS0: SK, the chip's C
inline constexpr std::uint8_t kPinDo = 0x02;  // ADBUS1: DO, the chip's D
inline constexpr std::uint8_t kPinDi = 0x04;  // ADBUS2: DI, the chip's Q
inline constexpr std::uint8_t kPinCs = 0x08;  // ADBUS3: the chip's S#, active low

// FT_SetBitMode modes the channel knows (bit-bang and the others are accepted
// but do not execute written bytes).
inline constexpr std::uint8_t kBitModeReset = 0x00;
inline constexpr std::uint8_t kBitModeMpsse = 0x02;

// "No time limit" / "never".
inline constexpr std::uint64_t kNever = UINT64_MAX;

// The device on the SPI pins, seen as the channel drives it.
class SpiTarget {
  public:
    virtual ~SpiTarget() = default;
    virtual void set_select(bool high) = 0;  // S#: false = selected
    // One SK cycle: d sampled on the rising edge; returns Q during the cycle.
    virtual bool clock(bool d) = 0;
    // Eight cycles, MSB first.
    virtual std::uint8_t clock_byte(std::uint8_t d) = 0;
};

// The simulated flash chip as an SPI target.
class ChipOnPins final : public SpiTarget {
  public:
    explicit ChipOnPins(SpiNor& chip) : chip_(chip) {}
    void set_select(bool high) override { chip_.set_select(high); }
    bool clock(bool d) override { return chip_.clock(d); }
    std::uint8_t clock_byte(std::uint8_t d) override { return chip_.clock_byte(d); }

  private:
    SpiNor& chip_;
};

struct ChannelCounters {
    std::uint64_t command_bytes = 0;  // bytes taken by the MPSSE command processor
    std::uint64_t bad_commands = 0;
    std::uint64_t sk_cycles = 0;
    std::uint64_t answer_bytes = 0;  // bytes the engine queued for the host
    std::uint64_t in_packets = 0;    // IN packets that carried answer bytes
};

class Ft2232hChannel {
  public:
    static constexpr std::size_t kPacketPayload = 510;  // 512-byte packet minus 2 status bytes
    static constexpr std::size_t kPacketSize = 512;     // high-speed bulk packet
    static constexpr std::size_t kPacketsPerMicroframe = 8;
    static constexpr std::uint64_t kMicroframeNs = 125'000;
    static constexpr std::size_t kTransmitBuffer = 4096;  // the chip's OUT buffer
    static constexpr std::uint8_t kDefaultLatencyMs = 16;

    Ft2232hChannel() = default;
    Ft2232hChannel(const Ft2232hChannel&) = delete;
    Ft2232hChannel& operator=(const Ft2232hChannel&) = delete;

    // Connects the SPI target (nullptr: nothing on the pins).
    void attach(SpiTarget* target);
    // The board clock: engine time, read by the chip.
    const VirtualClock& board_clock() const { return board_clock_; }

    // --- host requests ----------------------------------------------------------
    // FT_SetBitMode; false for a mode the chip does not have.
    bool set_bit_mode(std::uint8_t mask, std::uint8_t mode);
    void set_latency_ms(std::uint8_t ms);
    void set_event_char(std::uint8_t value, bool enabled);
    // FT_ResetDevice: drops both queues and any half-received command.
    void purge();
    // The bytes of one USB write, in the chip's buffer at `arrival_ns`: executed
    // in MPSSE mode, dropped otherwise.
    void receive(const std::uint8_t* data, std::size_t count, std::uint64_t arrival_ns);
    // One USB write starting at `start_ns`: 512-byte packets, eight per
    // 125 us microframe, each taken once the 4 KiB buffer has room for it,
    // and executed as it arrives. Returns the time the last packet was taken
    // (the write is complete then).
    std::uint64_t transfer_out(const std::uint8_t* data, std::size_t count, std::uint64_t start_ns);
    // Engine time at which everything received so far has been executed.
    std::uint64_t engine_done_ns() const { return engine_t3_ / 3; }
    // Fault: bad commands get no answer.
    void set_answer_bad_commands(bool answer) { answer_bad_ = answer; }

    // --- the host side of the IN pipe -----------------------------------------
    // Bytes that have reached the host by `now_ns`.
    std::size_t host_queued(std::uint64_t now_ns);
    // Moves time on from `from_ns` until the host holds `count` bytes, the
    // limit passes, or nothing more can arrive; returns the time reached
    // (`limit_ns` on a time-out; with kNever and nothing pending, the time the
    // last pending byte arrived, or from_ns).
    std::uint64_t wait_for(std::size_t count, std::uint64_t from_ns, std::uint64_t limit_ns);
    // Takes up to `count` bytes from the host queue; returns how many.
    std::size_t take(std::uint8_t* into, std::size_t count);
    // Drops what the host holds (not what is still in the chip).
    void drop_host_queue();

    // --- inspection ------------------------------------------------------------
    bool mpsse() const { return mode_ == kBitModeMpsse; }
    std::uint8_t bit_mode() const { return mode_; }
    std::uint8_t low_levels() const { return low_value_; }
    std::uint8_t low_directions() const { return low_dir_; }
    std::uint8_t high_levels() const { return high_value_; }
    std::uint8_t high_directions() const { return high_dir_; }
    bool select_high() const { return select_high_; }  // S# as the chip sees it
    bool loopback() const { return loopback_; }
    bool divide_by_5() const { return divide_by_5_; }
    bool three_phase() const { return three_phase_; }
    bool adaptive() const { return adaptive_; }
    std::uint16_t divisor() const { return divisor_; }
    double sk_hz() const;
    // Adaptive clocking waits for an RTCK the board never returns.
    bool stalled() const { return stalled_; }
    std::uint8_t latency_ms() const { return latency_ms_; }
    const ChannelCounters& counters() const { return counters_; }

  private:
    enum class Parse : std::uint8_t { kOpcode, kParams, kData };

    void execute(const std::uint8_t* data, std::size_t count);
    void start_command(std::uint8_t op);
    void run_command();
    void stream_data(const std::uint8_t* data, std::size_t count);
    void clock_bytes_in(std::uint32_t count);
    void clock_idle(std::uint64_t bits);
    bool gpiol1_high() const;
    void take_byte();
    std::uint8_t shift_byte(std::uint8_t out_wire);
    std::uint8_t shift_bits(std::uint8_t out_wire, int bits, std::uint8_t tms, bool write_do,
                            bool write_tms);
    void bit_command();
    void set_low(std::uint8_t value, std::uint8_t direction);
    void update_select();
    void drive_select(bool high);
    std::uint8_t read_low() const;
    std::uint8_t read_high() const;
    void answer(std::uint8_t byte);
    void elapse_bits(std::uint64_t bits);
    std::uint64_t bit_t3() const;

    // Sends the next IN packet if it is due by `limit`; false when none is.
    bool step(std::uint64_t limit, std::uint64_t* at);
    void advance_to(std::uint64_t t);
    void send_packet(std::uint64_t at);

    SpiTarget* target_ = nullptr;
    VirtualClock board_clock_;

    // Mode and MPSSE state.
    std::uint8_t mode_ = kBitModeReset;
    std::uint8_t low_value_ = 0;
    std::uint8_t low_dir_ = 0;
    std::uint8_t high_value_ = 0;
    std::uint8_t high_dir_ = 0;
    bool loopback_ = false;
    bool divide_by_5_ = true;
    bool three_phase_ = false;
    bool adaptive_ = false;
    bool stalled_ = false;
    std::uint16_t divisor_ = 0;
    bool select_high_ = true;
    bool last_q_ = true;  // Q as last driven by the target (1 = high-impedance)
    bool answer_bad_ = true;

    // Parser state, kept between writes.
    Parse parse_ = Parse::kOpcode;
    std::uint8_t op_ = 0;
    std::uint8_t params_[3] = {};
    std::uint8_t have_ = 0;
    std::uint8_t need_ = 0;
    std::uint32_t data_left_ = 0;

    // Engine time, in thirds of a nanosecond (one 60 MHz tick is 50 of them).
    std::uint64_t engine_t3_ = 0;
    // When the parser took each of the last kTransmitBuffer bytes (indexed by
    // the count of bytes taken, modulo the buffer): when their room came free.
    std::vector<std::uint64_t> taken_ns_ = std::vector<std::uint64_t>(kTransmitBuffer);
    std::uint64_t taken_ = 0;

    // IN path: answer bytes in the chip with the time each became ready,
    // pending send-immediate marks, the host's queue.
    std::vector<std::uint8_t> chip_bytes_;
    std::vector<std::uint64_t> chip_ready_;
    std::size_t chip_head_ = 0;
    std::vector<std::uint64_t> flushes_;
    std::size_t flush_head_ = 0;
    std::vector<std::uint8_t> host_bytes_;
    std::size_t host_head_ = 0;
    std::uint64_t last_send_ns_ = 0;
    std::uint8_t latency_ms_ = kDefaultLatencyMs;
    std::uint8_t event_char_ = 0;
    bool event_enabled_ = false;

    ChannelCounters counters_;
};

}  // namespace sim
