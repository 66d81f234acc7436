// The status wait, its dots, and the line breaks of the erase waits; their
// bounds in polls and in time on the driver's clock.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "case_name.h"
#include "flash/flash.h"
#include "frames.h"

namespace {

constexpr int kNoAnswer = -1;  // the poll's read gets nothing

// Answers the RDSR polls in turn from `polls`, then with `rest`.
void answer_polls(ScriptedDriver& driver, std::vector<int> polls, int rest) {
    auto next = std::make_shared<std::size_t>(0);
    driver.on_write = [polls, rest, next](ScriptedDriver& d, const Bytes& bytes) {
        if (bytes != kRdsr.write) {
            return;
        }
        int value = *next < polls.size() ? polls[*next] : rest;
        ++*next;
        if (value != kNoAnswer) {
            d.answer({static_cast<std::uint8_t>(value)});
        }
    };
}

std::vector<int> busy_then(std::size_t busy, int last) {
    std::vector<int> polls(busy, 0x01);
    polls.push_back(last);
    return polls;
}

struct WaitCase {
    std::string name;
    std::vector<int> polls;
    int rest;
    int fail_write;  // the nth poll's write fails (0: none)
    std::uint64_t tick_ms;
    std::uint64_t read_timeout_ms;
    std::int32_t result;
    std::size_t poll_count;
    std::string dots;
};

class FlashWaitReady : public testing::TestWithParam<WaitCase> {};

TEST_P(FlashWaitReady, PollsUntilWipClears) {
    const WaitCase& c = GetParam();
    ScriptedDriver driver;
    driver.tick_ms = c.tick_ms;
    driver.read_timeout_ms = c.read_timeout_ms;
    answer_polls(driver, c.polls, c.rest);
    if (c.fail_write != 0) {
        driver.fail("FT_Write", c.fail_write);
    }
    BoundDriver bound(driver);
    ConsoleCapture console;
    EXPECT_EQ(flash_wait_ready(ScriptedDriver::handle()), c.result);
    auto writes = driver.calls_named("FT_Write");
    EXPECT_EQ(writes.size(), c.poll_count);
    for (const auto& write : writes) {
        ASSERT_EQ(write.bytes, kRdsr.write);
    }
    // A failed write is followed by no read.
    EXPECT_EQ(driver.calls_named("FT_Read").size(), c.poll_count - (c.fail_write != 0 ? 1 : 0));
    EXPECT_EQ(console.text(), c.dots);
}

const std::string kTenDots(10, '.');

INSTANTIATE_TEST_SUITE_P(
    Cases, FlashWaitReady,
    testing::Values(
        WaitCase{"ReadyAtFirstPoll", {0x00}, 0x00, 0, 1, 0, 0, 1, ""},
        WaitCase{"WelAloneIsReady", {0x02}, 0x00, 0, 1, 0, 0, 1, ""},
        WaitCase{"WipAndWelIsBusy", {0x03, 0x00}, 0x00, 0, 1, 0, 0, 2, ""},
        WaitCase{"AllOnesIsBusy", {0xFF, 0x00}, 0x00, 0, 1, 0, 0, 2, ""},
        // Before any poll succeeded the chip counts as busy.
        WaitCase{"FailedFirstReadCountsAsBusy", {kNoAnswer, 0x00}, 0x00, 0, 1, 0, 0, 2, ""},
        WaitCase{"FailedFirstWriteCountsAsBusy", {0x00}, 0x00, 1, 1, 0, 0, 2, ""},
        WaitCase{"FailedPollAfterBusyIsBusy", {0x01, kNoAnswer, 0x00}, 0x00, 0, 1, 0, 0, 3, ""},
        WaitCase{"ReadyBeforeFirstDot", busy_then(783, 0x00), 0x00, 0, 1, 0, 0, 784, ""},
        WaitCase{"ReadyAfterFirstDot", busy_then(784, 0x00), 0x00, 0, 1, 0, 0, 785, "."},
        WaitCase{"ReadyAtLastPoll", busy_then(9999, 0x00), 0x00, 0, 1, 0, 0, 10000,
                 std::string(9, '.')},
        // 2 ms a poll: the count ends the wait, at 20 s.
        WaitCase{"NeverReady", {}, 0x01, 0, 1, 0, 1, 10000, kTenDots},
        // 4 ms a poll: 30 s end the wait after 7500 polls and their 7 dots.
        WaitCase{"BusyForThirtySeconds", {}, 0x01, 0, 2, 0, 1, 7500, std::string(7, '.')},
        // Each read runs into its 3 s time-out: 10 polls, no dot.
        WaitCase{"EveryReadTimesOut", {}, kNoAnswer, 0, 1, 3000, 1, 10, ""}),
    case_name<WaitCase>);

// Waits of millions of polls run through the driver's unrecorded mode.
struct LongWait {
    std::string name;
    std::uint64_t tick_ms;  // 0: the clock stands still, only the counts bound
    std::function<std::int32_t(FT_HANDLE)> run;
    std::function<bool(std::uint64_t)> busy;  // status of poll n (from 1)
    std::int32_t result;
    std::uint64_t writes;
    std::uint64_t reads;
    Txn last;
    std::string text;
};

class FlashLongWait : public testing::TestWithParam<LongWait> {};

TEST_P(FlashLongWait, DotsLineBreaksAndLastTransaction) {
    const LongWait& c = GetParam();
    ScriptedDriver driver;
    driver.record = false;
    driver.tick_ms = c.tick_ms;
    std::uint64_t polls = 0;
    driver.on_write = [&](ScriptedDriver& d, const Bytes& bytes) {
        if (bytes.size() == kRdsr.write.size() && bytes[5] == 0x05) {
            d.answer({c.busy(++polls) ? std::uint8_t{0x01} : std::uint8_t{0x00}});
        }
    };
    BoundDriver bound(driver);
    ConsoleCapture console;
    EXPECT_EQ(c.run(ScriptedDriver::handle()), c.result);
    EXPECT_EQ(driver.unrecorded_writes, c.writes);
    EXPECT_EQ(driver.unrecorded_reads, c.reads);
    EXPECT_EQ(driver.last_written, c.last.write);
    EXPECT_EQ(console.text(), c.text);
}

std::string lines_of_80(int lines) {
    std::string text;
    for (int i = 0; i < lines; ++i) {
        text += std::string(80, '.') + "\n";
    }
    return text;
}

std::int32_t chip_erase(FT_HANDLE h) {
    return flash_chip_erase(h);
}
std::int32_t sector_erase(FT_HANDLE h) {
    return flash_sector_erase(h, 5);
}
// 300 bytes at 0x10: the first chunk programs, the second never finishes.
std::int32_t program(FT_HANDLE h) {
    Bytes data = pattern(300);
    return flash_program(h, data.data(), 0x10, 300);
}
bool always(std::uint64_t) {
    return true;
}

// 2 ms a poll: six waits of 10000 polls fill the erase's 120 s, and a "\n"
// ends their line of dots.
constexpr std::uint64_t kSixWaits = 6 * 10000;
// 6 ms a poll: 30 s end each wait after 5000 polls, 120 s the fourth wait.
constexpr std::uint64_t kFourShortWaits = 4 * 5000;

INSTANTIATE_TEST_SUITE_P(
    Cases, FlashLongWait,
    testing::Values(LongWait{"ChipEraseNeverReady", 1, chip_erase, always, FLASH_ERR_TRANSFER,
                             2 + kSixWaits, kSixWaits, kRdsr, std::string(60, '.') + "\n"},
                    LongWait{"ChipEraseReadyInNinthWait", 0, chip_erase,
                             [](std::uint64_t n) { return n <= 8 * 10000 + 784; }, FLASH_OK,
                             2 + 80785 + 1, 80785, kWrdi, lines_of_80(1) + ".\n"},
                    LongWait{"SectorEraseNeverReady", 3, sector_erase, always, FLASH_ERR_TRANSFER,
                             2 + kFourShortWaits, kFourShortWaits, kRdsr, std::string(20, '.')},
                    LongWait{"ProgramWaitRunsOut", 1, program,
                             [](std::uint64_t n) { return n > 1; }, FLASH_ERR_TRANSFER,
                             2 + 1 + 1 + 2 + 10000 + 1, 1 + 10000, kWrdi, kTenDots}),
    case_name<LongWait>);

}  // namespace
