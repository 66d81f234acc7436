// What identification and a status write send to the chip, frame by frame:
// the reset before the ID, the registers read twice alike before they are
// written, both registers in one write (or 0x01 then 0x31), and nothing
// written where the layout is not known.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "case_name.h"
#include "d2xx/d2xx.h"
#include "forwarding_driver.h"
#include "mpsse/opcodes.h"
#include "mpsse/spi.h"
#include "nor/nor.h"
#include "simboard/sim_driver.h"

namespace {

// One SPI transaction: the bytes sent while S# was low, how many were read
// behind them, and the clocks S# was high before it (pauses included).
struct Frame {
    std::vector<std::uint8_t> out;
    std::uint32_t in = 0;
    std::uint64_t idle_clocks = 0;
};

// The frames of an MPSSE stream as the link writes it.
std::vector<Frame> spi_frames(const std::vector<std::uint8_t>& mpsse) {
    std::vector<Frame> frames;
    Frame frame;
    bool selected = false;
    std::uint64_t idle = 0;
    auto length = [&mpsse](std::size_t at) { return (mpsse[at] | mpsse[at + 1] << 8) + 1; };
    for (std::size_t at = 0; at < mpsse.size();) {
        const std::uint8_t op = mpsse[at++];
        if (op == MPSSE_SET_LOW_BYTE) {
            const bool low = (mpsse[at] & SPI_PINS_IDLE & ~SPI_PINS_SELECTED) == 0;
            if (low && !selected) {
                frame = Frame{};
                frame.idle_clocks = idle;
                idle = 0;
            } else if (!low && selected) {
                frames.push_back(frame);
            }
            selected = low;
            at += 2;
        } else if (op == MPSSE_BYTES_OUT_FALLING_MSB) {
            const auto count = static_cast<std::size_t>(length(at));
            frame.out.insert(frame.out.end(), mpsse.begin() + static_cast<long>(at + 2),
                             mpsse.begin() + static_cast<long>(at + 2 + count));
            at += 2 + count;
        } else if (op == MPSSE_BYTES_IN_RISING_MSB) {
            frame.in += static_cast<std::uint32_t>(length(at));
            at += 2;
        } else if (op == MPSSE_CLOCK_BYTES) {
            idle += 8ULL * static_cast<std::uint64_t>(length(at));
            at += 2;
        } else if (op == MPSSE_CLOCK_BITS) {
            idle += mpsse[at++] + 1U;
        } else if (op != MPSSE_SEND_IMMEDIATE) {
            ADD_FAILURE() << "unexpected MPSSE opcode " << int{op};
            break;
        }
    }
    return frames;
}

// Keeps what is written to the board while `recording`; and, as a line
// that loses bits would, XORs `flip` into the second byte of two-byte
// answers (both status registers of a two-register part) where `misread`
// has an 'x' for that read (from 0; reads past its end as its last read).
class Recorder final : public ForwardingDriver {
  public:
    using ForwardingDriver::ForwardingDriver;
    FT_STATUS write(FT_HANDLE handle, const std::uint8_t* data, std::uint32_t count,
                    std::uint32_t* written) override {
        if (recording) {
            sent.insert(sent.end(), data, data + count);
        }
        return ForwardingDriver::write(handle, data, count, written);
    }
    FT_STATUS read(FT_HANDLE handle, std::uint8_t* data, std::uint32_t count,
                   std::uint32_t* got) override {
        const FT_STATUS status = ForwardingDriver::read(handle, data, count, got);
        if (recording && flip != 0 && count == 2 && *got == 2) {
            const std::size_t n = std::min(word_reads++, misread.size() - 1);
            if (misread[n] == 'x') {
                data[1] = static_cast<std::uint8_t>(data[1] ^ flip);
            }
        }
        return status;
    }
    bool recording = false;
    std::vector<std::uint8_t> sent;
    std::uint8_t flip = 0;
    std::string misread;
    std::size_t word_reads = 0;
};

// A simulated board whose chip is opened, every write after that recorded.
class Board {
  public:
    explicit Board(const std::string& options) {
        std::string error;
        sim_ = make_sim_driver("timing=zero," + options, error);
        EXPECT_NE(sim_, nullptr) << error;
        recorder_ = std::make_unique<Recorder>(*sim_);
        d2xx_bind(recorder_.get());
        std::uint32_t count = 0;
        FT_CreateDeviceInfoList(&count);
        FT_HANDLE handle = nullptr;
        EXPECT_EQ(FT_Open(1, &handle), FT_OK);
        EXPECT_EQ(nor_open(handle, 0, &chip), LINK_OK);
        recorder_->recording = true;
    }
    ~Board() {
        link_close(&chip);
        FT_Close(chip.handle);
        d2xx_bind(nullptr);
    }
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    // Bits of register 2 lost on the line (see Recorder).
    void misread_register2(std::uint8_t flip, const std::string& misread) {
        recorder_->flip = flip;
        recorder_->misread = misread;
        recorder_->word_reads = 0;
    }

    // The frames sent since the last call.
    std::vector<Frame> frames() {
        std::vector<Frame> out = spi_frames(recorder_->sent);
        recorder_->sent.clear();
        return out;
    }

    nor_chip chip{};

  private:
    std::unique_ptr<D2xxDriver> sim_;
    std::unique_ptr<Recorder> recorder_;
};

using Bytes = std::vector<std::uint8_t>;

struct IdentifyCase {
    std::string name;
    std::string sim;
    const char* part;
    bool sfdp_asked;  // 0x5A frames follow the ID
    bool confirmed;   // and the die's SFDP was taken
};

class Identify : public testing::TestWithParam<IdentifyCase> {};

// Sixteen clocks of ones (a continuous-read mode ends), 0x66 0x99 and the
// reset time, RES and its wake-up time, then RDID and RDSR; SFDP only where
// some die under the ID has it.
TEST_P(Identify, ResetsThenWakesThenReadsTheId) {
    const IdentifyCase& c = GetParam();
    Board board(c.sim);
    nor_identity identity{};
    ASSERT_EQ(nor_identify(&board.chip, &identity), LINK_OK);
    EXPECT_EQ(identity.found, NOR_FOUND_TABLE);
    EXPECT_STREQ(board.chip.part->name, c.part);
    const std::vector<Frame> frames = board.frames();
    ASSERT_GE(frames.size(), 6U);
    const Bytes expected[] = {{0xFF, 0xFF}, {0x66}, {0x99}, {0xAB}, {0x9F}, {0x05}};
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(frames[i].out, expected[i]) << i;
    }
    EXPECT_EQ(frames[4].in, 3U);
    const std::uint64_t per_us = board.chip.clock_hz / 1000000;
    EXPECT_GE(frames[3].idle_clocks, CHIP_RESET_US * per_us);
    EXPECT_GE(frames[4].idle_clocks, CHIP_RES_WAKE_US * per_us);
    const bool sfdp = std::any_of(frames.begin(), frames.end(),
                                  [](const Frame& frame) { return frame.out[0] == CHIP_INS_SFDP; });
    EXPECT_EQ(sfdp, c.sfdp_asked);
    EXPECT_EQ(identity.sfdp_confirmed, c.confirmed);
}

INSTANTIATE_TEST_SUITE_P(
    Models, Identify,
    testing::Values(IdentifyCase{"M25p16", "chip=m25p16", "M25P16", false, false},
                    IdentifyCase{"W25q16jvAsleep", "chip=w25q16jv,asleep", "W25Q16JV", true, true},
                    IdentifyCase{"Gd25q16c", "chip=gd25q16c", "GD25Q16", true, true},
                    IdentifyCase{"Mx25l1605", "chip=mx25l1605", "MX25L1605 family", true, false},
                    IdentifyCase{"W25q16jvSfdpOff", "chip=w25q16jv,sfdp=off", "W25Q16JV", true,
                                 false}),
    case_name<IdentifyCase>);

struct StatusCase {
    std::string name;
    std::string sim;
    bool needs_wrsr2;           // the part's row made to take register 2 with 0x31
    std::vector<Bytes> writes;  // the 0x01 and 0x31 frames, in order
    std::uint16_t after;        // both registers afterwards
};

class StatusWrite : public testing::TestWithParam<StatusCase> {};

// Protecting the whole chip: both registers read twice alike first, then
// written in one 0x01 of two bytes (never one byte on a two-register part),
// or 0x01 and 0x31 where the part needs that; QE and LB stay as they were.
TEST_P(StatusWrite, ReadTwiceThenBothRegistersAtOnce) {
    const StatusCase& c = GetParam();
    Board board(c.sim);
    nor_identity identity{};
    ASSERT_EQ(nor_identify(&board.chip, &identity), LINK_OK);
    board.chip.own.status.needs_wrsr2 = c.needs_wrsr2;
    board.frames();
    std::uint16_t status = 0;
    ASSERT_EQ(nor_protect_all(&board.chip, false, &status), LINK_OK);
    EXPECT_EQ(status, c.after) << std::hex << status;
    std::vector<Bytes> writes;
    std::size_t first_write = 0;
    const std::vector<Frame> frames = board.frames();
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const std::uint8_t op = frames[i].out[0];
        if (op == CHIP_INS_WRSR || op == CHIP_INS_WRSR2) {
            first_write = writes.empty() ? i : first_write;
            writes.push_back(frames[i].out);
        }
    }
    EXPECT_EQ(writes, c.writes);
    // Before the first write: the registers read in two rounds alike.
    const bool two = board.chip.part->status.two_registers;
    const Bytes round = two ? Bytes{0x05, 0x35} : Bytes{0x05};
    std::vector<Bytes> reads;
    for (std::size_t i = 0; i < first_write; ++i) {
        if (frames[i].out[0] == CHIP_INS_RDSR || frames[i].out[0] == CHIP_INS_RDSR2) {
            reads.push_back(frames[i].out);
        }
    }
    ASSERT_GE(reads.size(), 2 * round.size());
    const std::size_t start = reads.size() - 2 * round.size();
    for (std::size_t i = start; i < reads.size(); ++i) {
        EXPECT_EQ(reads[i], Bytes{round[(i - start) % round.size()]}) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Parts, StatusWrite,
    testing::Values(
        StatusCase{
            "Gd25q16cQeKept", "chip=gd25q16c,status=00:02", false, {{0x01, 0x1C, 0x02}}, 0x021C},
        StatusCase{"Gd25q16cLbNeverWritten",
                   "chip=gd25q16c,status=00:06",
                   false,
                   {{0x01, 0x1C, 0x02}},
                   0x061C},
        StatusCase{
            "W25q16jvWithWrsr2", "chip=w25q16jv", true, {{0x01, 0x1C}, {0x31, 0x02}}, 0x021C},
        StatusCase{"M25p16OneRegister", "chip=m25p16", false, {{0x01, 0x1C}}, 0x001C},
        StatusCase{"Mx25l1605BpSixOnEveryDie", "chip=mx25l1605", false, {{0x01, 0x18}}, 0x0018}),
    case_name<StatusCase>);

// A part known only by its SFDP, or forced: nothing reaches the chip but reads.
TEST(StatusWrite, RefusedBeforeAnyWriteWhereTheLayoutIsNotKnown) {
    for (const char* sim : {"chip=w25q16jv,id=aa4015", "chip=m25p16,id=aa1515"}) {
        Board board(sim);
        nor_identity identity{};
        ASSERT_EQ(nor_identify(&board.chip, &identity), LINK_OK);
        if (identity.found == NOR_FOUND_UNKNOWN) {
            nor_force_part(&board.chip, identity.id);
        }
        board.frames();
        std::uint16_t status = 0;
        std::string why;
        EXPECT_EQ(nor_protect_all(&board.chip, true, &status, &why), NOR_REFUSED) << sim;
        EXPECT_NE(why.find("not known"), std::string::npos) << why;
        for (const Frame& frame : board.frames()) {
            EXPECT_TRUE(frame.out[0] == CHIP_INS_RDSR || frame.out[0] == CHIP_INS_RDSR2)
                << sim << ": " << int{frame.out[0]};
        }
    }
}

struct LineCase {
    std::string name;
    std::uint8_t flip;    // register 2's bits misread
    std::string misread;  // in which reads of both registers (see Recorder)
    int result;
    const char* said;  // a piece of the refusal ("": none)
    bool written;      // a 0x01 reached the chip
};

class StatusOnALine : public testing::TestWithParam<LineCase> {};

// A GD25Q16C with QE set, its register 2 misread: reads that never agree,
// a reserved bit or SUS read as 1 write nothing; a register that reads
// otherwise after the write than was meant fails, even outside BP.
TEST_P(StatusOnALine, NothingWrittenOnWhatCannotBeTrusted) {
    const LineCase& c = GetParam();
    Board board("chip=gd25q16c,status=00:02");
    nor_identity identity{};
    ASSERT_EQ(nor_identify(&board.chip, &identity), LINK_OK);
    board.frames();
    board.misread_register2(c.flip, c.misread);
    std::uint16_t status = 0;
    std::string why;
    EXPECT_EQ(nor_protect_all(&board.chip, false, &status, &why), c.result);
    EXPECT_NE(why.find(c.said), std::string::npos) << why;
    EXPECT_EQ(why.empty(), c.said[0] == '\0') << why;
    bool written = false;
    for (const Frame& frame : board.frames()) {
        written = written || frame.out[0] == CHIP_INS_WRSR || frame.out[0] == CHIP_INS_WRSR2;
    }
    EXPECT_EQ(written, c.written);
    // Read again past the line: QE as it was, LB never set.
    board.misread_register2(0, "");
    ASSERT_EQ(nor_read_status_word(&board.chip, &status), LINK_OK);
    EXPECT_EQ(status & 0x0600, 0x0200) << std::hex << status;
}

INSTANTIATE_TEST_SUITE_P(
    Gd25q16c, StatusOnALine,
    testing::Values(LineCase{"ClearLine", 0x00, ".", LINK_OK, "", true},
                    LineCase{"OneMisreadOutvoted", 0x02, "x.", LINK_OK, "", true},
                    LineCase{"QeFlickering", 0x02, "x.x.x.x.", NOR_REFUSED, "differently", false},
                    LineCase{"ReservedBitSet", 0x20, "x", NOR_REFUSED, "reserved", false},
                    LineCase{"SuspendedRead", 0x80, "x", NOR_REFUSED, "suspended", false},
                    LineCase{"QeLostAfterTheWrite", 0x02, "..x", LINK_ERR_MISMATCH, "", true},
                    LineCase{"CmpSetAfterTheWrite", 0x40, "..x", LINK_ERR_MISMATCH, "", true}),
    case_name<LineCase>);

// Each part's unique ID at its own length; none where the part has none.
TEST(UniqueId, EachPartAtItsOwnLength) {
    struct Case {
        const char* sim;
        std::uint32_t length;
    };
    for (const Case& c : {Case{"chip=w25q16jv", 8}, Case{"chip=gd25q16c", 16},
                          Case{"chip=mx25l1605", 0}, Case{"chip=m25p16", 0}}) {
        Board board(c.sim);
        nor_identity identity{};
        ASSERT_EQ(nor_identify(&board.chip, &identity), LINK_OK);
        std::uint8_t id[NOR_UNIQUE_ID_MAX + 1] = {};
        id[NOR_UNIQUE_ID_MAX] = 0xA5;
        std::uint32_t length = 99;
        ASSERT_EQ(nor_read_unique_id(&board.chip, id, &length), LINK_OK) << c.sim;
        EXPECT_EQ(length, c.length) << c.sim;
        EXPECT_EQ(id[NOR_UNIQUE_ID_MAX], 0xA5) << c.sim;
        // A real ID, not the ones an unanswered read gives.
        const bool ones = std::all_of(id, id + length, [](std::uint8_t b) { return b == 0xFF; });
        EXPECT_TRUE(length == 0 || !ones) << c.sim;
    }
}

}  // namespace
