// The chip's operations against the simulated board: reads that fail and the
// answers after them; what a page costs, from the part.
#include "nor/nor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "case_name.h"
#include "d2xx/d2xx.h"
#include "d2xx/d2xx_driver.h"
#include "forwarding_driver.h"
#include "simboard/sim_driver.h"

namespace {

// A simulated board with the chip open on it.
class Board {
  public:
    explicit Board(const std::string& options) {
        SimOptions parsed;
        std::string error;
        EXPECT_TRUE(parse_sim_options(options, parsed, error)) << error;
        driver_ = std::make_unique<SimDriver>(std::move(parsed));
        d2xx_bind(driver_.get());
        chip = std::make_unique<nor_chip>();
    }
    ~Board() { d2xx_bind(nullptr); }
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    int open() {
        FT_HANDLE handle = nullptr;
        std::uint32_t count = 0;
        FT_CreateDeviceInfoList(&count);
        if (FT_Open(1, &handle) != FT_OK) {
            return -1;
        }
        return nor_open(handle, 0, chip.get());
    }
    std::span<std::uint8_t> flash() { return driver_->board().flash; }

    std::unique_ptr<nor_chip> chip;

  private:
    std::unique_ptr<SimDriver> driver_;
};

struct ReadFaultCase {
    std::string name;
    std::string fault;
};

class NorReadFault : public testing::TestWithParam<ReadFaultCase> {};

// A read that fails or comes up short is redone after a resync; no later
// answer is shifted.
TEST_P(NorReadFault, FailsAndTheNextAnswerIsItsOwn) {
    Board board("timing=zero," + GetParam().fault);
    std::memset(board.flash().data(), 0xA5, board.flash().size());
    ASSERT_EQ(board.open(), LINK_OK);
    std::vector<std::uint8_t> data(3000);
    EXPECT_EQ(nor_read(board.chip.get(), 0, data.data(), 3000, nullptr), LINK_OK);
    EXPECT_EQ(std::count(data.begin(), data.end(), 0xA5), 3000);
    EXPECT_GE(board.chip->retries, 1u);
    std::uint8_t status = 0xEE;
    ASSERT_EQ(nor_read_status(board.chip.get(), &status), LINK_OK);
    EXPECT_EQ(status, 0x00);
    std::uint8_t id[3] = {};
    ASSERT_EQ(nor_read_id(board.chip.get(), id), LINK_OK);
    EXPECT_EQ(id[0], 0xC2);
    EXPECT_EQ(id[2], 0x15);
}

// Reads are counted over the whole run: set-up takes the first ones.
INSTANTIATE_TEST_SUITE_P(
    Faults, NorReadFault,
    testing::Values(ReadFaultCase{"Short", "id=c22015,fault=read-short@3"},
                    ReadFaultCase{"Failed", "id=c22015,fault=read-fail@3"},
                    // The first read of the drain fails as well.
                    ReadFaultCase{"FailedTwice", "id=c22015,fault=read-fail@3,fault=read-fail@4"}),
    case_name<ReadFaultCase>);

// --- the reads of identification and status --------------------------------------

enum class Glitch { kWriteFails, kWriteShort, kReadFails, kReadShort };
constexpr const char* kGlitchNames[] = {"write fails", "write short", "read fails", "read short"};

// The simulated board behind a driver that spoils one chosen transfer, as the
// board's own faults do: a write that fails delivers nothing, a short one all
// but its last byte; a read that fails takes nothing, a short one leaves its
// last byte queued.
class GlitchingDriver final : public ForwardingDriver {
  public:
    using ForwardingDriver::ForwardingDriver;

    // The `skip`+1th write (or read) from now goes wrong as `glitch` says.
    void arm(Glitch glitch, int skip) {
        glitch_ = glitch;
        countdown_ = skip + 1;
    }
    bool struck() const { return countdown_ == 0; }

    FT_STATUS write(FT_HANDLE handle, const std::uint8_t* data, std::uint32_t count,
                    std::uint32_t* written) override {
        if (!hits(Glitch::kWriteFails, Glitch::kWriteShort)) {
            return ForwardingDriver::write(handle, data, count, written);
        }
        if (glitch_ == Glitch::kWriteFails) {
            return FT_IO_ERROR;
        }
        return ForwardingDriver::write(handle, data, count - 1, written);
    }
    FT_STATUS read(FT_HANDLE handle, std::uint8_t* data, std::uint32_t count,
                   std::uint32_t* got) override {
        if (!hits(Glitch::kReadFails, Glitch::kReadShort)) {
            return ForwardingDriver::read(handle, data, count, got);
        }
        if (glitch_ == Glitch::kReadFails) {
            return FT_IO_ERROR;
        }
        return ForwardingDriver::read(handle, data, count - 1, got);
    }

  private:
    bool hits(Glitch fails, Glitch short_one) {
        return (glitch_ == fails || glitch_ == short_one) && countdown_ > 0 && --countdown_ == 0;
    }
    Glitch glitch_ = Glitch::kWriteFails;
    int countdown_ = 0;
};

// What a board's identification and status reads give.
struct Readings {
    int result = -1;
    nor_found found = NOR_FOUND_NONE;
    std::string part;
    std::uint16_t status = 0;
    std::string unique_id;  // hexadecimal
    std::uint32_t retries = 0;
    bool struck = false;
};

enum class Step { kIdentify, kStatus, kUniqueId };

// Opens a board, then identifies, reads the status word and the unique ID,
// `glitch` armed just before `step` (skipping `skip` transfers of its kind).
Readings read_board(const std::string& options, bool glitching, Step step, Glitch glitch,
                    int skip) {
    SimOptions parsed;
    std::string error;
    EXPECT_TRUE(parse_sim_options(options, parsed, error)) << error;
    SimDriver sim(std::move(parsed));
    GlitchingDriver driver(sim);
    d2xx_bind(&driver);
    auto chip = std::make_unique<nor_chip>();
    Readings out;
    FT_HANDLE handle = nullptr;
    std::uint32_t count = 0;
    FT_CreateDeviceInfoList(&count);
    if (FT_Open(1, &handle) != FT_OK || nor_open(handle, 0, chip.get()) != LINK_OK) {
        d2xx_bind(nullptr);
        return out;
    }
    auto arm = [&](Step now) {
        if (glitching && now == step) {
            driver.arm(glitch, skip);
        }
    };
    nor_identity identity{};
    arm(Step::kIdentify);
    out.result = nor_identify(chip.get(), &identity);
    out.found = identity.found;
    out.part = chip->part->name != nullptr ? chip->part->name : "";
    arm(Step::kStatus);
    out.result |= nor_read_status_word(chip.get(), &out.status);
    arm(Step::kUniqueId);
    std::uint8_t id[NOR_UNIQUE_ID_MAX] = {};
    std::uint32_t length = 0;
    out.result |= nor_read_unique_id(chip.get(), id, &length);
    for (std::uint32_t i = 0; i < length; ++i) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", id[i]);
        out.unique_id += hex;
    }
    out.retries = chip->retries;
    out.struck = driver.struck();
    link_close(chip.get());
    FT_Close(handle);
    d2xx_bind(nullptr);
    return out;
}

struct IdentifyCase {
    std::string name;
    std::string options;  // the board
    Step step;            // the glitch strikes in this step's transfers
    int skip;             // after this many of them
};

class NorReadsRiddenOut : public testing::TestWithParam<IdentifyCase> {};

// A failed or short transfer in identification (RDID, SFDP), the status
// word or the unique ID is redone after a resync: the readings are those of
// a clean run, with the retry counted.
TEST_P(NorReadsRiddenOut, GiveWhatACleanRunGives) {
    const IdentifyCase& c = GetParam();
    const Readings clean = read_board(c.options, false, c.step, Glitch::kWriteFails, 0);
    ASSERT_EQ(clean.result, LINK_OK);
    ASSERT_NE(clean.found, NOR_FOUND_NONE);
    for (Glitch glitch :
         {Glitch::kWriteFails, Glitch::kWriteShort, Glitch::kReadFails, Glitch::kReadShort}) {
        SCOPED_TRACE(kGlitchNames[static_cast<int>(glitch)]);
        const Readings got = read_board(c.options, true, c.step, glitch, c.skip);
        ASSERT_TRUE(got.struck);
        EXPECT_EQ(got.result, LINK_OK);
        EXPECT_EQ(got.found, clean.found);
        EXPECT_EQ(got.part, clean.part);
        EXPECT_EQ(got.status, clean.status);
        EXPECT_EQ(got.unique_id, clean.unique_id);
        EXPECT_EQ(got.retries, clean.retries + 1);
    }
}

constexpr const char kW25[] = "timing=zero,chip=w25q16jv,status=1c:02";
// An ID the table lacks: the part is taken from its SFDP.
constexpr const char kBySfdp[] = "timing=zero,chip=w25q16jv,id=aa4015";

INSTANTIATE_TEST_SUITE_P(
    Steps, NorReadsRiddenOut,
    testing::Values(IdentifyCase{"IdOfATablePart", "timing=zero", Step::kIdentify, 0},
                    IdentifyCase{"IdOfAnSfdpPart", kBySfdp, Step::kIdentify, 0},
                    IdentifyCase{"SfdpHeader", kBySfdp, Step::kIdentify, 1},
                    IdentifyCase{"SfdpTable", kBySfdp, Step::kIdentify, 2},
                    IdentifyCase{"StatusOfOneRegister", "timing=zero,status=9c", Step::kStatus, 0},
                    IdentifyCase{"StatusOfTwoRegisters", kW25, Step::kStatus, 0},
                    IdentifyCase{"UniqueId", kW25, Step::kUniqueId, 0}),
    case_name<IdentifyCase>);

// A page costs its part's typical program time and 2113 SPI clocks: WREN,
// RDSR and PP with 256 bytes, each behind three deselected clocks.
TEST(NorPageCost, ThePartsTimeAndTheClocks) {
    EXPECT_EQ(nor_page_clocks(256), 2113u);
    struct Case {
        std::uint32_t jedec_id;
        std::uint32_t clock_hz;
        std::uint64_t ns;
    };
    const Case cases[] = {
        {0x202015, 30000000, 640000 + 70433},   // M25P16
        {0xEF4015, 30000000, 400000 + 70433},   // W25Q16JV
        {0xEF4015, 1000000, 400000 + 2113000},  // hexburn's clock
    };
    for (const Case& c : cases) {
        const chip_part* part = chip_find(c.jedec_id);
        ASSERT_NE(part, nullptr);
        EXPECT_EQ(nor_page_ns(*part, c.clock_hz), c.ns) << part->name << " " << c.clock_hz;
    }
}

}  // namespace
