// The simulated FT2232H channel against the MPSSE command set: each command
// checked on the pins (a probe records S# edges and the DO level at every
// rising SK edge, and plays back scripted Q bits) and in the answer queue.
#include "sim/ft2232h.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "case_name.h"
#include "sim/spi_nor.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using sim::Ft2232hChannel;

constexpr std::uint64_t kMs = 1'000'000;

// Records the wire as text: 'v' S# falls, '^' S# rises, '0'/'1' D at a rising
// edge. Q comes from `q` one bit per clock, then 1 (high impedance).
class Probe final : public sim::SpiTarget {
  public:
    std::string wire;
    std::string q;

    void set_select(bool high) override { wire += high ? '^' : 'v'; }
    bool clock(bool d) override {
        wire += d ? '1' : '0';
        if (next_ < q.size()) {
            return q[next_++] == '1';
        }
        return true;
    }
    std::uint8_t clock_byte(std::uint8_t d) override {
        std::uint8_t out = 0;
        for (int bit = 7; bit >= 0; --bit) {
            out = static_cast<std::uint8_t>((out << 1) | (clock(((d >> bit) & 1) != 0) ? 1 : 0));
        }
        return out;
    }

  private:
    std::size_t next_ = 0;
};

struct Rig {
    Probe probe;
    Ft2232hChannel channel;
    std::uint64_t now = 0;

    Rig() {
        channel.attach(&probe);
        channel.set_bit_mode(0, sim::kBitModeMpsse);
    }
    void send(const Bytes& bytes) { channel.receive(bytes.data(), bytes.size(), now); }
    // Everything the engine will ever answer.
    Bytes answers() {
        now = channel.wait_for(SIZE_MAX, now, sim::kNever);
        Bytes out(channel.host_queued(now));
        channel.take(out.data(), out.size());
        return out;
    }
};

TEST(Ft2232hBadCommands, EveryUnknownByteWithBit7IsAnsweredWithFaAndItself) {
    const Bytes known = {0x80, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8A,
                         0x8B, 0x8C, 0x8D, 0x8E, 0x8F, 0x94, 0x95, 0x96, 0x97, 0x9C, 0x9D};
    for (int op = 0x80; op <= 0xFF; ++op) {
        bool is_known = false;
        for (std::uint8_t k : known) {
            is_known = is_known || k == op;
        }
        if (is_known) {
            continue;
        }
        Rig rig;
        rig.send({static_cast<std::uint8_t>(op), 0x81});
        Bytes answer = rig.answers();
        // The reply, then parsing resumes: 0x81 answers the pin byte.
        ASSERT_EQ(answer.size(), 3u) << std::hex << op;
        EXPECT_EQ(answer[0], 0xFA) << std::hex << op;
        EXPECT_EQ(answer[1], op) << std::hex << op;
    }  // Bit-7-clear bytes are clocking commands, documented or not.
    Rig rig;
    rig.send({0x00, 0x00, 0x00, 0x50, 0x00, 0x00});
    EXPECT_TRUE(rig.answers().empty());
}

// Bytes from hexadecimal text.
Bytes hex(const std::string& text) {
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

struct ClockCase {
    std::string name;
    std::string setup;    // pin set-up before the command (hex)
    std::string command;  // the clocking command (hex)
    std::string q;        // Q bits the probe plays back
    std::string wire;
    std::string answer;  // hex
};

class Ft2232hClocking : public testing::TestWithParam<ClockCase> {};

TEST_P(Ft2232hClocking, DrivesTheWireAndAnswers) {
    const ClockCase& c = GetParam();
    Rig rig;
    rig.probe.q = c.q;
    rig.send(hex(c.setup));
    rig.send(hex(c.command));
    EXPECT_EQ(rig.probe.wire, c.wire);
    EXPECT_EQ(rig.answers(), hex(c.answer));
}

// "80000b": SK idle low, DO low, CS low (SPI mode 0, selected).
INSTANTIATE_TEST_SUITE_P(
    Forms, Ft2232hClocking,
    testing::Values(
        // Byte mode: LengthL LengthH = count - 1.
        ClockCase{"BytesOutFallingMsb", "80000b", "110100a50f", "", "v1010010100001111", ""},
        ClockCase{"BytesOutFallingLsb", "80000b", "19000001", "", "v10000000", ""},
        // Out on the rising edge in mode 0: the chip sees each bit one edge late.
        ClockCase{"BytesOutRisingMsbIsLateInMode0", "80000b", "100000a5", "", "v01010010", ""},
        // Bit mode: Length = bits - 1.
        ClockCase{"BitsOutFallingMsb", "80000b", "1302a0", "", "v101", ""},
        ClockCase{"BitsOutRisingLsb", "80000b", "1a0103", "", "v01", ""},
        // Reading, DO holds its level.
        ClockCase{"BytesInRisingMsb", "80000b", "200100", "1100101011110000", "v0000000000000000",
                  "caf0"},
        ClockCase{"BytesInFallingLsb", "80020b", "2c0000", "11000000", "v11111111", "03"},
        // Bit mode in: MSB first lands in bits n-1..0, LSB first in 8-n..7.
        ClockCase{"BitsInRisingMsb", "80000b", "2202", "101", "v000", "05"},
        ClockCase{"BitsInRisingLsb", "80000b", "2a02", "110", "v000", "60"},
        ClockCase{"BytesOutFallingInRising", "80000b", "310000f0", "00001111", "v11110000", "0f"},
        ClockCase{"BytesOutRisingInFalling", "80000b", "340000f0", "00001111", "v01111000", "0f"},
        ClockCase{"BitsBothLsb", "80000b", "3b0102", "11", "v01", "c0"},
        // TMS/CS from the data byte, LSB first; bit 7 held on DO.
        ClockCase{"TmsOutFallingDrivesSelectPerBit", "80080b", "4b0283", "", "11v1", ""},
        ClockCase{"TmsOutRisingReachesTheChipAnEdgeLate", "80080b", "4a0203", "", "000v", ""},
        ClockCase{"TmsWithRead", "80080b", "6b0100", "10", "v00", "40"},
        // SPI mode 3 (SK idles high): the falling edge comes first, so a
        // falling-edge read sees the bit before.
        ClockCase{"Mode3FallingReadIsOneBitBehind", "80010b", "240000", "10110000", "v00000000",
                  "d8"},
        // Pins the MPSSE does not drive: no clock; S# pulled high.
        ClockCase{"SkNotAnOutputClocksNothing", "80000a", "110000ff", "", "v", ""},
        ClockCase{"SelectNotAnOutputStaysHigh", "800003", "11000000", "", "00000000", ""}),
    case_name<ClockCase>);

TEST(Ft2232hClocking, LengthFieldCountsFrom1Upto65536) {
    struct Length {
        std::uint8_t low;
        std::uint8_t high;
        std::uint64_t bytes;
    };
    for (Length length : {Length{0x00, 0x00, 1}, Length{0xFF, 0x00, 256}, Length{0x03, 0x01, 260},
                          Length{0xFF, 0xFF, 65536}}) {
        Rig rig;
        rig.send({0x80, 0x00, 0x0B, 0x20, length.low, length.high});
        EXPECT_EQ(rig.channel.counters().sk_cycles, length.bytes * 8);
        EXPECT_EQ(rig.answers().size(), length.bytes);
    }
}

TEST(Ft2232hParser, CommandsSpanWrites) {
    Rig rig;
    rig.send({0x80});
    rig.send({0x00});
    EXPECT_EQ(rig.probe.wire, "");
    rig.send({0x0B, 0x11, 0x02});
    rig.send({0x00, 0xFF});
    EXPECT_EQ(rig.probe.wire, "v11111111");
    rig.send({0x00, 0xAA, 0x87});
    EXPECT_EQ(rig.probe.wire, "v111111110000000010101010");
    EXPECT_TRUE(rig.answers().empty());  // 0xAA was data, 0x87 a command
}

TEST(Ft2232hParser, ResetModeDropsBytesAndMpsseEntryRestartsTheParser) {
    Rig rig;
    rig.channel.set_bit_mode(0, sim::kBitModeReset);
    rig.send({0xAA});
    EXPECT_TRUE(rig.answers().empty());
    rig.channel.set_bit_mode(0, sim::kBitModeMpsse);
    rig.send({0x80, 0x00});  // half a command, then re-entry
    rig.channel.set_bit_mode(0, sim::kBitModeMpsse);
    rig.send({0xAB});
    EXPECT_EQ(rig.answers(), (Bytes{0xFA, 0xAB}));
}

TEST(Ft2232hLoopback, RoutesDoToDiAndBack) {
    Rig rig;
    rig.probe.q = std::string(24, '0');
    rig.send({0x80, 0x00, 0x0B, 0x84, 0x31, 0x00, 0x00, 0xA5, 0x34, 0x00, 0x00, 0x3C});
    EXPECT_EQ(rig.answers(), (Bytes{0xA5, 0x3C}));
    EXPECT_EQ(rig.probe.wire,
              "v10100101"
              "10011110");  // the chip still sees DO
    rig.send({0x85, 0x31, 0x00, 0x00, 0xFF});
    EXPECT_EQ(rig.answers(), (Bytes{0x00}));
}

TEST(Ft2232hPins, SelectFollowsAdbus3OnlyWhileItIsAnOutput) {
    Rig rig;
    rig.send(
        {0x80, 0x00, 0x0B, 0x80, 0x00, 0x0B, 0x80, 0x08, 0x0B, 0x80, 0x00, 0x03, 0x80, 0x00, 0x0B});
    EXPECT_EQ(rig.probe.wire, "v^v");
    rig.channel.set_bit_mode(0, sim::kBitModeReset);  // pins released: S# pulled high
    EXPECT_EQ(rig.probe.wire, "v^v^");
    EXPECT_TRUE(rig.channel.select_high());
}

struct PinCase {
    std::string name;
    Bytes commands;
    std::string q;
    Bytes answer;
};

class Ft2232hPinRead : public testing::TestWithParam<PinCase> {};

TEST_P(Ft2232hPinRead, Answers) {
    const PinCase& c = GetParam();
    Rig rig;
    rig.probe.q = c.q;
    rig.send(c.commands);
    EXPECT_EQ(rig.answers(), c.answer);
}

INSTANTIATE_TEST_SUITE_P(
    Pins, Ft2232hPinRead,
    testing::Values(
        // Outputs read their level, inputs the pull-up; DI is Q (1 when released).
        PinCase{"LowAfterSetUp", {0x80, 0x88, 0x8B, 0x81}, "", {0xFC}},
        PinCase{"DiCarriesQ", {0x80, 0x00, 0x0B, 0x20, 0x00, 0x00, 0x81}, "00000000", {0x00, 0xF0}},
        PinCase{"DiLoopedBackFromDo", {0x80, 0x02, 0x0B, 0x84, 0x81}, "", {0xF6}},
        PinCase{"High", {0x82, 0x05, 0x0F, 0x83}, "", {0xF5}}),
    case_name<PinCase>);

struct ClockRateCase {
    std::string name;
    Bytes setup;
    double sk_hz;
    std::uint64_t byte_ns;  // time to clock one byte
};

class Ft2232hClockRate : public testing::TestWithParam<ClockRateCase> {};

TEST_P(Ft2232hClockRate, FromDivisorAndBase) {
    const ClockRateCase& c = GetParam();
    Rig rig;
    rig.now = 1 * kMs;
    rig.send(c.setup);
    EXPECT_DOUBLE_EQ(rig.channel.sk_hz(), c.sk_hz);
    std::uint64_t before = rig.channel.engine_done_ns();
    rig.send({0x11, 0x00, 0x00, 0x00});
    EXPECT_EQ(rig.channel.engine_done_ns() - before, c.byte_ns);
}

INSTANTIATE_TEST_SUITE_P(
    Rates, Ft2232hClockRate,
    testing::Values(
        ClockRateCase{"PowerOnDivideBy5", {0x80, 0x08, 0x0B}, 6e6, 1333},
        ClockRateCase{"Divisor29At60MHz", {0x8A, 0x86, 0x1D, 0x00, 0x80, 0x08, 0x0B}, 1e6, 8000},
        ClockRateCase{"Divisor29At12MHz", {0x8B, 0x86, 0x1D, 0x00, 0x80, 0x08, 0x0B}, 2e5, 40000},
        ClockRateCase{"ThreePhaseTakesHalfAgainAsLong",
                      {0x8A, 0x8C, 0x86, 0x1D, 0x00, 0x80, 0x08, 0x0B},
                      1e6,
                      12000}),
    case_name<ClockRateCase>);

// Answers reach the host when the latency timer (restarted by every packet)
// runs out, at once on 0x87 or when a full packet of 510 bytes is queued.
TEST(Ft2232hLatency, ShortAnswerWaitsForTheTimer) {
    Rig rig;
    rig.channel.set_latency_ms(1);
    rig.now = 5 * kMs + kMs / 2;
    rig.send({0x81});
    EXPECT_EQ(rig.channel.host_queued(6 * kMs - 1), 0u);
    EXPECT_EQ(rig.channel.host_queued(6 * kMs), 1u);
}

TEST(Ft2232hLatency, SendImmediatePushesAtOnce) {
    Rig rig;
    rig.now = 3 * kMs + 10;
    rig.send({0x81, 0x87});
    EXPECT_EQ(rig.channel.host_queued(3 * kMs + 10), 1u);
}

TEST(Ft2232hLatency, FullPacketGoesAtOnceAndTheRestWaits) {
    Rig rig;
    rig.channel.set_latency_ms(255);
    rig.send({0x8A, 0x86, 0x1D, 0x00, 0x80, 0x00, 0x0B});
    rig.now = 1 * kMs;
    rig.send({0x20, 0xFE, 0x01});  // 511 bytes at 1 MHz, one every 8 us
    std::uint64_t full = 1 * kMs + 510 * 8000;
    EXPECT_EQ(rig.channel.host_queued(full - 1), 0u);
    EXPECT_EQ(rig.channel.host_queued(full), 510u);
    // The packet restarted the timer.
    EXPECT_EQ(rig.channel.host_queued(full + 255 * kMs - 1), 510u);
    EXPECT_EQ(rig.channel.host_queued(full + 255 * kMs), 511u);
}

TEST(Ft2232hWait, StopsAtTheCountTheLimitOrWhenNothingIsPending) {
    Rig rig;
    rig.channel.set_latency_ms(1);
    rig.now = kMs / 2;
    rig.send({0x81, 0x81});
    EXPECT_EQ(rig.channel.wait_for(1, kMs / 2, sim::kNever), 1 * kMs);
    EXPECT_EQ(rig.channel.wait_for(3, 1 * kMs, 10 * kMs), 10 * kMs);
    EXPECT_EQ(rig.channel.wait_for(3, 10 * kMs, sim::kNever), 10 * kMs);
    Bytes got(3);
    EXPECT_EQ(rig.channel.take(got.data(), 3), 2u);
}

TEST(Ft2232hWait, PurgeDropsBothQueuesAndAHalfCommand) {
    Rig rig;
    rig.send({0x81, 0x81});
    EXPECT_EQ(rig.channel.wait_for(1, 0, sim::kNever), 16 * kMs);
    rig.send({0x81, 0x80, 0x00});
    rig.channel.purge();
    EXPECT_EQ(rig.channel.host_queued(100 * kMs), 0u);
    rig.send({0xAA});
    EXPECT_EQ(rig.answers(), (Bytes{0xFA, 0xAA}));
}

TEST(Ft2232hAdaptive, ClockingWaitsForeverForRtckUntilPurged) {
    Rig rig;
    rig.send({0x80, 0x00, 0x0B, 0x96, 0x11, 0x00, 0x00, 0xFF, 0x81});
    EXPECT_TRUE(rig.channel.stalled());
    EXPECT_EQ(rig.probe.wire, "v");
    EXPECT_TRUE(rig.answers().empty());
    rig.channel.purge();
    rig.send({0x97, 0x11, 0x00, 0x00, 0xFF});
    EXPECT_EQ(rig.probe.wire, "v11111111");
}

// Clocks without data and the GPIOL1 waits. GPIOL1 (ADBUS5) reads its
// pull-up, 1, unless made an output; a wait for a level it does not have
// never ends.
struct IdleCase {
    std::string name;
    std::string setup;    // hex
    std::string command;  // hex
    std::uint64_t clocks;
    std::string wire;
    bool stalled;
};

class Ft2232hIdleClocks : public testing::TestWithParam<IdleCase> {};

TEST_P(Ft2232hIdleClocks, ClockWithoutDataOrWait) {
    const IdleCase& c = GetParam();
    Rig rig;
    rig.send(hex(c.setup));
    rig.send(hex(c.command + "81"));
    EXPECT_EQ(rig.channel.counters().sk_cycles, c.clocks);
    EXPECT_EQ(rig.probe.wire, c.wire);
    EXPECT_EQ(rig.channel.stalled(), c.stalled);
    EXPECT_EQ(rig.answers().size(), c.stalled ? 0u : 1u);  // the pin read behind it
}

INSTANTIATE_TEST_SUITE_P(
    Commands, Ft2232hIdleClocks,
    testing::Values(IdleCase{"BitsDeselectedAreOnlyTime", "80080b", "8e02", 3, "", false},
                    IdleCase{"BitsSelectedReachTheChip", "80020b", "8e02", 3, "v111", false},
                    IdleCase{"Bytes", "80000b", "8f0100", 16, "v0000000000000000", false},
                    IdleCase{"UpToBytesUntilHighStopsAtOnce", "80000b", "9c0000", 0, "v", false},
                    IdleCase{"UpToBytesUntilLowClocksThemAll", "80000b", "9d0000", 8, "v00000000",
                             false},
                    IdleCase{"UntilLowDrivenLowStopsAtOnce", "80002b", "9d0000", 0, "v", false},
                    IdleCase{"WaitHighPasses", "80080b", "88", 0, "", false},
                    IdleCase{"WaitLowNeverEnds", "80080b", "89", 0, "", true},
                    IdleCase{"WaitLowDrivenLowPasses", "80082b", "89", 0, "", false},
                    IdleCase{"ClockUntilHighPasses", "80080b", "94", 0, "", false},
                    IdleCase{"ClockUntilLowNeverEnds", "80080b", "95", 0, "", true}),
    case_name<IdleCase>);

TEST(Ft2232hIdleClocks, TakeTheirTimeFromTheDivisor) {
    Rig rig;
    rig.send({0x8A, 0x86, 0x00, 0x00, 0x80, 0x08, 0x0B});  // 30 MHz
    const std::uint64_t before = rig.channel.engine_done_ns();
    rig.send({0x8F, 0xFF, 0xFF});
    EXPECT_EQ(rig.channel.engine_done_ns() - before, 17476266u);  // 524,288 / 30 MHz
}

// A USB write: 512-byte packets, eight per microframe, each taken when the
// 4 KiB buffer has room behind what the engine is still busy with.
TEST(Ft2232hUsbOut, PacketsWaitForRoomInTheBuffer) {
    Rig rig;
    rig.send({0x8A, 0x86, 0x00, 0x00, 0x80, 0x08, 0x0B});
    Bytes small(4096, 0x85);
    EXPECT_EQ(rig.channel.transfer_out(small.data(), small.size(), 0), 125000u);
    small.push_back(0x85);
    EXPECT_EQ(rig.channel.transfer_out(small.data(), small.size(), 1 * kMs), 1 * kMs + 250000);
    // 17.5 ms of clocks, then more than the buffer holds: the packets past
    // the first eight go in once the clocking is over.
    Bytes big = {0x8F, 0xFF, 0xFF};
    big.resize(5003, 0x85);
    EXPECT_EQ(rig.channel.transfer_out(big.data(), big.size(), 2 * kMs),
              2 * kMs + 125000 + 17476267);
}

// With the real chip model on the pins: identification, and busy time
// running on the engine's clock.
TEST(Ft2232hWithChip, ReadsTheIdAndSeesThePageProgramEnd) {
    std::vector<std::uint8_t> memory(sim::SpiNor::kSize, 0xFF);
    Ft2232hChannel channel;
    sim::SpiNor chip(memory.data(), channel.board_clock(), sim::ChipTiming::typical());
    sim::ChipOnPins pins(chip);
    channel.attach(&pins);
    channel.set_bit_mode(0, sim::kBitModeMpsse);
    auto send = [&](const Bytes& bytes, std::uint64_t at) {
        channel.receive(bytes.data(), bytes.size(), at);
    };
    send({0x8A, 0x97, 0x8D, 0x80, 0x88, 0x8B, 0x86, 0x1D, 0x00, 0x85}, 0);
    send({0x80, 0x80, 0x8B, 0x13, 0x07, 0x9F, 0x24, 0x02, 0x00, 0x80, 0x88, 0x8B, 0x87}, kMs);
    // WREN, then PP of one byte, then RDSR at once and again 1 ms later.
    send({0x80, 0x80, 0x8B, 0x13, 0x07, 0x06, 0x80, 0x88, 0x8B}, 2 * kMs);
    send({0x80, 0x80, 0x8B, 0x11, 0x04, 0x00, 0x02, 0x00, 0x01, 0x00, 0x5A, 0x80, 0x88, 0x8B},
         2 * kMs);
    const Bytes rdsr = {0x80, 0x80, 0x8B, 0x13, 0x07, 0x05, 0x26, 0x07, 0x80, 0x88, 0x8B, 0x87};
    send(rdsr, 2 * kMs);
    send(rdsr, 3 * kMs);
    std::uint64_t now = channel.wait_for(5, 0, sim::kNever);
    Bytes got(5);
    ASSERT_EQ(channel.take(got.data(), 5), 5u);
    EXPECT_EQ(got, (Bytes{0x20, 0x20, 0x15, 0x03, 0x00}));
    EXPECT_EQ(now, 3 * kMs + 16000);  // the last RDSR: 16 bits at 1 MHz
    EXPECT_EQ(memory[0x100], 0x5A);
    EXPECT_EQ(chip.counters().transactions, 5u);
}

}  // namespace
