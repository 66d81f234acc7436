// The flash driver against the simulated board: what the chip makes of the
// driver's transactions, rather than the bytes on the wire.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "flash/flash.h"
#include "d2xx/d2xx.h"
#include "mpsse/mpsse.h"
#include "scripted_driver.h"
#include "simboard/sim_driver.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kWel = 0x02;

// A simulated board, opened at its interface B and set up as the run does.
class SimFlash : public testing::Test {
  protected:
    void open(const std::string& options, bool set_up = true) {
        SimOptions parsed;
        std::string error;
        ASSERT_TRUE(parse_sim_options(options, parsed, error)) << error;
        driver_ = std::make_unique<SimDriver>(std::move(parsed));
        d2xx_bind(driver_.get());
        std::uint32_t count = 0;
        ASSERT_EQ(FT_CreateDeviceInfoList(&count), FT_OK);
        ASSERT_EQ(FT_Open(1, &handle_), FT_OK);
        if (set_up) {
            ConsoleCapture quiet;
            ASSERT_EQ(mpsse_init(handle_), FT_OK) << quiet.text();
        }
    }
    void TearDown() override {
        if (handle_ != nullptr) {
            FT_Close(handle_);
        }
        d2xx_bind(nullptr);
    }
    std::uint32_t status() {
        std::uint32_t value = 0xFFFF;
        flash_read_status_params block = {&value};
        EXPECT_EQ(flash_control(flash_request{handle_, FLASH_OP_READ_STATUS, &block}), FLASH_OK);
        return value;
    }
    std::uint8_t* array() { return driver_->board().flash.data(); }

    std::unique_ptr<SimDriver> driver_;
    FT_HANDLE handle_ = nullptr;
};

TEST_F(SimFlash, IdentifiesTheChip) {
    open("timing=zero");
    std::uint32_t maker = 0, device = 0, status = 0xFF;
    ASSERT_EQ(flash_read_id(handle_, &maker, &device, &status), FLASH_OK);
    EXPECT_EQ(maker, 0x20u);
    EXPECT_EQ(device, 0x2015u);
    EXPECT_EQ(status, 0u);
}

TEST_F(SimFlash, ProgramsAndReadsBackAcrossPageBoundaries) {
    open("timing=typ");
    ConsoleCapture console;
    ASSERT_EQ(flash_chip_erase(handle_), FLASH_OK);

    Bytes data(600);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    const std::uint32_t at = 0x1F0F0;  // 16 bytes, two whole pages, the rest
    ASSERT_EQ(flash_program(handle_, data.data(), at, 600), FLASH_OK);
    Bytes back(600, 0);
    ASSERT_EQ(flash_read(handle_, back.data(), at, 600), FLASH_OK);
    EXPECT_EQ(back, data);
    EXPECT_EQ(Bytes(array() + at, array() + at + 600), data);
    EXPECT_EQ(array()[at - 1], 0xFF);
    EXPECT_EQ(array()[at + 600], 0xFF);
    EXPECT_EQ(driver_->board().chip->counters().page_programs, 4u);
    // Programming never leaves the write enable latch set.
    EXPECT_EQ(status(), 0u);
}

TEST_F(SimFlash, StatusShowsWriteEnableAndWriteInProgress) {
    open("timing=typ");
    ConsoleCapture console;
    ASSERT_EQ(flash_command(handle_, FLASH_INS_WREN), FLASH_OK);
    EXPECT_EQ(status(), kWel);
    ASSERT_EQ(flash_command(handle_, FLASH_INS_WRDI), FLASH_OK);
    EXPECT_EQ(status(), 0u);

    ASSERT_EQ(flash_command(handle_, FLASH_INS_WREN), FLASH_OK);
    ASSERT_EQ(flash_command(handle_, FLASH_INS_BE), FLASH_OK);
    EXPECT_EQ(status(), kWel | FLASH_STATUS_WIP);
    // A typical bulk erase (13 s) outlasts one wait of 10000 one-millisecond polls.
    EXPECT_EQ(flash_wait_ready(handle_), 1);
    EXPECT_EQ(flash_wait_ready(handle_), 0);
    EXPECT_EQ(status(), 0u);
    EXPECT_EQ(console.text(), std::string(13, '.'));
}

TEST_F(SimFlash, SectorEraseLeavesTheOtherSectors) {
    open("timing=zero");
    ConsoleCapture console;
    const std::uint8_t zeros[4] = {};
    for (std::uint32_t address : {0x0FFFCu, 0x10000u, 0x1FFFCu, 0x20000u}) {
        ASSERT_EQ(flash_program(handle_, zeros, address, 4), FLASH_OK);
    }
    ASSERT_EQ(flash_sector_erase(handle_, 1), FLASH_OK);
    EXPECT_EQ(array()[0x0FFFF], 0x00);
    EXPECT_EQ(array()[0x10000], 0xFF);
    EXPECT_EQ(array()[0x1FFFF], 0xFF);
    EXPECT_EQ(array()[0x20000], 0x00);
    EXPECT_EQ(driver_->board().chip->counters().sector_erases, 1u);
}

TEST_F(SimFlash, ChipThatNeverBecomesReady) {
    open("timing=zero,fault=stuck-busy");
    {
        ConsoleCapture console;
        const std::uint64_t start = d2xx_clock_ms();
        EXPECT_EQ(flash_chip_erase(handle_), FLASH_ERR_TRANSFER);
        // Twelve waits of 10000 polls of about 1 ms: the erase gave up at 120 s
        // of the board's clock, and ended its line of dots.
        EXPECT_GE(d2xx_clock_ms() - start, FLASH_ERASE_MS);
        EXPECT_LT(d2xx_clock_ms() - start, FLASH_ERASE_MS + 1000);
        EXPECT_EQ(console.text(), std::string(80, '.') + "\n" + std::string(40, '.') + "\n");
    }
    // The erase is abandoned with the write enable latch still set.
    EXPECT_EQ(status(), kWel | FLASH_STATUS_WIP);
    {
        ConsoleCapture console;
        const std::uint8_t byte = 0;
        EXPECT_EQ(flash_program(handle_, &byte, 0, 1), FLASH_ERR_TRANSFER);
        EXPECT_EQ(console.text(), std::string(10, '.'));
    }
}

TEST_F(SimFlash, EngineThatNeverEchoesEndsTheSetUp) {
    open("fault=no-echo", false);
    ConsoleCapture console;
    const std::uint64_t start = d2xx_clock_ms();
    EXPECT_EQ(mpsse_init(handle_), FT_OTHER_ERROR);
    EXPECT_EQ(console.text(), "fail to synchronize MPSSE with command 0xaa \n");
    // It gave up after three seconds of the board's clock, not of ours.
    EXPECT_GE(d2xx_clock_ms() - start, 3000u);
    EXPECT_LT(d2xx_clock_ms() - start, 4000u);
}

}  // namespace
