#include "sim/ft2232h.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace sim {

namespace {

// Clocking commands (bit 7 clear): what each opcode bit asks for.
enum : std::uint8_t {
    kWriteOnFalling = 0x01,  // DO changes on the falling SK edge (else rising)
    kBitMode = 0x02,         // a bit count follows (else a byte count)
    kReadOnFalling = 0x04,   // DI sampled on the falling edge (else rising)
    kLsbFirst = 0x08,
    kWriteDo = 0x10,
    kReadDi = 0x20,
    kWriteTms = 0x40,  // TMS/CS driven from a data byte, LSB first, bit mode
    kNotClocking = 0x80,
};

// The other commands the FT2232H's MPSSE knows.
enum : std::uint8_t {
    kSetLow = 0x80,               // value, direction
    kGetLow = 0x81,               // answers 1 byte
    kSetHigh = 0x82,              // value, direction
    kGetHigh = 0x83,              // answers 1 byte
    kLoopbackOn = 0x84,           // DO -> DI inside the chip
    kLoopbackOff = 0x85,          //
    kSetDivisor = 0x86,           // divisor low, high
    kSendImmediate = 0x87,        // answers go to the host now
    kDivideBy5Off = 0x8A,         // 60 MHz base
    kDivideBy5On = 0x8B,          // 12 MHz base
    kThreePhaseOn = 0x8C,         // each bit takes 1.5 SK periods
    kThreePhaseOff = 0x8D,        //
    kWaitHigh = 0x88,             // wait until GPIOL1 is high
    kWaitLow = 0x89,              // ... low
    kClockBits = 0x8E,            // Length: Length+1 clocks, no data
    kClockBytes = 0x8F,           // LengthL, LengthH: (Length+1) x 8 clocks, no data
    kClockUntilHigh = 0x94,       // clock until GPIOL1 is high
    kClockUntilLow = 0x95,        // ... low
    kAdaptiveOn = 0x96,           // each SK edge waits for RTCK on GPIOL3
    kAdaptiveOff = 0x97,          //
    kClockBytesUntilHigh = 0x9C,  // LengthL, LengthH: up to (Length+1) x 8 clocks or GPIOL1 high
    kClockBytesUntilLow = 0x9D,   // ... low
    kBadCommandReply = 0xFA       // first byte of the answer to an unknown command
};

constexpr std::uint64_t kBaseHz = 60'000'000;
constexpr std::uint64_t kT3PerTick = 50;  // one 60 MHz tick in thirds of a nanosecond
constexpr std::uint64_t kNsPerMs = 1'000'000;
constexpr std::uint8_t kPinGpiol1 = 0x20;  // ADBUS5, watched by the wait commands

constexpr std::array<std::uint8_t, 256> make_reversed() {
    std::array<std::uint8_t, 256> table{};
    for (unsigned value = 0; value < 256; ++value) {
        unsigned reversed = 0;
        for (unsigned bit = 0; bit < 8; ++bit) {
            reversed |= ((value >> bit) & 1U) << (7 - bit);
        }
        table[value] = static_cast<std::uint8_t>(reversed);
    }
    return table;
}
constexpr std::array<std::uint8_t, 256> kReversed = make_reversed();

bool known_command(std::uint8_t op) {
    switch (op) {
        case kSetLow:
        case kGetLow:
        case kSetHigh:
        case kGetHigh:
        case kLoopbackOn:
        case kLoopbackOff:
        case kSetDivisor:
        case kSendImmediate:
        case kDivideBy5Off:
        case kDivideBy5On:
        case kThreePhaseOn:
        case kThreePhaseOff:
        case kAdaptiveOn:
        case kAdaptiveOff:
        case kWaitHigh:
        case kWaitLow:
        case kClockBits:
        case kClockBytes:
        case kClockUntilHigh:
        case kClockUntilLow:
        case kClockBytesUntilHigh:
        case kClockBytesUntilLow:
            return true;
        default:
            return false;
    }
}

// The commands of bit 7 set that move SK.
bool clocks_without_data(std::uint8_t op) {
    return op == kClockBits || op == kClockBytes || op == kClockUntilHigh || op == kClockUntilLow ||
           op == kClockBytesUntilHigh || op == kClockBytesUntilLow;
}

// Parameter bytes after the opcode (the data of a byte-mode write not included).
std::uint8_t parameter_count(std::uint8_t op) {
    if ((op & kNotClocking) == 0) {
        if ((op & kWriteTms) != 0) {
            return 2;  // Length, Data
        }
        if ((op & kBitMode) != 0) {
            return (op & kWriteDo) != 0 ? 2 : 1;  // Length (, Data)
        }
        return 2;  // LengthL, LengthH
    }
    switch (op) {
        case kSetLow:
        case kSetHigh:
        case kSetDivisor:
        case kClockBytes:
        case kClockBytesUntilHigh:
        case kClockBytesUntilLow:
            return 2;
        case kClockBits:
            return 1;
        default:
            return 0;
    }
}

std::uint8_t with_bit(std::uint8_t byte, std::uint8_t mask, bool set) {
    return static_cast<std::uint8_t>(set ? (byte | mask) : (byte & ~mask));
}

}  // namespace

void Ft2232hChannel::attach(SpiTarget* target) {
    target_ = target;
    select_high_ = true;
    last_q_ = true;
    update_select();
}

bool Ft2232hChannel::set_bit_mode(std::uint8_t mask, std::uint8_t mode) {
    (void)mask;  // pin directions of the bit-bang modes, which are not simulated
    switch (mode) {
        case 0x00:
        case 0x01:
        case 0x02:
        case 0x04:
        case 0x08:
        case 0x10:
        case 0x20:
        case 0x40:
            break;
        default:
            return false;
    }
    mode_ = mode;
    parse_ = Parse::kOpcode;
    data_left_ = 0;
    stalled_ = false;
    if (mode_ == kBitModeMpsse) {
        // MPSSE entry: power-on engine state, every pin an input.
        low_dir_ = 0;
        high_dir_ = 0;
        loopback_ = false;
        divide_by_5_ = true;
        three_phase_ = false;
        adaptive_ = false;
        divisor_ = 0;
    }
    update_select();
    return true;
}

void Ft2232hChannel::set_latency_ms(std::uint8_t ms) {
    latency_ms_ = ms;
}

void Ft2232hChannel::set_event_char(std::uint8_t value, bool enabled) {
    event_char_ = value;
    event_enabled_ = enabled;
}

void Ft2232hChannel::purge() {
    chip_bytes_.clear();
    chip_ready_.clear();
    chip_head_ = 0;
    flushes_.clear();
    flush_head_ = 0;
    drop_host_queue();
    parse_ = Parse::kOpcode;
    data_left_ = 0;
    stalled_ = false;
}

void Ft2232hChannel::receive(const std::uint8_t* data, std::size_t count,
                             std::uint64_t arrival_ns) {
    if (mode_ != kBitModeMpsse || count == 0) {
        return;
    }
    engine_t3_ = std::max(engine_t3_, arrival_ns * 3);
    board_clock_.now_ns = engine_t3_ / 3;
    execute(data, count);
}

std::uint64_t Ft2232hChannel::transfer_out(const std::uint8_t* data, std::size_t count,
                                           std::uint64_t start_ns) {
    const std::size_t packets = std::max<std::size_t>(1, (count + kPacketSize - 1) / kPacketSize);
    std::uint64_t at = start_ns;
    for (std::size_t p = 0; p < packets; ++p) {
        const std::size_t offset = p * kPacketSize;
        const std::size_t length = std::min(kPacketSize, count - offset);
        at = std::max(at, start_ns + (p / kPacketsPerMicroframe + 1) * kMicroframeNs);
        // The chip takes the packet once the bytes ahead of it leave room.
        if (mode_ == kBitModeMpsse && !stalled_ && taken_ + length > kTransmitBuffer) {
            std::uint64_t last_to_go = taken_ + length - kTransmitBuffer - 1;
            at = std::max(at, taken_ns_[last_to_go % kTransmitBuffer]);
        }
        receive(data + offset, length, at);
    }
    return at;
}

std::uint64_t Ft2232hChannel::bit_t3() const {
    std::uint64_t period = (1 + std::uint64_t{divisor_}) * 2 * (divide_by_5_ ? 5 : 1);
    std::uint64_t ticks = three_phase_ ? period * 3 / 2 : period;
    return ticks * kT3PerTick;
}

double Ft2232hChannel::sk_hz() const {
    std::uint64_t period = (1 + std::uint64_t{divisor_}) * 2 * (divide_by_5_ ? 5 : 1);
    return static_cast<double>(kBaseHz) / static_cast<double>(period);
}

void Ft2232hChannel::elapse_bits(std::uint64_t bits) {
    engine_t3_ += bits * bit_t3();
    board_clock_.now_ns = engine_t3_ / 3;
    counters_.sk_cycles += bits;
}

// --- the command processor -------------------------------------------------------

void Ft2232hChannel::execute(const std::uint8_t* data, std::size_t count) {
    std::size_t at = 0;
    while (at < count && !stalled_) {
        switch (parse_) {
            case Parse::kOpcode:
                ++counters_.command_bytes;
                take_byte();
                start_command(data[at++]);
                break;
            case Parse::kParams:
                ++counters_.command_bytes;
                take_byte();
                params_[have_++] = data[at++];
                if (have_ == need_) {
                    run_command();
                }
                break;
            case Parse::kData: {
                std::size_t run = std::min<std::size_t>(data_left_, count - at);
                counters_.command_bytes += run;
                stream_data(data + at, run);
                at += run;
                data_left_ -= static_cast<std::uint32_t>(run);
                if (data_left_ == 0) {
                    parse_ = Parse::kOpcode;
                }
                break;
            }
        }
    }
}

void Ft2232hChannel::take_byte() {
    taken_ns_[taken_ % kTransmitBuffer] = (engine_t3_ + 2) / 3;
    ++taken_;
}

void Ft2232hChannel::start_command(std::uint8_t op) {
    op_ = op;
    if (((op & kNotClocking) == 0 || clocks_without_data(op)) && adaptive_) {
        // The board does not return SK on GPIOL3: the first edge waits forever.
        stalled_ = true;
        return;
    }
    if ((op & kNotClocking) != 0 && !known_command(op)) {
        ++counters_.bad_commands;
        if (answer_bad_) {
            answer(kBadCommandReply);
            answer(op);
        }
        return;
    }
    have_ = 0;
    need_ = parameter_count(op);
    if (need_ == 0) {
        run_command();
    } else {
        parse_ = Parse::kParams;
    }
}

void Ft2232hChannel::run_command() {
    parse_ = Parse::kOpcode;
    if ((op_ & kNotClocking) == 0) {
        if ((op_ & (kWriteTms | kBitMode)) != 0) {
            bit_command();
            return;
        }
        std::uint32_t length = (params_[0] | (std::uint32_t{params_[1]} << 8)) + 1;
        if ((op_ & kWriteDo) != 0) {
            data_left_ = length;
            parse_ = Parse::kData;
        } else {
            clock_bytes_in(length);
        }
        return;
    }
    switch (op_) {
        case kSetLow:
            set_low(params_[0], params_[1]);
            break;
        case kGetLow:
            answer(read_low());
            break;
        case kSetHigh:
            high_value_ = params_[0];
            high_dir_ = params_[1];
            break;
        case kGetHigh:
            answer(read_high());
            break;
        case kLoopbackOn:
        case kLoopbackOff:
            loopback_ = op_ == kLoopbackOn;
            break;
        case kSetDivisor:
            divisor_ = static_cast<std::uint16_t>(params_[0] | (params_[1] << 8));
            break;
        case kSendImmediate:
            flushes_.push_back((engine_t3_ + 2) / 3);
            break;
        case kDivideBy5Off:
        case kDivideBy5On:
            divide_by_5_ = op_ == kDivideBy5On;
            break;
        case kThreePhaseOn:
        case kThreePhaseOff:
            three_phase_ = op_ == kThreePhaseOn;
            break;
        case kAdaptiveOn:
        case kAdaptiveOff:
            adaptive_ = op_ == kAdaptiveOn;
            break;
        case kClockBits:
            clock_idle((params_[0] & 7U) + 1U);
            break;
        case kClockBytes:
            clock_idle((params_[0] + (std::uint64_t{params_[1]} << 8) + 1) * 8);
            break;
        // Nothing on the board drives GPIOL1: it reads its pull-up (1), or
        // its own level when made an output. Waiting or clocking for a level
        // it does not have never ends.
        case kWaitHigh:
        case kClockUntilHigh:
            stalled_ = !gpiol1_high();
            break;
        case kWaitLow:
        case kClockUntilLow:
            stalled_ = gpiol1_high();
            break;
        case kClockBytesUntilHigh:
        case kClockBytesUntilLow:
            if (gpiol1_high() != (op_ == kClockBytesUntilHigh)) {
                clock_idle((params_[0] + (std::uint64_t{params_[1]} << 8) + 1) * 8);
            }
            break;
        default:
            break;
    }
}

bool Ft2232hChannel::gpiol1_high() const {
    return (read_low() & kPinGpiol1) != 0;
}

// SK cycles without data: DO holds its level, DI is not sampled. The chip
// only sees them while selected; otherwise they are just time.
void Ft2232hChannel::clock_idle(std::uint64_t bits) {
    if (target_ == nullptr || (low_dir_ & kPinSk) == 0 || select_high_) {
        elapse_bits(bits);
        return;
    }
    const std::uint8_t op = op_;
    op_ = 0;  // as a clocking command with neither data out nor in
    for (; bits >= 8; bits -= 8) {
        shift_byte(0);
    }
    if (bits != 0) {
        shift_bits(0, static_cast<int>(bits), 0, false, false);
    }
    op_ = op;
}

// Data bytes of a byte-mode write, as they arrive.
void Ft2232hChannel::stream_data(const std::uint8_t* data, std::size_t count) {
    const bool lsb = (op_ & kLsbFirst) != 0;
    const bool reads = (op_ & kReadDi) != 0;
    for (std::size_t i = 0; i < count; ++i) {
        take_byte();
        std::uint8_t in = shift_byte(lsb ? kReversed[data[i]] : data[i]);
        if (reads) {
            answer(lsb ? kReversed[in] : in);
        }
    }
}

// A byte-mode command without data out: DO holds its level.
void Ft2232hChannel::clock_bytes_in(std::uint32_t count) {
    const bool lsb = (op_ & kLsbFirst) != 0;
    const bool reads = (op_ & kReadDi) != 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint8_t in = shift_byte(0);
        if (reads) {
            answer(lsb ? kReversed[in] : in);
        }
    }
}

void Ft2232hChannel::bit_command() {
    const bool lsb = (op_ & kLsbFirst) != 0;
    int bits = (params_[0] & 7) + 1;
    std::uint8_t in = 0;
    if ((op_ & kWriteTms) != 0) {
        // Data bits 0..6 go to TMS/CS, LSB first; bit 7 is held on DO.
        bits = std::min(bits, 7);
        std::uint8_t hold = (params_[1] & 0x80) != 0 ? 0xFF : 0x00;
        in = shift_bits(hold, bits, params_[1], true, true);
    } else {
        std::uint8_t out = (op_ & kWriteDo) != 0 ? params_[1] : 0;
        std::uint8_t wire = lsb ? kReversed[out] : out;
        in = bits == 8 ? shift_byte(wire) : shift_bits(wire, bits, 0, (op_ & kWriteDo) != 0, false);
    }
    if ((op_ & kReadDi) != 0) {
        // MSB first: the first bit ends up at bit n-1, the last at 0.
        // LSB first: the first at bit 8-n, the last at 7.
        int spare = 8 - bits;
        answer(lsb ? static_cast<std::uint8_t>(kReversed[in] << spare)
                   : static_cast<std::uint8_t>(in >> spare));
    }
}

// Eight SK cycles; `out_wire` holds the DO bits in wire order from bit 7.
// Returns the sampled bits the same way.
std::uint8_t Ft2232hChannel::shift_byte(std::uint8_t out_wire) {
    const bool writes = (op_ & kWriteDo) != 0;
    const bool idle_low = (low_value_ & kPinSk) == 0;
    if (target_ == nullptr || (low_dir_ & kPinSk) == 0 || !idle_low || loopback_) {
        return shift_bits(out_wire, 8, 0, writes, false);
    }
    // SPI mode 0 with the target clocked: a read on either edge sees the Q of
    // the cycle; a rising-edge write reaches the target one bit late (the
    // target samples DO as it was before the edge).
    const bool do_level = (low_value_ & kPinDo) != 0;
    std::uint8_t wire = writes ? out_wire : (do_level ? 0xFF : 0x00);
    std::uint8_t d = wire;
    if ((op_ & kWriteOnFalling) == 0) {
        d = static_cast<std::uint8_t>((do_level ? 0x80 : 0x00) | (wire >> 1));
    }
    if ((low_dir_ & kPinDo) == 0) {
        d = 0xFF;  // DO not driven: the pull-up
    }
    std::uint8_t q = target_->clock_byte(d);
    last_q_ = (q & 1) != 0;
    if (writes) {
        low_value_ = with_bit(low_value_, kPinDo, (wire & 1) != 0);
    }
    elapse_bits(8);
    return q;
}

// The general case, one SK cycle at a time: any idle level, either edge,
// loop-back, TMS/CS writes, SK or DO not driven. Bit i of the command is
// `out_wire` bit 7-i and TMS bit i is `tms` bit i.
std::uint8_t Ft2232hChannel::shift_bits(std::uint8_t out_wire, int bits, std::uint8_t tms,
                                        bool write_do, bool write_tms) {
    const bool out_on_rise = (op_ & kWriteOnFalling) == 0;
    const bool read_on_fall = (op_ & kReadOnFalling) != 0;
    const bool idle_high = (low_value_ & kPinSk) != 0;  // SPI mode 3: falling edge first
    const bool clocked = target_ != nullptr && (low_dir_ & kPinSk) != 0;
    const bool do_driven = (low_dir_ & kPinDo) != 0;
    bool do_level = (low_value_ & kPinDo) != 0;
    bool tms_level = (low_value_ & kPinCs) != 0;
    std::uint8_t in = 0;
    for (int i = 0; i < bits; ++i) {
        const bool bit = write_do ? ((out_wire >> (7 - i)) & 1) != 0 : do_level;
        // DO as the rising edge sees it: a change on that same edge comes too late.
        const bool at_rise = out_on_rise ? do_level : bit;
        if (write_tms) {
            const bool t = ((tms >> i) & 1) != 0;
            if ((low_dir_ & kPinCs) != 0) {
                drive_select(out_on_rise ? tms_level : t);
            }
            tms_level = t;
        }
        const bool q_before = last_q_;
        bool q = last_q_;
        if (clocked) {
            q = target_->clock(do_driven ? at_rise : true);
            last_q_ = q;
        }
        bool sample = false;
        if (!read_on_fall) {
            sample = loopback_ ? at_rise : q;
        } else if (!idle_high) {
            sample = loopback_ ? bit : q;  // the falling edge after the rising one
        } else {
            sample = loopback_ ? do_level : q_before;  // the falling edge before the rising one
        }
        in = static_cast<std::uint8_t>((in << 1) | (sample ? 1 : 0));
        do_level = bit;
        elapse_bits(1);
    }
    if (write_do) {
        low_value_ = with_bit(low_value_, kPinDo, do_level);
    }
    if (write_tms) {
        low_value_ = with_bit(low_value_, kPinCs, tms_level);
        update_select();
    }
    return static_cast<std::uint8_t>(in << (8 - bits));
}

void Ft2232hChannel::set_low(std::uint8_t value, std::uint8_t direction) {
    low_value_ = value;
    low_dir_ = direction;
    update_select();
}

// S# follows ADBUS3 while the MPSSE drives it as an output; otherwise the
// line is pulled high and the chip is deselected.
void Ft2232hChannel::update_select() {
    bool driven = mode_ == kBitModeMpsse && (low_dir_ & kPinCs) != 0;
    drive_select(!driven || (low_value_ & kPinCs) != 0);
}

void Ft2232hChannel::drive_select(bool high) {
    if (high == select_high_) {
        return;
    }
    select_high_ = high;
    last_q_ = true;  // Q is high-impedance around an S# edge
    if (target_ != nullptr) {
        target_->set_select(high);
    }
}

std::uint8_t Ft2232hChannel::read_low() const {
    // Outputs read back their level; inputs float high (pull-ups) except DI,
    // which carries Q (or DO, looped back).
    std::uint8_t levels = static_cast<std::uint8_t>((low_value_ & low_dir_) | ~low_dir_);
    if ((low_dir_ & kPinDi) == 0) {
        bool di = loopback_ ? (low_value_ & kPinDo) != 0 : last_q_;
        levels = with_bit(levels, kPinDi, di);
    }
    return levels;
}

std::uint8_t Ft2232hChannel::read_high() const {
    return static_cast<std::uint8_t>((high_value_ & high_dir_) | ~high_dir_);
}

void Ft2232hChannel::answer(std::uint8_t byte) {
    std::uint64_t ready = (engine_t3_ + 2) / 3;
    chip_bytes_.push_back(byte);
    chip_ready_.push_back(ready);
    ++counters_.answer_bytes;
    if (event_enabled_ && byte == event_char_) {
        flushes_.push_back(ready);
    }
}

// --- the IN pipe -------------------------------------------------------------

// The chip sends a packet when a full one is queued, on send-immediate (or
// the event character), and whenever the latency timer runs out; every
// packet sent restarts the timer.
bool Ft2232hChannel::step(std::uint64_t limit, std::uint64_t* at_out) {
    const std::uint64_t period = std::uint64_t{latency_ms_} * kNsPerMs;
    const std::size_t pending = chip_bytes_.size() - chip_head_;
    const bool flush_pending = flush_head_ < flushes_.size();
    std::uint64_t at = last_send_ns_ + period;
    bool forced = false;
    if (pending >= kPacketPayload) {
        std::uint64_t full = std::max(chip_ready_[chip_head_ + kPacketPayload - 1], last_send_ns_);
        if (full <= at) {
            at = full;
            forced = true;
        }
    }
    if (flush_pending && flushes_[flush_head_] <= at) {
        at = std::max(flushes_[flush_head_], last_send_ns_);
        forced = true;
    }
    if (at > limit || (!forced && pending == 0 && !flush_pending && limit == kNever)) {
        return false;
    }
    if (!forced && (pending == 0 || chip_ready_[chip_head_] > at)) {
        // Status-only packets: skip every empty period up to the next byte.
        std::uint64_t until = limit;
        if (pending != 0) {
            until = std::min(until, chip_ready_[chip_head_]);
        }
        if (flush_pending) {
            until = std::min(until, flushes_[flush_head_]);
        }
        last_send_ns_ += std::max<std::uint64_t>(1, (until - last_send_ns_) / period) * period;
        *at_out = last_send_ns_;
        return true;
    }
    while (flush_head_ < flushes_.size() && flushes_[flush_head_] <= at) {
        ++flush_head_;
    }
    if (flush_head_ == flushes_.size()) {
        flushes_.clear();
        flush_head_ = 0;
    }
    send_packet(at);
    *at_out = at;
    return true;
}

void Ft2232hChannel::send_packet(std::uint64_t at) {
    std::size_t moved = 0;
    while (moved < kPacketPayload && chip_head_ < chip_bytes_.size() &&
           chip_ready_[chip_head_] <= at) {
        host_bytes_.push_back(chip_bytes_[chip_head_]);
        ++chip_head_;
        ++moved;
    }
    if (moved != 0) {
        ++counters_.in_packets;
    }
    if (chip_head_ == chip_bytes_.size()) {
        chip_bytes_.clear();
        chip_ready_.clear();
        chip_head_ = 0;
    } else if (chip_head_ >= 65536) {
        chip_bytes_.erase(chip_bytes_.begin(),
                          chip_bytes_.begin() + static_cast<std::ptrdiff_t>(chip_head_));
        chip_ready_.erase(chip_ready_.begin(),
                          chip_ready_.begin() + static_cast<std::ptrdiff_t>(chip_head_));
        chip_head_ = 0;
    }
    last_send_ns_ = std::max(last_send_ns_, at);
}

void Ft2232hChannel::advance_to(std::uint64_t t) {
    std::uint64_t at = 0;
    while (step(t, &at)) {
    }
}

std::size_t Ft2232hChannel::host_queued(std::uint64_t now_ns) {
    advance_to(now_ns);
    return host_bytes_.size() - host_head_;
}

std::uint64_t Ft2232hChannel::wait_for(std::size_t count, std::uint64_t from_ns,
                                       std::uint64_t limit_ns) {
    advance_to(from_ns);
    std::uint64_t reached = from_ns;
    while (host_bytes_.size() - host_head_ < count) {
        if (chip_head_ == chip_bytes_.size()) {
            // Nothing more can come.
            if (limit_ns == kNever) {
                return reached;
            }
            advance_to(limit_ns);
            return limit_ns;
        }
        std::uint64_t at = 0;
        if (!step(limit_ns, &at)) {
            return limit_ns;
        }
        reached = at;
    }
    return reached;
}

std::size_t Ft2232hChannel::take(std::uint8_t* into, std::size_t count) {
    std::size_t n = std::min(count, host_bytes_.size() - host_head_);
    if (n != 0) {
        std::memcpy(into, host_bytes_.data() + host_head_, n);
    }
    host_head_ += n;
    if (host_head_ == host_bytes_.size()) {
        host_bytes_.clear();
        host_head_ = 0;
    }
    return n;
}

void Ft2232hChannel::drop_host_queue() {
    host_bytes_.clear();
    host_head_ = 0;
}

}  // namespace sim
