// Every flash transaction on the wire, and what each failure leaves behind.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "case_name.h"
#include "flash/flash.h"
#include "frames.h"

namespace {

constexpr std::uint32_t kUntouched = 0xDEADBEEF;

// Everything an operation can hand back besides its result.
struct Words {
    std::uint32_t manufacturer = kUntouched;
    std::uint32_t device = kUntouched;
    std::uint32_t status = kUntouched;
    Bytes data;
    bool operator==(const Words&) const = default;
};

struct Case {
    std::string name;
    std::function<std::int32_t(FT_HANDLE, Words&)> run;
    Bytes answers;
    std::function<void(ScriptedDriver&)> script;  // failures; may be empty
    std::int32_t result;
    std::vector<Txn> txns;
    std::string text = "";
    Words words = {};
};

class FlashTransactions : public testing::TestWithParam<Case> {};

TEST_P(FlashTransactions, WireBytesResultAndOutputs) {
    const Case& c = GetParam();
    ScriptedDriver driver;
    driver.answer(c.answers);
    if (c.script) {
        c.script(driver);
    }
    BoundDriver bound(driver);
    ConsoleCapture console;
    Words words;
    EXPECT_EQ(c.run(ScriptedDriver::handle(), words), c.result);
    EXPECT_EQ(transactions(driver), c.txns);
    EXPECT_EQ(console.text(), c.text);
    EXPECT_EQ(words, c.words);
}

auto command(std::uint8_t ins) {
    return [ins](FT_HANDLE h, Words&) { return flash_command(h, ins); };
}
std::int32_t read_status(FT_HANDLE h, Words& w) {
    return flash_read_status(h, &w.status);
}
std::int32_t read_id(FT_HANDLE h, Words& w) {
    return flash_read_id(h, &w.manufacturer, &w.device, &w.status);
}
std::int32_t chip_erase(FT_HANDLE h, Words&) {
    return flash_chip_erase(h);
}
auto sector_erase_of(std::int32_t sector) {
    return [sector](FT_HANDLE h, Words&) { return flash_sector_erase(h, sector); };
}
// Reads into a buffer pre-filled with 0xEE, so partial reads show.
auto read_of(std::uint32_t address, std::uint32_t length) {
    return [address, length](FT_HANDLE h, Words& w) {
        w.data.assign(length, 0xEE);
        return flash_read(h, w.data.data(), address, length);
    };
}
auto program_of(std::uint32_t address, std::uint32_t length) {
    return [address, length](FT_HANDLE h, Words&) {
        Bytes data = pattern(length);
        return flash_program(h, data.data(), address, length);
    };
}
auto fail_write(int nth) {
    return [nth](ScriptedDriver& d) { d.fail("FT_Write", nth); };
}
auto short_write(int nth, std::uint32_t count) {
    return [nth, count](ScriptedDriver& d) { d.short_write(nth, count); };
}

Words status_word(std::uint32_t status) {
    Words w;
    w.status = status;
    return w;
}
Words data_words(Bytes data) {
    Words w;
    w.data = std::move(data);
    return w;
}
Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
Txn unanswered(Txn txn) {
    txn.read = 0;
    return txn;
}

std::vector<Txn> eight_pages() {
    std::vector<Txn> txns;
    for (std::uint32_t page = 0; page < 8; ++page) {
        txns.push_back(read_frame(page * 0x100, 256));
    }
    return txns;
}

flash_read_id_params id_block;
flash_read_status_params status_block;
flash_chip_erase_params erase_block;
flash_sector_erase_params sector_block;

std::int32_t control_read_id(FT_HANDLE h, Words& w) {
    id_block = {&w.manufacturer, &w.device, &w.status};
    return flash_control({h, FLASH_OP_READ_ID, &id_block});
}
std::int32_t control_read_status(FT_HANDLE h, Words& w) {
    status_block = {&w.status};
    return flash_control({h, FLASH_OP_READ_STATUS, &status_block});
}
// The block is not interpreted, whatever it holds.
std::int32_t control_chip_erase(FT_HANDLE h, Words&) {
    erase_block = {0xFFFFFFFF};
    return flash_control({h, FLASH_OP_CHIP_ERASE, &erase_block});
}
std::int32_t control_sector_erase(FT_HANDLE h, Words&) {
    sector_block = {31};
    return flash_control({h, FLASH_OP_SECTOR_ERASE, &sector_block});
}

const Words kId = {0xAB, 0xCDEF, 0x03, {}};

INSTANTIATE_TEST_SUITE_P(
    Wire, FlashTransactions,
    testing::Values(
        Case{"CommandWren", command(0x06), {}, {}, FLASH_OK, {kWren}},
        Case{"CommandBe", command(0xC7), {}, {}, FLASH_OK, {kBe}},
        Case{"ReadStatus", read_status, {0x02}, {}, FLASH_OK, {kRdsr}, "", status_word(2)},
        Case{"ReadId", read_id, {0xAB, 0xCD, 0xEF, 0x03}, {}, FLASH_OK, {kRdid, kRdsr}, "", kId},
        Case{"SectorErase31",
             sector_erase_of(31),
             {0x00},
             {},
             FLASH_OK,
             {kWren, sector_erase(0x1F), kRdsr, kWrdi}},
        Case{"SectorErase0",
             sector_erase_of(0),
             {0x01, 0x00},
             {},
             FLASH_OK,
             {kWren, sector_erase(0x00), kRdsr, kRdsr, kWrdi}},
        Case{"ChipEraseReadyAtFirstPoll",
             chip_erase,
             {0x00},
             {},
             FLASH_OK,
             {kWren, kBe, kRdsr, kWrdi},
             "\n"},
        Case{"ReadOneByte",
             read_of(0x123456, 1),
             {0x5A},
             {},
             FLASH_OK,
             {read_frame(0x123456, 1)},
             "",
             data_words({0x5A})},
        Case{"ReadWholePage",
             read_of(0x100, 256),
             pattern(256),
             {},
             FLASH_OK,
             {read_frame(0x100, 256)},
             "",
             data_words(pattern(256))},
        Case{"ReadAcrossPage",
             read_of(0xFA, 10),
             pattern(10),
             {},
             FLASH_OK,
             {read_frame(0xFA, 6), read_frame(0x100, 4)},
             "",
             data_words(pattern(10))},
        Case{"Read2048",
             read_of(0, 2048),
             pattern(2048),
             {},
             FLASH_OK,
             eight_pages(),
             "",
             data_words(pattern(2048))},
        Case{"ReadNothing", read_of(0x40, 0), {}, {}, FLASH_OK, {}},
        Case{"ReadSendsLow24AddressBits",
             read_of(0xFF123456, 2),
             {1, 2},
             {},
             FLASH_OK,
             {read_frame(0x123456, 2)},
             "",
             data_words({1, 2})},
        Case{"ProgramLastByteOfPage",
             program_of(0xFF, 1),
             {0x00},
             {},
             FLASH_OK,
             {kWren, pp_frame(0xFF, pattern(1)), kRdsr, kWrdi, kWrdi}},
        Case{"ProgramAcrossPage",
             program_of(0x10, 300),
             {0x00, 0x00},
             {},
             FLASH_OK,
             {kWren, pp_frame(0x10, pattern(240)), kRdsr, kWrdi, kWren,
              pp_frame(0x100, pattern(60, 240)), kRdsr, kWrdi, kWrdi}},
        Case{"ProgramWaitsWhileBusy",
             program_of(0x20, 4),
             {0x01, 0x03, 0x00},
             {},
             FLASH_OK,
             {kWren, pp_frame(0x20, pattern(4)), kRdsr, kRdsr, kRdsr, kWrdi, kWrdi}},
        Case{"ProgramNothing", program_of(0x10, 0), {}, {}, FLASH_OK, {kWrdi}},
        Case{"ProgramSendsLow24AddressBits",
             program_of(0x01000010, 1),
             {0x00},
             {},
             FLASH_OK,
             {kWren, pp_frame(0x000010, pattern(1)), kRdsr, kWrdi, kWrdi}},
        Case{"ControlReadId",
             control_read_id,
             {0xAB, 0xCD, 0xEF, 0x03},
             {},
             FLASH_OK,
             {kRdid, kRdsr},
             "",
             kId},
        Case{"ControlReadStatus",
             control_read_status,
             {0x80},
             {},
             FLASH_OK,
             {kRdsr},
             "",
             status_word(0x80)},
        Case{"ControlChipErase",
             control_chip_erase,
             {0x00},
             {},
             FLASH_OK,
             {kWren, kBe, kRdsr, kWrdi},
             "\n"},
        Case{"ControlSectorErase",
             control_sector_erase,
             {0x00},
             {},
             FLASH_OK,
             {kWren, sector_erase(0x1F), kRdsr, kWrdi}}),
    case_name<Case>);

INSTANTIATE_TEST_SUITE_P(
    Failure, FlashTransactions,
    testing::Values(
        Case{"CommandWriteFails", command(0x06), {}, fail_write(1), FLASH_ERR_TRANSFER, {kWren}},
        Case{"CommandShortWrite",
             command(0x04),
             {},
             short_write(1, 11),
             FLASH_ERR_TRANSFER,
             {kWrdi}},
        Case{"ReadStatusShortWriteMakesNoRead",
             read_status,
             {0x00},
             short_write(1, 13),
             FLASH_ERR_TRANSFER,
             {unanswered(kRdsr)}},
        Case{"ReadStatusNoAnswer", read_status, {}, {}, FLASH_ERR_TRANSFER, {kRdsr}},
        Case{"ReadStatusReadFails",
             read_status,
             {0x00},
             [](ScriptedDriver& d) { d.fail("FT_Read", 1); },
             FLASH_ERR_TRANSFER,
             {kRdsr}},
        Case{"ReadIdWriteFails",
             read_id,
             {0xAB, 0xCD, 0xEF},
             fail_write(1),
             FLASH_ERR_TRANSFER,
             {unanswered(kRdid)}},
        Case{"ReadIdTwoBytes", read_id, {0xAB, 0xCD}, {}, FLASH_ERR_TRANSFER, {kRdid}},
        Case{"ReadIdThenStatusFails",
             read_id,
             {0xAB, 0xCD, 0xEF},
             {},
             FLASH_ERR_TRANSFER,
             {kRdid, kRdsr},
             "",
             {0xAB, 0xCDEF, kUntouched, {}}},
        Case{"ReadShortWriteMakesNoRead",
             read_of(0xFA, 10),
             pattern(10),
             short_write(1, 18),
             FLASH_ERR_TRANSFER,
             {unanswered(read_frame(0xFA, 6))},
             "",
             data_words(Bytes(10, 0xEE))},
        Case{"ReadSecondChunkShort",
             read_of(0xFA, 10),
             pattern(9),
             {},
             FLASH_ERR_TRANSFER,
             {read_frame(0xFA, 6), read_frame(0x100, 4)},
             "",
             data_words(concat(pattern(9), {0xEE}))},
        Case{"ProgramWrenFails",
             program_of(0xFF, 1),
             {0x00},
             fail_write(1),
             FLASH_ERR_TRANSFER,
             {kWren}},
        Case{"ProgramPageShortWrite",
             program_of(0xFF, 1),
             {0x00},
             short_write(2, 16),
             FLASH_ERR_TRANSFER,
             {kWren, pp_frame(0xFF, pattern(1))}},
        Case{"ProgramChunkWrdiFails",
             program_of(0x10, 300),
             {0x00, 0x00},
             fail_write(4),
             FLASH_ERR_TRANSFER,
             {kWren, pp_frame(0x10, pattern(240)), kRdsr, kWrdi}},
        Case{"ProgramFinalWrdiFails",
             program_of(0xFF, 1),
             {0x00},
             fail_write(5),
             FLASH_ERR_TRANSFER,
             {kWren, pp_frame(0xFF, pattern(1)), kRdsr, kWrdi, kWrdi}},
        Case{"ProgramNothingWrdiFails",
             program_of(0, 0),
             {},
             fail_write(1),
             FLASH_ERR_TRANSFER,
             {kWrdi}},
        Case{"ChipEraseWrenFails", chip_erase, {0x00}, fail_write(1), FLASH_ERR_TRANSFER, {kWren}},
        Case{"ChipEraseBeFails",
             chip_erase,
             {0x00},
             fail_write(2),
             FLASH_ERR_TRANSFER,
             {kWren, kBe}},
        Case{"ChipEraseWrdiFails",
             chip_erase,
             {0x00},
             fail_write(4),
             FLASH_ERR_TRANSFER,
             {kWren, kBe, kRdsr, kWrdi},
             "\n"},
        Case{"SectorEraseSeFails",
             sector_erase_of(1),
             {0x00},
             fail_write(2),
             FLASH_ERR_TRANSFER,
             {kWren, sector_erase(0x01)}},
        Case{"SectorEraseBeyondChip", sector_erase_of(32), {}, {}, FLASH_ERR_RANGE, {}},
        Case{"SectorEraseNegative", sector_erase_of(-1), {}, {}, FLASH_ERR_RANGE, {}},
        Case{"ControlChipEraseWrenFails",
             control_chip_erase,
             {},
             fail_write(1),
             FLASH_ERR_TRANSFER,
             {kWren}}),
    case_name<Case>);

// A full page travels in one write of 272 bytes with the length field 03 01.
TEST(FlashProgram, FullPageIsOneWriteOf272Bytes) {
    ScriptedDriver driver;
    driver.answer({0x00});
    BoundDriver bound(driver);
    Bytes page = pattern(256);
    ASSERT_EQ(flash_program(ScriptedDriver::handle(), page.data(), 0x300, 256), FLASH_OK);
    auto writes = driver.calls_named("FT_Write");
    const Bytes& pp = writes[1].bytes;
    ASSERT_EQ(pp.size(), 272u);
    EXPECT_EQ(Bytes(pp.begin() + 3, pp.begin() + 10),
              (Bytes{0x11, 0x03, 0x01, 0x02, 0x00, 0x03, 0x00}));
    EXPECT_EQ(Bytes(pp.begin() + 10, pp.begin() + 266), page);
}

// --- no answer byte taken for another transaction's ---------------------------------

// A device answer to one write: bytes queued at once and bytes still on their
// way, arriving 2 ms later (after the read, before the next transaction).
struct Reply {
    Bytes now;
    Bytes late = {};
};

// What an operation hands back: its result and the bytes it read.
using Op = std::function<std::pair<std::int32_t, Bytes>(FT_HANDLE)>;

std::pair<std::int32_t, Bytes> read4(FT_HANDLE h) {
    Bytes data(4, 0xEE);
    return {flash_read(h, data.data(), 0x100, 4), data};
}
std::pair<std::int32_t, Bytes> status_op(FT_HANDLE h) {
    std::uint32_t status = kUntouched;
    std::int32_t result = flash_read_status(h, &status);
    return {result, {static_cast<std::uint8_t>(status)}};
}
std::pair<std::int32_t, Bytes> ready_op(FT_HANDLE h) {
    return {flash_wait_ready(h), {}};
}
std::pair<std::int32_t, Bytes> id_op(FT_HANDLE h) {
    std::uint32_t maker = 0;
    std::uint32_t device = 0;
    std::uint32_t status = 0;
    return {flash_read_id(h, &maker, &device, &status), {}};
}

struct DrainCase {
    std::string name;
    Op first;  // runs into the fault
    std::int32_t first_result;
    bool read_fails;             // the first FT_Read fails
    std::uint32_t short_write;   // the first FT_Write delivers this many bytes (0: all)
    std::vector<Reply> replies;  // to the RDSR and RDID frames, in order
    Reply read_reply;            // to the READ frame
    Op second;
    Bytes second_bytes;  // what the second operation must read
};

class FlashDrain : public testing::TestWithParam<DrainCase> {};

TEST_P(FlashDrain, TheNextTransactionGetsItsOwnAnswer) {
    const DrainCase& c = GetParam();
    ScriptedDriver driver;
    if (c.read_fails) {
        driver.fail("FT_Read", 1);
    }
    if (c.short_write != 0) {
        driver.short_write(1, c.short_write);
    }
    auto next = std::make_shared<std::size_t>(0);
    driver.on_write = [&c, next](ScriptedDriver& d, const Bytes& bytes) {
        const bool read = bytes.size() == 19 && bytes[6] == 0x03;
        if (read || *next < c.replies.size()) {
            const Reply& reply = read ? c.read_reply : c.replies[(*next)++];
            d.answer(reply.now);
            d.answer_later(2, reply.late);
        }
    };
    BoundDriver bound(driver);
    ConsoleCapture console;
    EXPECT_EQ(c.first(ScriptedDriver::handle()).first, c.first_result);
    auto second = c.second(ScriptedDriver::handle());
    EXPECT_EQ(second.first, FLASH_OK);
    EXPECT_EQ(second.second, c.second_bytes);
}

const Bytes kData = {0x11, 0x22, 0x33, 0x44};

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Cases, FlashDrain,
    testing::Values(
        DrainCase{"FailedReadLeavesItsAnswer", read4, FLASH_ERR_TRANSFER, true, 0,
                  {{{0x02}}}, {{9, 8, 7, 6}}, status_op, {0x02}},
        DrainCase{"ShortReadWhoseLastByteComesLate", read4, FLASH_ERR_TRANSFER, false, 0,
                  {{{0x02}}}, {{9, 8, 7}, {6}}, status_op, {0x02}},
        DrainCase{"ShortIdRead", id_op, FLASH_ERR_TRANSFER, false, 0,
                  {{{0x20, 0x20}, {0x15}}}, {kData}, read4, kData},
        DrainCase{"ShortPollWriteWhoseAnswerCame", status_op, FLASH_ERR_TRANSFER, false, 13,
                  {{{0x05}}}, {kData}, read4, kData},
        // The failed poll counts as busy; the next one gets the chip's "ready".
        DrainCase{"FailedPollThenReady", ready_op, 0, true, 0,
                  {{{0x01}}, {{0x00}}, {{0x00}}}, {kData}, read4, kData}),
    case_name<DrainCase>);
// clang-format on

}  // namespace
