// The USB queue on a scripted engine: the set-up at each clock, the bytes each
// transaction queues and the answers a flush reads, failed transfers, the
// retry after them, and the board that is gone.
#include "link/link.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "case_name.h"
#include "scripted_driver.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// An engine that echoes both synchronisation opcodes, and answers every
// write of the queue (0x87 last) with `answers` bytes 0, 1, 2, ...
void engine(ScriptedDriver& driver, std::uint32_t answers = 0) {
    driver.on_write = [answers](ScriptedDriver& d, const Bytes& bytes) {
        if (bytes == Bytes{0xAA} || bytes == Bytes{0xAB}) {
            d.answer({0xFA, bytes[0]});
        } else if (!bytes.empty() && bytes.back() == 0x87) {
            for (std::uint32_t i = 0; i < answers; ++i) {
                d.answer({static_cast<std::uint8_t>(i)});
            }
        }
    };
}

// --- set-up ------------------------------------------------------------------------------

struct ClockCase {
    std::string name;
    std::uint32_t asked;
    std::uint8_t low, high;  // the divisor sent
    std::uint32_t set;       // the SK it gives
};

class LinkOpen : public testing::TestWithParam<ClockCase> {};

// 64 KiB transfers, the echoes, then clock, pins and loop-back in one write
// with no pause: the first transaction proves them taken.
TEST_P(LinkOpen, SetsTheFastestClockAtOrBelowInOneWrite) {
    const ClockCase& c = GetParam();
    ScriptedDriver driver;
    engine(driver);
    BoundDriver bound(driver);
    auto link = std::make_unique<link_queue>();
    ASSERT_EQ(link_open(ScriptedDriver::handle(), c.asked, link.get()), LINK_OK);
    EXPECT_EQ(link->clock_hz, c.set);
    EXPECT_EQ(driver.calls_named("FT_SetUSBParameters").at(0).args,
              (std::vector<std::uint32_t>{65536, 65536}));
    EXPECT_EQ(driver.written(),
              (Bytes{0xAA, 0xAB, 0x8A, 0x97, 0x8D, 0x85, 0x80, 0x88, 0x8B, 0x86, c.low, c.high}));
    for (const auto& sleep : driver.calls_named("Sleep")) {
        EXPECT_TRUE(sleep.args[0] == 50 || sleep.args[0] == 1) << sleep.args[0];
    }
    EXPECT_EQ(link->retries, 0u);
    link_close(link.get());
    EXPECT_EQ(driver.last_written, (Bytes{0x80, 0x08, 0x8B}));
}

INSTANTIATE_TEST_SUITE_P(Clocks, LinkOpen,
                         testing::Values(ClockCase{"Fastest", 30000000, 0x00, 0x00, 30000000},
                                         ClockCase{"OneMegahertz", 1000000, 0x1D, 0x00, 1000000},
                                         ClockCase{"BetweenSteps", 7000000, 0x04, 0x00, 6000000},
                                         ClockCase{"Slowest", 10000, 0xB7, 0x0B, 10000}),
                         case_name<ClockCase>);

// --- the queue ---------------------------------------------------------------------------

struct QueueCase {
    std::string name;
    std::function<void(link_queue*)> queue;
    std::uint32_t answers;
    Bytes bytes;  // the write, 0x87 last
};

class LinkQueue : public testing::TestWithParam<QueueCase> {};

TEST_P(LinkQueue, WritesTheCommandsAndReadsExactlyTheAnswers) {
    const QueueCase& c = GetParam();
    ScriptedDriver driver;
    engine(driver, c.answers);
    BoundDriver bound(driver);
    auto link = std::make_unique<link_queue>();
    ASSERT_EQ(link_open(ScriptedDriver::handle(), 30000000, link.get()), LINK_OK);
    const std::size_t reads = driver.calls_named("FT_Read").size();
    c.queue(link.get());
    EXPECT_EQ(link->answers, c.answers);
    Bytes answers(c.answers + 1, 0xEE);
    ASSERT_EQ(link_flush(link.get(), answers.data()), LINK_OK);
    EXPECT_EQ(driver.last_written, c.bytes);
    const auto read = driver.calls_named("FT_Read");
    ASSERT_EQ(read.size(), reads + (c.answers > 0 ? 1 : 0));
    for (std::uint32_t i = 0; i < c.answers; ++i) {
        EXPECT_EQ(answers[i], i);
    }
    EXPECT_EQ(answers[c.answers], 0xEE);
    EXPECT_EQ(link->out_used, 0u);
}

const std::uint8_t kDummy[4] = {};

INSTANTIATE_TEST_SUITE_P(
    Commands, LinkQueue,
    testing::Values(
        QueueCase{"Instruction",
                  [](link_queue* l) { link_transaction(l, 0x06, nullptr, 0, 0); },
                  0,
                  {0x80, 0x80, 0x8B, 0x11, 0x00, 0x00, 0x06, 0x80, 0x88, 0x8B, 0x8E, 0x02, 0x87}},
        QueueCase{"BytesOutAndIn",
                  [](link_queue* l) { link_transaction(l, 0x4B, kDummy, 4, 8); },
                  8,
                  {0x80, 0x80, 0x8B, 0x11, 0x04, 0x00, 0x4B, 0x00, 0x00, 0x00,
                   0x00, 0x20, 0x07, 0x00, 0x80, 0x88, 0x8B, 0x8E, 0x02, 0x87}},
        QueueCase{"Address",
                  [](link_queue* l) { link_address(l, 0x0B, 0x012345, kDummy, 1, 3); },
                  3,
                  {0x80, 0x80, 0x8B, 0x11, 0x04, 0x00, 0x0B, 0x01, 0x23, 0x45,
                   0x00, 0x20, 0x02, 0x00, 0x80, 0x88, 0x8B, 0x8E, 0x02, 0x87}},
        // 30 clocks: four bytes of them.
        QueueCase{"Pause", [](link_queue* l) { link_pause(l, 1000); }, 0, {0x8F, 0x03, 0x00, 0x87}},
        // 600,000 clocks: 75,000 bytes, in two runs.
        QueueCase{"LongPause",
                  [](link_queue* l) { link_pause(l, 20000000); },
                  0,
                  {0x8F, 0xFF, 0xFF, 0x8F, 0xF7, 0x24, 0x87}},
        QueueCase{"SampleTrain",
                  [](link_queue* l) { link_sample_train(l, 0x05, 2, 100); },
                  2,
                  {0x80, 0x80, 0x8B, 0x11, 0x00, 0x00, 0x05, 0x20, 0x00, 0x00, 0x8F, 0x00, 0x00,
                   0x20, 0x00, 0x00, 0x8F, 0x00, 0x00, 0x80, 0x88, 0x8B, 0x8E, 0x02, 0x87}}),
    case_name<QueueCase>);

// --- failed transfers ------------------------------------------------------------------------

struct FaultCase {
    std::string name;
    std::function<void(ScriptedDriver&)> fault;  // made just before the flush
    std::uint32_t location;                      // the board's census location (0: unknown)
    const char* cause;
    bool gone;
};

class LinkFault : public testing::TestWithParam<FaultCase> {};

std::function<void(ScriptedDriver&)> fail_next(const char* call, FT_STATUS status) {
    return [call, status](ScriptedDriver& d) {
        d.fail(call, static_cast<int>(d.calls_named(call).size()) + 1, status);
    };
}

// A failed transfer is remembered with its cause; a board still listed is
// drained and resynchronised for a retry, told to the watcher; a board gone
// is not.
TEST_P(LinkFault, GlitchIsRetriedAndAGoneBoardIsNot) {
    const FaultCase& c = GetParam();
    ScriptedDriver driver;
    driver.devices.resize(2);  // locations 0x100 and 0x101
    engine(driver, 2);
    BoundDriver bound(driver);
    auto link = std::make_unique<link_queue>();
    link->location = c.location;
    std::vector<std::string> told;
    link_progress watcher{nullptr, nullptr, &told,
                          [](void* context, const char* phase, std::uint32_t, const char* cause) {
                              static_cast<std::vector<std::string>*>(context)->push_back(
                                  std::string(phase) + ": " + cause);
                          }};
    link->watcher = &watcher;
    ASSERT_EQ(link_open(ScriptedDriver::handle(), 30000000, link.get()), LINK_OK);
    link_unit(link.get(), "read", 0x1234);
    link_transaction(link.get(), 0x05, nullptr, 0, 2);
    c.fault(driver);
    std::uint8_t answers[2] = {};
    EXPECT_EQ(link_flush(link.get(), answers), LINK_ERR_TRANSFER);
    driver.read_limit = UINT32_MAX;  // the glitch is over
    EXPECT_STREQ(link->fault, c.cause);
    EXPECT_EQ(link->gone, c.gone);
    std::uint32_t attempts = 0;
    EXPECT_EQ(link_recover(link.get(), &attempts), !c.gone);
    if (c.gone) {
        EXPECT_TRUE(told.empty());
        return;
    }
    EXPECT_EQ(told, std::vector<std::string>{std::string("read: ") + c.cause});
    EXPECT_EQ(link->retries, 1u);
    EXPECT_EQ(link->retry_log[0].address, 0x1234u);
    EXPECT_EQ(driver.last_written, Bytes{0xAB});  // in step again
    link_transaction(link.get(), 0x05, nullptr, 0, 2);
    EXPECT_EQ(link_flush(link.get(), answers), LINK_OK);
    EXPECT_EQ(answers[1], 1);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, LinkFault,
    testing::Values(
        FaultCase{"WriteFailed", fail_next("FT_Write", FT_IO_ERROR), 0, "write failed", false},
        FaultCase{"WriteShort",
                  [](ScriptedDriver& d) {
                      d.short_write(static_cast<int>(d.calls_named("FT_Write").size()) + 1, 5);
                  },
                  0, "write short", false},
        FaultCase{"ReadFailed", fail_next("FT_Read", FT_IO_ERROR), 0, "read failed", false},
        FaultCase{"NoAnswer", [](ScriptedDriver& d) { d.read_limit = 0; }, 0, "no answer", false},
        FaultCase{"ReadShort", [](ScriptedDriver& d) { d.read_limit = 1; }, 0, "read short", false},
        FaultCase{"DeviceNotFound", fail_next("FT_Read", FT_DEVICE_NOT_FOUND), 0, "read failed",
                  true},
        FaultCase{"StillInTheCensus", fail_next("FT_Read", FT_IO_ERROR), 0x101, "read failed",
                  false},
        FaultCase{"NoLongerInTheCensus", fail_next("FT_Read", FT_IO_ERROR), 0x102, "read failed",
                  true}),
    case_name<FaultCase>);

}  // namespace
