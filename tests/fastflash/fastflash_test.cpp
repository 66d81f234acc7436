// The burn against the simulated board: the chip it leaves in each erase
// mode, a chip slower than the transport expects, a stop, a stuck chip, and
// the speed targets in virtual time.
#include "fastflash/fastflash.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "case_name.h"
#include "d2xx/d2xx.h"
#include "d2xx/d2xx_driver.h"
#include "simboard/sim_driver.h"

namespace {

constexpr std::uint32_t kSector = CHIP_SECTOR_SIZE;

// Bytes that differ from page to page and from one build to the next.
std::uint8_t pattern(std::uint32_t address, std::uint32_t build) {
    std::uint32_t x = (address + 1) * 2654435761U ^ (build * 40503U);
    return static_cast<std::uint8_t>(x >> 13);
}

// The image: `length` bytes of build `build` from 0 (length 0: none).
std::unique_ptr<image_map> make_image(std::uint32_t length, std::uint32_t build) {
    auto image = std::make_unique<image_map>();
    std::memset(image->bytes, 0xFF, sizeof image->bytes);
    std::memset(image->defined, 0, sizeof image->defined);
    for (std::uint32_t a = 0; a < length; ++a) {
        image->bytes[a] = pattern(a, build);
        image->defined[a >> 3] =
            static_cast<std::uint8_t>(image->defined[a >> 3] | (1U << (a & 7)));
    }
    image->data_records = length / 16;
    return image;
}

// A simulated board with the transport open on it.
class Board {
  public:
    explicit Board(const std::string& options) {
        SimOptions parsed;
        std::string error;
        EXPECT_TRUE(parse_sim_options(options, parsed, error)) << error;
        driver_ = std::make_unique<SimDriver>(std::move(parsed));
        EXPECT_TRUE(driver_->start_trace(error)) << error;
        d2xx_bind(driver_.get());
        link = std::make_unique<nor_chip>();
        plan = std::make_unique<plan_burn>();
    }
    ~Board() { d2xx_bind(nullptr); }
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    int open(std::uint32_t clock_hz = NOR_DEFAULT_CLOCK_HZ) {
        FT_HANDLE handle = nullptr;
        std::uint32_t count = 0;
        FT_CreateDeviceInfoList(&count);
        if (FT_Open(1, &handle) != FT_OK) {
            return -1;
        }
        return nor_open(handle, clock_hz, link.get());
    }
    std::span<std::uint8_t> flash() { return driver_->board().flash; }
    double seconds() const { return static_cast<double>(driver_->board().clock.now_ns) / 1e9; }
    const sim::ChipCounters& chip() const { return driver_->board().chip->counters(); }
    int burn(const image_map& image, plan_erase_mode erase, bool keep_rest = false) {
        plan_options options{erase, keep_rest};
        int result = fast_plan_burn(link.get(), &image, &options, plan.get(), &stats, nullptr);
        return result != LINK_OK ? result : fast_execute(link.get(), plan.get(), &stats, nullptr);
    }

    std::unique_ptr<nor_chip> link;
    std::unique_ptr<plan_burn> plan;
    fast_stats stats{};

  private:
    std::unique_ptr<SimDriver> driver_;
};

void fill_chip(Board& board, std::uint32_t length, std::uint32_t build) {
    for (std::uint32_t a = 0; a < CHIP_MAX_SIZE; ++a) {
        board.flash()[a] = a < length ? pattern(a, build) : 0xFF;
    }
}

// --- burns -----------------------------------------------------------------------

struct BurnCase {
    std::string name;
    std::string sim;
    plan_erase_mode erase;
    bool keep_rest;
    std::uint32_t image_length;  // of build 1
    std::uint32_t chip_length;   // of build `chip_build`, then 0xFF
    std::uint32_t chip_build;
    int result;
    std::int64_t first_difference;
};

class FastBurn : public testing::TestWithParam<BurnCase> {};

// The chip ends as hexburn leaves it: the image's bytes, 0xFF elsewhere (or,
// with keep_rest, the untouched sectors as they were).
TEST_P(FastBurn, LeavesTheChipAsHexburnWould) {
    const BurnCase& c = GetParam();
    Board board(c.sim);
    fill_chip(board, c.chip_length, c.chip_build);
    std::vector<std::uint8_t> before(board.flash().begin(), board.flash().end());
    auto image = make_image(c.image_length, 1);
    ASSERT_EQ(board.open(), LINK_OK);
    EXPECT_EQ(board.burn(*image, c.erase, c.keep_rest), c.result);
    EXPECT_EQ(board.stats.first_difference, c.first_difference);
    if (c.result != LINK_OK) {
        return;
    }
    for (std::uint32_t a = 0; a < CHIP_MAX_SIZE; ++a) {
        const bool kept = c.keep_rest && a >= (c.image_length + kSector - 1) / kSector * kSector;
        ASSERT_EQ(board.flash()[a], kept ? before[a] : image->bytes[a]) << std::hex << a;
    }
    // Each page that had to change was programmed once: lost ones never acted.
    EXPECT_EQ(board.chip().page_programs, board.stats.pages_programmed);
    ASSERT_EQ(fast_verify(board.link.get(), image.get(), &board.stats, nullptr),
              c.keep_rest && c.chip_length > c.image_length ? LINK_ERR_MISMATCH : LINK_OK);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, FastBurn,
    testing::Values(BurnCase{"AutoOverOtherData", "timing=typ", PLAN_ERASE_AUTO, false,
                             3 * kSector + 100, CHIP_MAX_SIZE, 2, LINK_OK, -1},
                    BurnCase{"AutoOverAnOlderBuild", "timing=typ", PLAN_ERASE_AUTO, false,
                             2 * kSector, 2 * kSector, 2, LINK_OK, -1},
                    BurnCase{"ChipErase", "timing=typ", PLAN_ERASE_CHIP, false, kSector + 7,
                             4 * kSector, 2, LINK_OK, -1},
                    BurnCase{"ChipEraseKeepsTheRest", "timing=zero", PLAN_ERASE_CHIP, true,
                             kSector + 7, 4 * kSector, 2, LINK_OK, -1},
                    BurnCase{"AutoKeepsTheRest", "timing=zero", PLAN_ERASE_AUTO, true, kSector,
                             4 * kSector, 2, LINK_OK, -1},
                    BurnCase{"NoneOnABlankChip", "timing=typ", PLAN_ERASE_NONE, false, 2 * kSector,
                             0, 0, LINK_OK, -1},
                    // Bits the image needs at 1 cannot be raised without an erase.
                    BurnCase{"NoneOverOtherDataFailsVerification", "timing=zero", PLAN_ERASE_NONE,
                             false, kSector, kSector, 2, LINK_ERR_MISMATCH, 0}),
    case_name<BurnCase>);

TEST(FastBurn, LostInstructionsAreSentAgain) {
    Board board("timing=typ");
    auto image = make_image(kSector, 1);
    ASSERT_EQ(board.open(), LINK_OK);
    board.link->program_ns = 100000;  // the chip needs 640 us: most WRENs come too early
    ASSERT_EQ(board.burn(*image, PLAN_ERASE_AUTO), LINK_OK);
    EXPECT_EQ(board.stats.pages_programmed, 256u);
    EXPECT_EQ(board.chip().page_programs, 256u);
    EXPECT_GE(board.link->program_ns, 640000u);  // measured again
    EXPECT_EQ(std::memcmp(board.flash().data(), image->bytes, CHIP_MAX_SIZE), 0);
}

// hexburn's 1 MHz and 10 kHz: smaller writes and reads, fewer status
// samples, the same chip.
TEST(FastBurn, SlowClocksEndTheSame) {
    for (std::uint32_t clock_hz : {1000000U, 10000U}) {
        Board board("timing=typ");
        auto image = make_image(1000, 1);
        ASSERT_EQ(board.open(clock_hz), LINK_OK);
        EXPECT_EQ(board.link->clock_hz, clock_hz);
        EXPECT_EQ(board.burn(*image, PLAN_ERASE_AUTO), LINK_OK);
        EXPECT_EQ(std::memcmp(board.flash().data(), image->bytes, CHIP_MAX_SIZE), 0);
    }
}

TEST(FastBurn, StopEndsBetweenWritesWithTheChipIdle) {
    Board board("timing=typ");
    auto image = make_image(kSector, 1);
    ASSERT_EQ(board.open(), LINK_OK);
    plan_options options{PLAN_ERASE_AUTO, false};
    ASSERT_EQ(fast_plan_burn(board.link.get(), image.get(), &options, board.plan.get(),
                             &board.stats, nullptr),
              LINK_OK);
    int asked = 0;
    const link_progress stop{nullptr, [](void* n) { return ++*static_cast<int*>(n) > 2; }, &asked};
    EXPECT_EQ(fast_execute(board.link.get(), board.plan.get(), &board.stats, &stop),
              LINK_ERR_INTERRUPTED);
    EXPECT_GT(board.stats.pages_programmed, 0u);
    EXPECT_LT(board.stats.pages_programmed, 256u);
    std::uint8_t status = 0xFF;
    ASSERT_EQ(nor_read_status(board.link.get(), &status), LINK_OK);
    EXPECT_EQ(status & CHIP_SR_WIP, 0);
}

TEST(FastBurn, StuckChipFailsWithinItsBound) {
    Board board("timing=typ,fault=stuck-busy@3");
    auto image = make_image(kSector, 1);
    ASSERT_EQ(board.open(), LINK_OK);
    const double start = board.seconds();
    EXPECT_EQ(board.burn(*image, PLAN_ERASE_AUTO), LINK_ERR_TRANSFER);
    EXPECT_LT(board.seconds() - start, 31.0);
}

// --- speed, in the simulated board's virtual time ---------------------------------

struct SpeedCase {
    std::string name;
    std::string sim;
    std::uint32_t image_length;  // build 1
    std::uint32_t chip_length;   // build chip_build, then 0xFF
    std::uint32_t chip_build;
    double target_s;
};

class FastSpeed : public testing::TestWithParam<SpeedCase> {};

TEST_P(FastSpeed, MeetsItsTarget) {
    const SpeedCase& c = GetParam();
    Board board(c.sim);
    fill_chip(board, c.chip_length, c.chip_build);
    auto image = make_image(c.image_length, 1);
    ASSERT_EQ(board.open(), LINK_OK);
    ASSERT_EQ(board.burn(*image, PLAN_ERASE_AUTO), LINK_OK);
    link_close(board.link.get());
    EXPECT_EQ(std::memcmp(board.flash().data(), image->bytes, CHIP_MAX_SIZE), 0);
    EXPECT_LE(board.seconds(), c.target_s);
    RecordProperty("virtual_seconds", std::to_string(board.seconds()));
}

INSTANTIATE_TEST_SUITE_P(
    Table, FastSpeed,
    testing::Values(
        SpeedCase{"FullImageOverOtherData", "timing=typ", CHIP_MAX_SIZE, CHIP_MAX_SIZE, 2, 22},
        SpeedCase{"FullImageOnABlankChip", "timing=typ", CHIP_MAX_SIZE, 0, 0, 8},
        SpeedCase{"FullImageAlreadyThere", "timing=typ", CHIP_MAX_SIZE, CHIP_MAX_SIZE, 1, 1},
        SpeedCase{"NewBuildOverAnOlderOne", "timing=typ", 4 * kSector, 4 * kSector, 2, 4},
        SpeedCase{"FullImageOverOtherDataSlowChip", "timing=max", CHIP_MAX_SIZE, CHIP_MAX_SIZE, 2,
                  90}),
    case_name<SpeedCase>);

}  // namespace
