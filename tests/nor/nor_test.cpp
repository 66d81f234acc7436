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
