#include "mpsse/mpsse.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "case_name.h"
#include "scripted_driver.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const std::string kInitFailed = "fail on initialize FT2232H device!\n";
const std::string kSyncAA = "fail to synchronize MPSSE with command 0xaa \n";
const std::string kSyncAB = "fail to synchronize MPSSE with command 0xab \n";

// The engine's answers to the two synchronisation opcodes.
void engine_answers(ScriptedDriver& driver, Bytes to_aa, Bytes to_ab) {
    driver.on_write = [to_aa, to_ab](ScriptedDriver& d, const Bytes& bytes) {
        if (bytes == Bytes{0xAA}) {
            d.answer(to_aa);
        } else if (bytes == Bytes{0xAB}) {
            d.answer(to_ab);
        }
    };
}

struct Outcome {
    FT_STATUS status;
    std::string text;
};

Outcome init(ScriptedDriver& driver) {
    BoundDriver bound(driver);
    ConsoleCapture console;
    FT_STATUS status = mpsse_init(ScriptedDriver::handle());
    return {status, console.text()};
}

std::vector<std::uint32_t> read_sizes(const ScriptedDriver& driver) {
    std::vector<std::uint32_t> sizes;
    for (const auto& call : driver.calls_named("FT_Read")) {
        sizes.push_back(call.args[0]);
    }
    return sizes;
}

// Names of the calls from the first FT_SetUSBParameters on.
std::vector<std::string> from_configuration(const ScriptedDriver& driver) {
    std::vector<std::string> names = driver.names();
    auto first = std::find(names.begin(), names.end(), "FT_SetUSBParameters");
    return {first, names.end()};
}

TEST(MpsseInit, SetUpCallsArgumentsAndWritesInOrder) {
    ScriptedDriver driver;
    engine_answers(driver, {0xFA, 0xAA}, {0xFA, 0xAB});
    Outcome outcome = init(driver);
    EXPECT_EQ(outcome.status, FT_OK);
    EXPECT_EQ(outcome.text, "");

    using Args = std::vector<std::uint32_t>;
    const std::vector<std::pair<std::string, Args>> expected = {
        {"FT_ResetDevice", {}},
        {"FT_GetQueueStatus", {0}},
        {"FT_SetUSBParameters", {65535, 65535}},
        {"FT_SetChars", {0, 0, 0, 0}},
        {"FT_SetTimeouts", {3000, 3000}},
        {"FT_SetLatencyTimer", {1}},
        {"FT_SetBitMode", {0, 0}},
        {"FT_SetBitMode", {0, 2}},
        {"Sleep", {50}},
        {"FT_Write", {1}},
        {"FT_GetQueueStatus", {2}},
        {"FT_Read", {2}},
        {"FT_Write", {1}},
        {"FT_GetQueueStatus", {2}},
        {"FT_Read", {2}},
        {"FT_Write", {3}},
        {"FT_Write", {6}},
        {"Sleep", {20}},
        {"FT_Write", {1}},
        {"Sleep", {30}},
    };
    std::vector<std::pair<std::string, Args>> made;
    for (const auto& call : driver.calls) {
        made.emplace_back(call.name, call.args);
    }
    EXPECT_EQ(made, expected);
    EXPECT_EQ(driver.written(),
              (Bytes{0xAA, 0xAB, 0x8A, 0x97, 0x8D, 0x80, 0x88, 0x8B, 0x86, 0x1D, 0x00, 0x85}));
}

struct DrainCase {
    std::string name;
    std::size_t queued;
    std::vector<std::uint32_t> reads;
};

class MpsseDrain : public testing::TestWithParam<DrainCase> {};

TEST_P(MpsseDrain, ReadsInChunksOf256BeforeTheModeSwitch) {
    const DrainCase& c = GetParam();
    ScriptedDriver driver;
    driver.answer(Bytes(c.queued, 0x55));
    engine_answers(driver, {0xFA, 0xAA}, {0xFA, 0xAB});
    ASSERT_EQ(init(driver).status, FT_OK);
    std::vector<std::uint32_t> sizes = read_sizes(driver);
    // The last two reads belong to the synchronisations.
    sizes.resize(sizes.size() - 2);
    EXPECT_EQ(sizes, c.reads);
    auto names = driver.names();
    auto mode = std::find(names.begin(), names.end(), "FT_SetBitMode");
    EXPECT_EQ(std::count(names.begin(), mode, "FT_GetQueueStatus"), 1);
    EXPECT_EQ(std::count(names.begin(), mode, "FT_Read"), static_cast<long>(c.reads.size()));
}

INSTANTIATE_TEST_SUITE_P(Cases, MpsseDrain,
                         testing::Values(DrainCase{"NothingQueued", 0, {}},
                                         DrainCase{"OneByte", 1, {1}},
                                         DrainCase{"ExactlyOneChunk", 256, {256}},
                                         DrainCase{"SixHundred", 600, {256, 256, 88}}),
                         case_name<DrainCase>);

struct SetUpFailure {
    std::string name;
    std::string call;
    int nth;
    std::size_t queued;
    std::vector<std::uint32_t> reads;  // drain reads still made
};

class MpsseSetUpFailure : public testing::TestWithParam<SetUpFailure> {};

TEST_P(MpsseSetUpFailure, MakesEveryLaterCallThenReports) {
    const SetUpFailure& c = GetParam();
    ScriptedDriver driver;
    driver.answer(Bytes(c.queued, 0x55));
    driver.fail(c.call, c.nth);
    Outcome outcome = init(driver);
    EXPECT_EQ(outcome.status, FT_OTHER_ERROR);
    EXPECT_EQ(outcome.text, kInitFailed);
    EXPECT_EQ(from_configuration(driver),
              (std::vector<std::string>{"FT_SetUSBParameters", "FT_SetChars", "FT_SetTimeouts",
                                        "FT_SetLatencyTimer", "FT_SetBitMode", "FT_SetBitMode"}));
    EXPECT_EQ(read_sizes(driver), c.reads);
    EXPECT_TRUE(driver.calls_named("FT_Write").empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, MpsseSetUpFailure,
                         testing::Values(
                             // A failed reset also skips the drain, though bytes are queued.
                             SetUpFailure{"Reset", "FT_ResetDevice", 1, 600, {}},
                             SetUpFailure{"QueueStatus", "FT_GetQueueStatus", 1, 600, {}},
                             SetUpFailure{"DrainRead", "FT_Read", 2, 600, {256, 256, 88}},
                             SetUpFailure{"UsbParameters", "FT_SetUSBParameters", 1, 0, {}},
                             SetUpFailure{"Chars", "FT_SetChars", 1, 0, {}},
                             SetUpFailure{"Timeouts", "FT_SetTimeouts", 1, 0, {}},
                             SetUpFailure{"Latency", "FT_SetLatencyTimer", 1, 0, {}},
                             SetUpFailure{"ModeReset", "FT_SetBitMode", 1, 0, {}},
                             SetUpFailure{"ModeMpsse", "FT_SetBitMode", 2, 0, {}}),
                         case_name<SetUpFailure>);

// The clock, pin and loop-back writes (FT_Write 3, 4 and 5), each failed or
// written short: all three are still made, then the set-up reports.
struct SetUpWrite {
    std::string name;
    int nth;
    std::uint32_t written;  // what the short write delivers; UINT32_MAX: it fails
};

class MpsseSetUpWrite : public testing::TestWithParam<SetUpWrite> {};

TEST_P(MpsseSetUpWrite, FailedOrShortIsAnInitFailure) {
    const SetUpWrite& c = GetParam();
    ScriptedDriver driver;
    engine_answers(driver, {0xFA, 0xAA}, {0xFA, 0xAB});
    if (c.written == UINT32_MAX) {
        driver.fail("FT_Write", c.nth);
    } else {
        driver.short_write(c.nth, c.written);
    }
    Outcome outcome = init(driver);
    EXPECT_EQ(outcome.status, FT_OTHER_ERROR);
    EXPECT_EQ(outcome.text, kInitFailed);
    EXPECT_EQ(driver.written(),
              (Bytes{0xAA, 0xAB, 0x8A, 0x97, 0x8D, 0x80, 0x88, 0x8B, 0x86, 0x1D, 0x00, 0x85}));
}

INSTANTIATE_TEST_SUITE_P(Cases, MpsseSetUpWrite,
                         testing::Values(SetUpWrite{"ClockFails", 3, UINT32_MAX},
                                         SetUpWrite{"PinsAndDivisorFail", 4, UINT32_MAX},
                                         SetUpWrite{"LoopbackFails", 5, UINT32_MAX},
                                         SetUpWrite{"ClockShort", 3, 2},
                                         SetUpWrite{"PinsAndDivisorShort", 4, 5},
                                         SetUpWrite{"LoopbackShort", 5, 0}),
                         case_name<SetUpWrite>);

Bytes split_pair() {
    Bytes bytes(40, 0x00);
    bytes[31] = 0xFA;
    bytes[32] = 0xAA;
    return bytes;
}

struct SyncFailure {
    std::string name;
    Bytes to_aa;
    Bytes to_ab;
    std::string fail_call;  // empty: none
    int fail_nth;
    std::uint32_t read_limit;
    FT_STATUS status;
    std::string text;
    std::vector<std::uint32_t> reads;
};

class MpsseSyncFailure : public testing::TestWithParam<SyncFailure> {};

TEST_P(MpsseSyncFailure, ReportsTheOpcodeAndStops) {
    const SyncFailure& c = GetParam();
    ScriptedDriver driver;
    engine_answers(driver, c.to_aa, c.to_ab);
    if (!c.fail_call.empty()) {
        driver.fail(c.fail_call, c.fail_nth);
    }
    driver.read_limit = c.read_limit;
    Outcome outcome = init(driver);
    EXPECT_EQ(outcome.status, c.status);
    EXPECT_EQ(outcome.text, c.text);
    EXPECT_EQ(read_sizes(driver), c.reads);
    // Nothing after the failed synchronisation: no set-up writes.
    Bytes sent = driver.written();
    EXPECT_EQ(sent, c.text == kSyncAA ? Bytes{0xAA} : (Bytes{0xAA, 0xAB}));
}

constexpr std::uint32_t kAll = UINT32_MAX;

INSTANTIATE_TEST_SUITE_P(
    Cases, MpsseSyncFailure,
    testing::Values(
        SyncFailure{"FirstAnswerHoldsOnlyTheSecondEcho",
                    {0xFA, 0xAB},
                    {},
                    "",
                    0,
                    kAll,
                    FT_OTHER_ERROR,
                    kSyncAA,
                    {2}},
        SyncFailure{"SecondEchoWrong",
                    {0xFA, 0xAA},
                    {0xFA, 0xAA},
                    "",
                    0,
                    kAll,
                    FT_OTHER_ERROR,
                    kSyncAB,
                    {2, 2}},
        SyncFailure{"PairSplitBetweenReads",
                    split_pair(),
                    {},
                    "",
                    0,
                    kAll,
                    FT_OTHER_ERROR,
                    kSyncAA,
                    {32, 8}},
        SyncFailure{
            "OneByteReadsHoldNoPair", {0xFA, 0xAA}, {}, "", 0, 1, FT_OTHER_ERROR, kSyncAA, {2, 1}},
        SyncFailure{"QueuePollFails",
                    {0xFA, 0xAA},
                    {},
                    "FT_GetQueueStatus",
                    2,
                    kAll,
                    FT_IO_ERROR,
                    kSyncAA,
                    {}},
        SyncFailure{"ReadFails", {0xFA, 0xAA}, {}, "FT_Read", 1, kAll, FT_IO_ERROR, kSyncAA, {2}},
        SyncFailure{"SecondReadFails",
                    {0xFA, 0xAA},
                    {0xFA, 0xAB},
                    "FT_Read",
                    2,
                    kAll,
                    FT_IO_ERROR,
                    kSyncAB,
                    {2, 2}}),
    case_name<SyncFailure>);

struct SilentEngine {
    std::string name;
    Bytes queued_after_write;
    std::uint32_t read_limit;
};

class MpsseSyncTimeout : public testing::TestWithParam<SilentEngine> {};

// The mended hang: no echo within 3000 ms of the driver's clock is a failure.
TEST_P(MpsseSyncTimeout, GivesUpAfter3000MsOfDriverClock) {
    const SilentEngine& c = GetParam();
    ScriptedDriver driver;
    engine_answers(driver, c.queued_after_write, {});
    driver.read_limit = c.read_limit;
    Outcome outcome = init(driver);
    EXPECT_EQ(outcome.status, FT_OTHER_ERROR);
    EXPECT_EQ(outcome.text, kSyncAA);
    std::uint64_t sent_at = 0;
    for (const auto& call : driver.calls) {
        sent_at += driver.tick_ms + (call.name == "Sleep" ? call.args[0] : 0);
        if (call.name == "FT_Write") {
            break;
        }
    }
    EXPECT_GE(driver.now_ms - sent_at, MPSSE_SYNC_TIMEOUT_MS);
    EXPECT_LE(driver.now_ms - sent_at, MPSSE_SYNC_TIMEOUT_MS + 2);
}

INSTANTIATE_TEST_SUITE_P(Cases, MpsseSyncTimeout,
                         testing::Values(SilentEngine{"NothingEverQueued", {}, UINT32_MAX},
                                         SilentEngine{
                                             "ReadsKeepReturningNothing", {0xFA, 0xAA}, 0}),
                         case_name<SilentEngine>);

TEST(MpsseSync, EchoInFirstReadLeavesTheRestQueued) {
    ScriptedDriver driver;
    Bytes answer(40, 0x11);
    answer[5] = 0xFA;
    answer[6] = 0xAA;
    engine_answers(driver, answer, {});
    BoundDriver bound(driver);
    EXPECT_EQ(mpsse_sync(ScriptedDriver::handle(), 0xAA), FT_OK);
    EXPECT_EQ(read_sizes(driver), (std::vector<std::uint32_t>{32}));
    EXPECT_EQ(driver.rx.size(), 8u);
}

TEST(MpsseSync, UsesOnlyTheLowByteOfTheOpcode) {
    ScriptedDriver driver;
    engine_answers(driver, {0xFA, 0xAA}, {});
    BoundDriver bound(driver);
    EXPECT_EQ(mpsse_sync(ScriptedDriver::handle(), 0x3AA), FT_OK);
    EXPECT_EQ(driver.written(), Bytes{0xAA});
}

TEST(MpsseRelease, WritesFinalPinsAndReturnsTheWriteStatus) {
    ScriptedDriver driver;
    driver.fail("FT_Write", 2, FT_IO_ERROR);
    BoundDriver bound(driver);
    EXPECT_EQ(mpsse_release(ScriptedDriver::handle()), FT_OK);
    EXPECT_EQ(mpsse_release(ScriptedDriver::handle()), FT_IO_ERROR);
    EXPECT_EQ(driver.calls_named("FT_Write")[0].bytes, (Bytes{0x80, 0x08, 0x8B}));
}

// --- the patient synchronisation and the unpaced set-up (hexflash's link) ---------------

struct PatientCase {
    std::string name;
    Bytes now;                  // queued at once after the opcode's write
    Bytes later;                // 5 ms after it
    std::string fail;           // a call that fails once (empty: none)
    std::uint32_t short_write;  // bytes the opcode's write delivers (1: all)
    mpsse_echo echo;
    FT_STATUS status;
};

class MpssePatientSync : public testing::TestWithParam<PatientCase> {};

// Looks again after an empty queue (sleeping 1 ms), finds a pair split across
// two reads, and fails a failed or short write of the opcode.
TEST_P(MpssePatientSync, KeepsLookingUntilTheEchoOrTheTimeOut) {
    const PatientCase& c = GetParam();
    ScriptedDriver driver;
    driver.on_write = [&c](ScriptedDriver& d, const Bytes&) {
        d.answer(c.now);
        d.answer_later(5, c.later);
    };
    if (!c.fail.empty()) {
        driver.fail(c.fail, 1);
    }
    if (c.short_write != 1) {
        driver.short_write(1, c.short_write);
    }
    BoundDriver bound(driver);
    std::uint8_t buffer[64];
    const mpsse_sync_plan plan = {true, buffer, sizeof buffer};
    FT_STATUS status = FT_OTHER_ERROR;
    EXPECT_EQ(mpsse_sync_echo(ScriptedDriver::handle(), 0xAB, &plan, &status), c.echo);
    EXPECT_EQ(status, c.status);
    if (c.echo == MPSSE_NO_ECHO) {
        EXPECT_GE(driver.now_ms, MPSSE_SYNC_TIMEOUT_MS);
        EXPECT_FALSE(driver.calls_named("Sleep").empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MpssePatientSync,
    testing::Values(
        PatientCase{"EchoAtOnce", {0xFA, 0xAB}, {}, "", 1, MPSSE_ECHOED, FT_OK},
        PatientCase{"EchoLater", {}, {0x00, 0xFA, 0xAB}, "", 1, MPSSE_ECHOED, FT_OK},
        PatientCase{"PairSplitAcrossReads", {0x00, 0xFA}, {0xAB}, "", 1, MPSSE_ECHOED, FT_OK},
        PatientCase{"WrongEcho", {0xFA, 0xAA}, {0xAB, 0xFA}, "", 1, MPSSE_NO_ECHO, FT_OTHER_ERROR},
        PatientCase{"WriteFails", {}, {}, "FT_Write", 1, MPSSE_ECHO_WRITE_FAILED, FT_IO_ERROR},
        PatientCase{"WriteShort", {}, {}, "", 0, MPSSE_ECHO_WRITE_FAILED, FT_OK},
        PatientCase{"QueueLookFails",
                    {0xFA, 0xAB},
                    {},
                    "FT_GetQueueStatus",
                    1,
                    MPSSE_ECHO_READ_FAILED,
                    FT_IO_ERROR},
        PatientCase{
            "ReadFails", {0xFA, 0xAB}, {}, "FT_Read", 1, MPSSE_ECHO_READ_FAILED, FT_IO_ERROR}),
    case_name<PatientCase>);

// One write of clock, pins and loop-back with no pause, the drain between
// the echoes and it; the transfer size and divisor the plan gives.
TEST(MpsseSetUp, UnpacedInOneWriteAfterTheDrain) {
    ScriptedDriver driver;
    engine_answers(driver, {0xFA, 0xAA, 0x55}, {0xFA, 0xAB});
    BoundDriver bound(driver);
    std::uint8_t buffer[64];
    const mpsse_sync_plan sync = {true, buffer, sizeof buffer};
    const mpsse_drain_plan drain = {20, 3000, true, buffer, sizeof buffer};
    const mpsse_setup_plan plan = {65536, 0x0102, &sync, &drain, false};
    mpsse_setup_result result{};
    mpsse_set_up(ScriptedDriver::handle(), &plan, &result);
    EXPECT_EQ(result.step, MPSSE_SETUP_DONE);
    EXPECT_TRUE(result.drained);
    EXPECT_EQ(driver.calls_named("FT_SetUSBParameters").at(0).args,
              (std::vector<std::uint32_t>{65536, 65536}));
    EXPECT_EQ(driver.written(),
              (Bytes{0xAA, 0xAB, 0x8A, 0x97, 0x8D, 0x85, 0x80, 0x88, 0x8B, 0x86, 0x02, 0x01}));
    EXPECT_EQ(driver.calls.back().name, "FT_Write");
    EXPECT_TRUE(driver.rx.empty());  // the byte behind the first echo was drained
}

TEST(MpsseSetUp, ReportsWhereItStopped) {
    struct Case {
        const char* call;
        int nth;
        mpsse_setup_step step;
        std::uint8_t opcode;
    };
    const Case cases[] = {
        {"FT_SetLatencyTimer", 1, MPSSE_SETUP_OPEN_FAILED, 0},
        {"FT_Write", 2, MPSSE_SETUP_NO_SYNC, 0xAB},
        {"FT_Write", 3, MPSSE_SETUP_WRITE_FAILED, 0},
    };
    for (const Case& c : cases) {
        ScriptedDriver driver;
        engine_answers(driver, {0xFA, 0xAA}, {0xFA, 0xAB});
        driver.fail(c.call, c.nth);
        BoundDriver bound(driver);
        std::uint8_t buffer[64];
        const mpsse_sync_plan sync = {true, buffer, sizeof buffer};
        const mpsse_setup_plan plan = {65536, 0, &sync, nullptr, false};
        mpsse_setup_result result{};
        mpsse_set_up(ScriptedDriver::handle(), &plan, &result);
        EXPECT_EQ(result.step, c.step) << c.call << " " << c.nth;
        EXPECT_EQ(result.status, FT_IO_ERROR) << c.call << " " << c.nth;
        EXPECT_EQ(result.opcode, c.opcode) << c.call << " " << c.nth;
    }
}

// --- the clock and the length field -------------------------------------------------------

TEST(MpsseClock, FastestStepAtOrBelowTheAskedClock) {
    struct Case {
        std::uint32_t asked;
        std::uint16_t divisor;
        std::uint32_t set;
    };
    const Case cases[] = {
        {30000000, 0, 30000000}, {29999999, 1, 15000000}, {7000000, 4, 6000000},
        {1000000, 29, 1000000},  {10000, 2999, 10000},    {1, 0xFFFF, 457},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(mpsse_clock_divisor(c.asked), c.divisor) << c.asked;
        EXPECT_EQ(mpsse_clock_hz(c.divisor), c.set) << c.asked;
    }
    EXPECT_EQ(mpsse_clock_hz(MPSSE_CLOCK_DIVISOR), 1000000u);
}

TEST(MpsseLength, CountLessOneLowByteFirst) {
    struct Case {
        std::uint32_t count;
        Bytes field;
    };
    const Case cases[] = {
        {1, {0x00, 0x00}}, {256, {0xFF, 0x00}}, {257, {0x00, 0x01}}, {65536, {0xFF, 0xFF}}};
    for (const Case& c : cases) {
        Bytes field(3, 0xEE);
        EXPECT_EQ(mpsse_length_field(field.data(), c.count), 2u);
        EXPECT_EQ(Bytes(field.begin(), field.begin() + 2), c.field) << c.count;
        EXPECT_EQ(field[2], 0xEE);
    }
}

}  // namespace
