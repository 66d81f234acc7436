// The simulated chip as the M25P16 model, against that part's datasheet
// behaviour, driven bit by bit as a host drives S#, C and D.
#include "sim/spi_nor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "case_name.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kSize = sim::SpiNor::kSize;

// Instruction codes and status bits from the datasheet.
constexpr std::uint8_t kWrsr = 0x01, kPp = 0x02, kRead = 0x03, kWrdi = 0x04, kRdsr = 0x05,
                       kWren = 0x06, kFastRead = 0x0B, kRdid = 0x9F, kRes = 0xAB, kDp = 0xB9,
                       kBe = 0xC7, kSe = 0xD8;
constexpr std::uint8_t kWip = 0x01, kWel = 0x02;

// An opcode followed by a 24-bit address, MSB first, and further bytes.
Bytes with_address(std::uint8_t opcode, std::uint32_t address, const Bytes& tail = {}) {
    Bytes bytes(4 + tail.size());
    bytes[0] = opcode;
    bytes[1] = static_cast<std::uint8_t>(address >> 16);
    bytes[2] = static_cast<std::uint8_t>(address >> 8);
    bytes[3] = static_cast<std::uint8_t>(address);
    std::copy(tail.begin(), tail.end(), bytes.begin() + 4);
    return bytes;
}

// One S#-low period: whole bytes, then `extra_bits` clocks with D low.
struct Tx {
    Bytes bytes;
    int extra_bits = 0;
};

// The chip on a bus: the memory it owns, the clock it reads.
struct Board {
    explicit Board(sim::ChipTiming timing = sim::ChipTiming::zero(), sim::ChipFaults faults = {},
                   std::uint8_t fill = 0xFF, const sim::ChipModel& model = sim::default_model())
        : memory(kSize, fill), chip(memory.data(), clock, timing, faults, model) {
        chip.set_select(true);
    }

    std::uint8_t byte(std::uint8_t out) {
        std::uint8_t q = 0;
        for (int shift = 7; shift >= 0; --shift) {
            q = static_cast<std::uint8_t>((q << 1) | (chip.clock(((out >> shift) & 1) != 0)));
        }
        return q;
    }

    // Sends `out`, then clocks `read` bytes with D low and returns Q during them.
    Bytes transact(const Bytes& out, std::size_t read = 0, int extra_bits = 0) {
        chip.set_select(false);
        for (std::uint8_t b : out) {
            byte(b);
        }
        Bytes in;
        for (std::size_t i = 0; i < read; ++i) {
            in.push_back(byte(0x00));
        }
        for (int i = 0; i < extra_bits; ++i) {
            chip.clock(false);
        }
        chip.set_select(true);
        return in;
    }

    void run(const std::vector<Tx>& script) {
        for (const Tx& tx : script) {
            transact(tx.bytes, 0, tx.extra_bits);
        }
    }

    void write_status(std::uint8_t value) { run({{{kWren}}, {{kWrsr, value}}}); }

    sim::VirtualClock clock;
    Bytes memory;
    sim::SpiNor chip;
};

// --- write-type instructions: WEL, byte boundary, PP, SE, BE, WRSR ----------

Bytes counting_then(std::uint8_t last) {
    Bytes data(256);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i);
    }
    data.push_back(last);
    return data;
}

struct WriteCase {
    const char* name;
    std::uint8_t fill;  // memory before the script
    std::vector<Tx> script;
    std::uint8_t status;
    std::vector<std::pair<std::uint32_t, std::uint8_t>> expect;  // memory after
    std::uint64_t page_programs = 0;
    std::uint64_t sector_erases = 0;
    std::uint64_t bulk_erases = 0;
};

class WriteTest : public testing::TestWithParam<WriteCase> {};

TEST_P(WriteTest, ActsAtSelectRise) {
    const WriteCase& c = GetParam();
    Board board(sim::ChipTiming::zero(), {}, c.fill);
    board.run(c.script);
    EXPECT_EQ(board.chip.status(), c.status);
    for (const auto& [address, value] : c.expect) {
        EXPECT_EQ(board.memory[address], value) << std::hex << "at 0x" << address;
    }
    EXPECT_EQ(board.chip.counters().page_programs, c.page_programs);
    EXPECT_EQ(board.chip.counters().sector_erases, c.sector_erases);
    EXPECT_EQ(board.chip.counters().bulk_erases, c.bulk_erases);
}

INSTANTIATE_TEST_SUITE_P(
    M25P16, WriteTest,
    testing::Values(
        WriteCase{"wren_sets_wel", 0xFF, {{{kWren}}}, kWel, {}},
        WriteCase{"wrdi_clears_wel", 0xFF, {{{kWren}}, {{kWrdi}}}, 0, {}},
        WriteCase{"wren_cut_short", 0xFF, {{{}, 7}}, 0, {}},
        WriteCase{"wren_one_clock_too_many", 0xFF, {{{kWren}, 1}}, 0, {}},
        WriteCase{"wren_byte_too_many", 0xFF, {{{kWren, 0x00}}}, 0, {}},
        WriteCase{"wrdi_off_boundary", 0xFF, {{{kWren}}, {{kWrdi}, 3}}, kWel, {}},
        WriteCase{"pp_programs_and_clears_wel",
                  0xFF,
                  {{{kWren}}, {with_address(kPp, 0x000010, {0xA5, 0x3C})}},
                  0,
                  {{0x00000F, 0xFF}, {0x000010, 0xA5}, {0x000011, 0x3C}, {0x000012, 0xFF}},
                  1},
        WriteCase{"pp_needs_wel", 0xFF, {{with_address(kPp, 0x10, {0x00})}}, 0, {{0x10, 0xFF}}},
        WriteCase{"pp_off_boundary",
                  0xFF,
                  {{{kWren}}, {with_address(kPp, 0x10, {0x00}), 3}},
                  kWel,
                  {{0x10, 0xFF}}},
        WriteCase{"pp_without_data", 0xFF, {{{kWren}}, {with_address(kPp, 0x10)}}, kWel, {}},
        WriteCase{"pp_only_clears_bits",
                  0xFF,
                  {{{kWren}},
                   {with_address(kPp, 0x20, {0x0F})},
                   {{kWren}},
                   {with_address(kPp, 0x20, {0xF5})}},
                  0,
                  {{0x20, 0x05}},
                  2},
        WriteCase{"pp_wraps_inside_page",
                  0xFF,
                  {{{kWren}}, {with_address(kPp, 0x0012FE, {0x11, 0x22, 0x33})}},
                  0,
                  {{0x0012FE, 0x11}, {0x0012FF, 0x22}, {0x001200, 0x33}, {0x001300, 0xFF}},
                  1},
        WriteCase{"pp_last_256_bytes_win",
                  0xFF,
                  {{{kWren}}, {with_address(kPp, 0x000100, counting_then(0x7E))}},
                  0,
                  {{0x000100, 0x7E}, {0x000101, 0x01}, {0x0001FF, 0xFF}},
                  1},
        WriteCase{"pp_ignores_address_bits_above_2mib",
                  0xFF,
                  {{{kWren}}, {with_address(kPp, 0xE00010, {0x42})}},
                  0,
                  {{0x000010, 0x42}},
                  1},
        WriteCase{"se_erases_whole_sector",
                  0x00,
                  {{{kWren}}, {with_address(kSe, 0x01ABCD)}},
                  0,
                  {{0x00FFFF, 0x00}, {0x010000, 0xFF}, {0x01FFFF, 0xFF}, {0x020000, 0x00}},
                  0,
                  1},
        WriteCase{"se_ignores_address_bits_above_2mib",
                  0x00,
                  {{{kWren}}, {with_address(kSe, 0xFF0000)}},
                  0,
                  {{0x1F0000, 0xFF}, {0x1EFFFF, 0x00}},
                  0,
                  1},
        WriteCase{"se_needs_wel", 0x00, {{with_address(kSe, 0x010000)}}, 0, {{0x010000, 0x00}}},
        WriteCase{"se_byte_too_many",
                  0x00,
                  {{{kWren}}, {with_address(kSe, 0x010000, {0x00})}},
                  kWel,
                  {{0x010000, 0x00}}},
        WriteCase{
            "se_address_short", 0x00, {{{kWren}}, {{kSe, 0x01, 0x00}}}, kWel, {{0x010000, 0x00}}},
        WriteCase{"be_erases_chip",
                  0x00,
                  {{{kWren}}, {{kBe}}},
                  0,
                  {{0x000000, 0xFF}, {0x1FFFFF, 0xFF}},
                  0,
                  0,
                  1},
        WriteCase{"be_needs_wel", 0x00, {{{kBe}}}, 0, {{0x000000, 0x00}}},
        WriteCase{"be_byte_too_many", 0x00, {{{kWren}}, {{kBe, 0xC7}}}, kWel, {{0, 0x00}}},
        WriteCase{"wrsr_sets_srwd_and_bp", 0xFF, {{{kWren}}, {{kWrsr, 0x9C}}}, 0x9C, {}},
        WriteCase{"wrsr_keeps_only_srwd_and_bp", 0xFF, {{{kWren}}, {{kWrsr, 0xFF}}}, 0x9C, {}},
        WriteCase{"wrsr_needs_wel", 0xFF, {{{kWrsr, 0x9C}}}, 0, {}},
        WriteCase{"wrsr_without_data", 0xFF, {{{kWren}}, {{kWrsr}}}, kWel, {}},
        WriteCase{"wrsr_byte_too_many", 0xFF, {{{kWren}}, {{kWrsr, 0x9C, 0x00}}}, kWel, {}},
        WriteCase{"wrsr_off_boundary", 0xFF, {{{kWren}}, {{kWrsr, 0x9C}, 1}}, kWel, {}},
        WriteCase{"wrsr_srwd_does_not_lock_with_w_high",
                  0xFF,
                  {{{kWren}}, {{kWrsr, 0x80}}, {{kWren}}, {{kWrsr, 0x04}}},
                  0x04,
                  {}}),
    case_name<WriteCase>);

// --- block protection ---------------------------------------------------------

struct ProtectionCase {
    const char* name;
    std::uint8_t bp;
    std::uint32_t first_protected;  // kSize: nothing protected
};

class ProtectionTest : public testing::TestWithParam<ProtectionCase> {};

TEST_P(ProtectionTest, GuardsUpperArea) {
    const ProtectionCase& c = GetParam();
    const std::uint8_t bp_bits = static_cast<std::uint8_t>(c.bp << 2);
    Board board(sim::ChipTiming::zero(), {}, 0x00);
    board.write_status(bp_bits);
    ASSERT_EQ(board.chip.status(), bp_bits);

    if (c.first_protected > 0) {  // the last byte below the area is writable
        const std::uint32_t below = c.first_protected - 1;
        board.run({{{kWren}}, {with_address(kSe, below)}});
        EXPECT_EQ(board.memory[below], 0xFF);
        EXPECT_EQ(board.chip.status(), bp_bits);
    }
    if (c.first_protected < kSize) {  // PP and SE into the area: not executed, WEL kept
        board.memory[c.first_protected] = 0xFF;
        board.run({{{kWren}}, {with_address(kPp, c.first_protected, {0x00})}});
        EXPECT_EQ(board.memory[c.first_protected], 0xFF);
        EXPECT_EQ(board.chip.status(), bp_bits | kWel);
        board.memory[c.first_protected] = 0x00;
        board.run({{with_address(kSe, kSize - 1)}});
        EXPECT_EQ(board.memory[c.first_protected], 0x00);
        EXPECT_EQ(board.memory[kSize - 1], 0x00);
        EXPECT_EQ(board.chip.status(), bp_bits | kWel);
    }
    // BE only with nothing protected.
    board.memory[0] = 0x00;
    board.run({{{kWren}}, {{kBe}}});
    EXPECT_EQ(board.memory[0], c.bp == 0 ? 0xFF : 0x00);
    EXPECT_EQ(board.chip.counters().bulk_erases, c.bp == 0 ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(M25P16, ProtectionTest,
                         testing::Values(ProtectionCase{"bp000_none", 0, kSize},
                                         ProtectionCase{"bp001_upper_32nd", 1, 0x1F0000},
                                         ProtectionCase{"bp010_upper_16th", 2, 0x1E0000},
                                         ProtectionCase{"bp011_upper_8th", 3, 0x1C0000},
                                         ProtectionCase{"bp100_upper_quarter", 4, 0x180000},
                                         ProtectionCase{"bp101_upper_half", 5, 0x100000},
                                         ProtectionCase{"bp110_all", 6, 0},
                                         ProtectionCase{"bp111_all", 7, 0}),
                         case_name<ProtectionCase>);

// --- read-type instructions -----------------------------------------------------

struct ReadCase {
    const char* name;
    Bytes out;
    std::size_t read;
    Bytes expect;
};

class ReadTest : public testing::TestWithParam<ReadCase> {};

TEST_P(ReadTest, Answers) {
    const ReadCase& c = GetParam();
    Board board;
    board.memory[0x1FFFFE] = 0x12;
    board.memory[0x1FFFFF] = 0x34;
    board.memory[0x000000] = 0x56;
    board.memory[0x000010] = 0x78;
    board.run({{{kWren}}});
    EXPECT_EQ(board.transact(c.out, c.read), c.expect);
}

const Bytes kIdentity = {0x20, 0x20, 0x15, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

INSTANTIATE_TEST_SUITE_P(
    M25P16, ReadTest,
    testing::Values(
        ReadCase{"rdid", {kRdid}, 20, kIdentity},
        ReadCase{"rdsr_repeats", {kRdsr}, 3, {kWel, kWel, kWel}},
        ReadCase{"read_rolls_over_top", with_address(kRead, 0x1FFFFE), 4, {0x12, 0x34, 0x56, 0xFF}},
        ReadCase{
            "read_ignores_address_bits_above_2mib", with_address(kRead, 0xFFFFFF), 2, {0x34, 0x56}},
        ReadCase{"fast_read_skips_dummy_byte",
                 with_address(kFastRead, 0x000010, {0x00}),
                 2,
                 {0x78, 0xFF}},
        ReadCase{"res_signature_after_three_dummies", {kRes, 0, 0, 0}, 2, {0x14, 0x14}},
        ReadCase{"q_floats_during_address", {kRead, 0x00}, 2, {0xFF, 0xFF}},
        ReadCase{"unknown_opcode_floats", {0x5A}, 2, {0xFF, 0xFF}}),
    case_name<ReadCase>);

// --- what tells the models apart ------------------------------------------------

// Each model's erase instructions, from its datasheet: the aligned area each
// erases around an address inside sector 10 (the chip: all of it; 0: the
// model does not have the instruction, which then changes nothing).
struct EraseCase {
    const char* name;
    const char* model;
    std::uint8_t opcode;
    std::uint32_t size;
};

class EraseTest : public testing::TestWithParam<EraseCase> {};

TEST_P(EraseTest, ErasesItsAreaAndCountsItBySize) {
    const EraseCase& c = GetParam();
    Board board(sim::ChipTiming::zero(), {}, 0x00, *sim::find_model(c.model));
    constexpr std::uint32_t kAddress = 0x0ABCDE;
    const bool whole = c.opcode == kBe || c.opcode == 0x60;
    board.run({{{kWren}}, {whole ? Bytes{c.opcode} : with_address(c.opcode, kAddress)}});
    const auto erased =
        static_cast<std::size_t>(std::count(board.memory.begin(), board.memory.end(), 0xFF));
    EXPECT_EQ(erased, c.size);
    if (c.size != 0) {
        const std::uint32_t base = kAddress & ~(c.size - 1);
        EXPECT_EQ(board.memory[base], 0xFF);
        EXPECT_EQ(board.memory[base + c.size - 1], 0xFF);
    }
    EXPECT_EQ(board.chip.status(), c.size == 0 ? kWel : 0);
    const sim::ChipCounters& counters = board.chip.counters();
    EXPECT_EQ(counters.erases_4k, c.size == 0x1000 ? 1U : 0U);
    EXPECT_EQ(counters.erases_32k, c.size == 0x8000 ? 1U : 0U);
    EXPECT_EQ(counters.sector_erases, c.size == 0x10000 ? 1U : 0U);
    EXPECT_EQ(counters.bulk_erases, c.size == kSize ? 1U : 0U);
}

INSTANTIATE_TEST_SUITE_P(Models, EraseTest,
                         testing::Values(EraseCase{"m25p16_d8", "m25p16", kSe, 0x10000},
                                         EraseCase{"m25p16_c7", "m25p16", kBe, kSize},
                                         EraseCase{"m25p16_has_no_20", "m25p16", 0x20, 0},
                                         EraseCase{"m25p16_has_no_52", "m25p16", 0x52, 0},
                                         EraseCase{"m25p16_has_no_60", "m25p16", 0x60, 0},
                                         EraseCase{"w25q16jv_20", "w25q16jv", 0x20, 0x1000},
                                         EraseCase{"w25q16jv_52", "w25q16jv", 0x52, 0x8000},
                                         EraseCase{"w25q16jv_d8", "w25q16jv", kSe, 0x10000},
                                         EraseCase{"w25q16jv_c7", "w25q16jv", kBe, kSize},
                                         EraseCase{"w25q16jv_60", "w25q16jv", 0x60, kSize},
                                         EraseCase{"at25sf161b_20", "at25sf161b", 0x20, 0x1000},
                                         EraseCase{"at25sf161b_52", "at25sf161b", 0x52, 0x8000},
                                         EraseCase{"at25sf161b_d8", "at25sf161b", kSe, 0x10000},
                                         EraseCase{"at25sf161b_60", "at25sf161b", 0x60, kSize}),
                         case_name<EraseCase>);

// The answers that differ from model to model: RDID, register 2, the unique
// ID and SFDP.
struct ModelReadCase {
    const char* name;
    const char* model;
    Bytes out;
    std::size_t read;
    Bytes expect;
};

class ModelReadTest : public testing::TestWithParam<ModelReadCase> {};

TEST_P(ModelReadTest, Answers) {
    const ModelReadCase& c = GetParam();
    Board board(sim::ChipTiming::zero(), {}, 0xFF, *sim::find_model(c.model));
    board.chip.set_unique_id(0x0102030405060708);
    EXPECT_EQ(board.transact(c.out, c.read), c.expect);
}

INSTANTIATE_TEST_SUITE_P(
    Models, ModelReadTest,
    testing::Values(
        ModelReadCase{"w25q16jv_rdid", "w25q16jv", {kRdid}, 5, {0xEF, 0x40, 0x15, 0x00, 0x00}},
        ModelReadCase{"at25sf161b_rdid", "at25sf161b", {kRdid}, 4, {0x1F, 0x86, 0x01, 0x00}},
        ModelReadCase{"none_rdid_reads_ones", "none", {kRdid}, 3, {0xFF, 0xFF, 0xFF}},
        ModelReadCase{"w25q16jv_register_2_qe_from_factory", "w25q16jv", {0x35}, 2, {0x02, 0x02}},
        ModelReadCase{"at25sf161b_register_2_clear", "at25sf161b", {0x35}, 1, {0x00}},
        ModelReadCase{"m25p16_has_no_register_2", "m25p16", {0x35}, 1, {0xFF}},
        ModelReadCase{"w25q16jv_unique_id_8_bytes",
                      "w25q16jv",
                      {0x4B, 0, 0, 0, 0},
                      10,
                      {1, 2, 3, 4, 5, 6, 7, 8, 0xFF, 0xFF}},
        ModelReadCase{"at25sf161b_unique_id_8_bytes",
                      "at25sf161b",
                      {0x4B, 0, 0, 0, 0},
                      9,
                      {1, 2, 3, 4, 5, 6, 7, 8, 0xFF}},
        ModelReadCase{"m25p16_has_no_unique_id", "m25p16", {0x4B, 0, 0, 0, 0}, 2, {0xFF, 0xFF}},
        ModelReadCase{"w25q16jv_sfdp_signature",
                      "w25q16jv",
                      with_address(0x5A, 0, {0}),
                      4,
                      {'S', 'F', 'D', 'P'}},
        // The BFPT's DWORD2 (16 Mbit) and DWORD8 (types 1 and 2: 4 KiB 0x20, 32 KiB 0x52).
        ModelReadCase{"w25q16jv_sfdp_density",
                      "w25q16jv",
                      with_address(0x5A, 0x84, {0}),
                      4,
                      {0xFF, 0xFF, 0xFF, 0x00}},
        ModelReadCase{"at25sf161b_sfdp_erase_types",
                      "at25sf161b",
                      with_address(0x5A, 0x9C, {0}),
                      4,
                      {0x0C, 0x20, 0x0F, 0x52}},
        ModelReadCase{"sfdp_past_the_table_reads_ones",
                      "w25q16jv",
                      with_address(0x5A, 0xBE, {0}),
                      4,
                      {0x00, 0x00, 0xFF, 0xFF}}),
    case_name<ModelReadCase>);

TEST(M25P16, RdsrBitsFollowOpcodeMsbFirst) {
    Board board;
    board.write_status(0x14);
    board.run({{{kWren}}});
    board.chip.set_select(false);
    board.byte(kRdsr);
    std::vector<bool> bits;
    for (int i = 0; i < 8; ++i) {
        bits.push_back(board.chip.clock(false));
    }
    EXPECT_EQ(bits, (std::vector<bool>{false, false, false, true, false, true, true, false}));
}

TEST(M25P16, ReadCutMidByteLeavesNextInstructionIntact) {
    Board board;
    board.memory[0x20] = 0xC3;
    board.transact(with_address(kRead, 0x20), 0, 5);
    EXPECT_EQ(board.transact(with_address(kRead, 0x20), 1), Bytes{0xC3});
    board.run({{{kWren}}});
    EXPECT_EQ(board.chip.status(), kWel);
    EXPECT_EQ(board.chip.counters().transactions, 3u);
}

// --- write cycles in virtual time ---------------------------------------------

struct BusyCase {
    const char* name;
    std::vector<Tx> write;
    bool maximum;
    std::uint64_t busy_ns;
};

class BusyTest : public testing::TestWithParam<BusyCase> {};

TEST_P(BusyTest, WipLastsTheCycleTime) {
    const BusyCase& c = GetParam();
    Board board(c.maximum ? sim::ChipTiming::maximum() : sim::ChipTiming::typical());
    board.clock.advance(12345);  // the cycle runs from the S# rise, not from time 0
    board.run({{{kWren}}});
    board.run(c.write);
    EXPECT_EQ(board.chip.status() & (kWip | kWel), kWip | kWel);
    board.clock.advance(c.busy_ns - 1);
    EXPECT_EQ(board.transact({kRdsr}, 1)[0] & (kWip | kWel), kWip | kWel);
    board.clock.advance(1);
    EXPECT_EQ(board.transact({kRdsr}, 1)[0] & (kWip | kWel), 0);
}

INSTANTIATE_TEST_SUITE_P(
    M25P16, BusyTest,
    testing::Values(BusyCase{"pp_typical", {{with_address(kPp, 0, {0})}}, false, 640'000},
                    BusyCase{"se_typical", {{with_address(kSe, 0)}}, false, 600'000'000},
                    BusyCase{"be_typical", {{{kBe}}}, false, 13'000'000'000},
                    BusyCase{"wrsr_typical", {{{kWrsr, 0x00}}}, false, 1'300'000},
                    BusyCase{"pp_maximum", {{with_address(kPp, 0, {0})}}, true, 5'000'000},
                    BusyCase{"se_maximum", {{with_address(kSe, 0)}}, true, 3'000'000'000},
                    BusyCase{"be_maximum", {{{kBe}}}, true, 40'000'000'000},
                    BusyCase{"wrsr_maximum", {{{kWrsr, 0x00}}}, true, 15'000'000}),
    case_name<BusyCase>);

TEST(M25P16, OnlyRdsrIsDecodedWhileBusy) {
    Board board(sim::ChipTiming::typical());
    board.memory[0x300] = 0x99;
    board.run({{{kWren}}, {with_address(kPp, 0x000100, {0x0F})}});
    EXPECT_EQ(board.transact(with_address(kRead, 0x300), 1), Bytes{0xFF});
    EXPECT_EQ(board.transact({kRdid}, 1), Bytes{0xFF});
    EXPECT_EQ(board.transact({kRes, 0, 0, 0}, 1), Bytes{0xFF});
    board.run({{with_address(kPp, 0x000100, {0x00})}, {with_address(kSe, 0)}, {{kWrdi}}});
    EXPECT_EQ(board.chip.status(), kWip | kWel);  // WRDI did not touch the cycle
    board.clock.advance(640'000);
    EXPECT_EQ(board.chip.status(), 0);
    EXPECT_EQ(board.memory[0x100], 0x0F);
    EXPECT_EQ(board.chip.counters().page_programs, 1u);
    EXPECT_EQ(board.chip.counters().sector_erases, 0u);
    EXPECT_EQ(board.transact(with_address(kRead, 0x300), 1), Bytes{0x99});
}

TEST(M25P16, RdsrShowsLiveStatusWithinOneTransaction) {
    Board board(sim::ChipTiming::typical());
    board.run({{{kWren}}, {with_address(kPp, 0, {0})}});
    board.chip.set_select(false);
    board.byte(kRdsr);
    EXPECT_EQ(board.byte(0), kWip | kWel);
    board.clock.advance(640'000);
    board.byte(0);  // may have been loaded before the cycle ended
    EXPECT_EQ(board.byte(0), 0);
    board.chip.set_select(true);
}

TEST(M25P16, WrsrShowsOldBitsUntilCycleEnds) {
    Board board(sim::ChipTiming::typical());
    board.write_status(0x08);
    board.clock.advance(1'300'000);
    board.run({{{kWren}}, {{kWrsr, 0x94}}});
    EXPECT_EQ(board.chip.status(), 0x08 | kWel | kWip);
    board.clock.advance(1'300'000);
    EXPECT_EQ(board.chip.status(), 0x94);
}

// --- deep power-down ---------------------------------------------------------------

TEST(M25P16, DeepPowerDownHearsOnlyRes) {
    Board board;
    board.memory[0] = 0x5C;
    board.run({{{kDp}}});
    EXPECT_EQ(board.transact({kRdid}, 1), Bytes{0xFF});
    EXPECT_EQ(board.transact({kRdsr}, 1), Bytes{0xFF});
    EXPECT_EQ(board.transact(with_address(kRead, 0), 1), Bytes{0xFF});
    board.run({{{kWren}}});
    EXPECT_EQ(board.transact({kRes}, 0, 0), Bytes{});  // opcode only: wakes, no signature
    EXPECT_EQ(board.chip.status(), 0);                 // the WREN was not heard
    // Nothing is heard until tRES (30 us) has passed.
    EXPECT_EQ(board.transact(with_address(kRead, 0), 1), Bytes{0xFF});
    board.clock.now_ns += 30'000;
    EXPECT_EQ(board.transact(with_address(kRead, 0), 1), Bytes{0x5C});

    board.run({{{kDp}}});
    EXPECT_EQ(board.transact({kRes, 0, 0, 0}, 2), (Bytes{0x14, 0x14}));
    board.clock.now_ns += 30'000;
    EXPECT_EQ(board.transact({kRdid}, 1), Bytes{0x20});
}

TEST(M25P16, DeepPowerDownOffBoundaryIsIgnored) {
    Board board;
    board.run({{{kDp}, 2}, {{kDp, 0x00}}});
    EXPECT_EQ(board.transact({kRdid}, 1), Bytes{0x20});
}

// --- faults ---------------------------------------------------------------------------

TEST(M25P16, StuckBusyNeverEndsTheCycle) {
    Board board(sim::ChipTiming::zero(), {.stuck_busy = true});
    EXPECT_EQ(board.transact({kRdsr}, 1), Bytes{0});  // idle until a cycle starts
    board.run({{{kWren}}, {with_address(kSe, 0)}});
    board.clock.advance(1'000'000'000'000);
    EXPECT_EQ(board.transact({kRdsr}, 1), Bytes{kWip | kWel});
}

TEST(M25P16, StuckZeroClearsBitZeroOnRead) {
    Board board(sim::ChipTiming::zero(), {.stuck_zero = true, .stuck_zero_address = 0x200011});
    EXPECT_EQ(board.transact(with_address(kRead, 0x10), 3), (Bytes{0xFF, 0xFE, 0xFF}));
    EXPECT_EQ(board.transact(with_address(kFastRead, 0x11, {0}), 1), Bytes{0xFE});
}

TEST(M25P16, StuckOneSetsBitZeroOnReadOnly) {
    Board board(sim::ChipTiming::zero(), {.stuck_one = true, .stuck_one_address = 0x200011}, 0x00);
    EXPECT_EQ(board.transact(with_address(kRead, 0x10), 3), (Bytes{0x00, 0x01, 0x00}));
    EXPECT_EQ(board.transact(with_address(kFastRead, 0x11, {0}), 1), Bytes{0x01});
    EXPECT_EQ(board.memory[0x11], 0x00);
}

// --- the byte fast path ----------------------------------------------------------------

// The same bit stream through clock() alone and through clock_byte() (often
// off a byte boundary) must give the same Q bits, memory and status.
TEST(M25P16, ClockByteMatchesEightClocks) {
    // Cycles short enough that some frames land while busy and some after.
    const sim::ChipTiming timing{300'000, 700'000, 2'000'000, 500'000};
    Board bits(timing);
    Board bytes(timing);
    const std::vector<Bytes> frames = {
        {kWren},
        with_address(kPp, 0x0001F0, {0x12, 0x34, 0x56}),
        {kRdsr, 0, 0},
        with_address(kRead, 0x0001EF, {0, 0, 0, 0, 0}),
        {kWren},
        {kWrsr, 0x0C},
        {kRdid, 0, 0, 0, 0, 0},
        with_address(kFastRead, 0x0001F1, {0, 0, 0}),
        {kRes, 0, 0, 0, 0, 0},
        {kWren},
        with_address(kSe, 0x000000),
    };
    std::uint32_t seed = 12345;
    auto next = [&seed](std::uint32_t bound) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) % bound;
    };
    for (int round = 0; round < 40; ++round) {
        const Bytes& frame = frames[next(static_cast<std::uint32_t>(frames.size()))];
        std::vector<bool> stream;
        for (std::uint8_t b : frame) {
            for (int shift = 7; shift >= 0; --shift) {
                stream.push_back(((b >> shift) & 1) != 0);
            }
        }
        stream.resize(stream.size() + next(12), false);  // sometimes off a byte boundary
        std::vector<bool> q_bits, q_bytes;
        bits.chip.set_select(false);
        bytes.chip.set_select(false);
        for (bool d : stream) {
            q_bits.push_back(bits.chip.clock(d));
        }
        std::size_t i = 0;
        for (std::size_t lead = next(8); i < lead && i < stream.size(); ++i) {
            q_bytes.push_back(bytes.chip.clock(stream[i]));
        }
        for (; i + 8 <= stream.size(); i += 8) {
            std::uint8_t d = 0;
            for (std::size_t k = 0; k < 8; ++k) {
                d = static_cast<std::uint8_t>((d << 1) | (stream[i + k] ? 1 : 0));
            }
            const std::uint8_t q = bytes.chip.clock_byte(d);
            for (int shift = 7; shift >= 0; --shift) {
                q_bytes.push_back(((q >> shift) & 1) != 0);
            }
        }
        for (; i < stream.size(); ++i) {
            q_bytes.push_back(bytes.chip.clock(stream[i]));
        }
        bits.chip.set_select(true);
        bytes.chip.set_select(true);
        ASSERT_EQ(q_bits, q_bytes) << "round " << round;
        ASSERT_EQ(bits.chip.status(), bytes.chip.status()) << "round " << round;
        bits.clock.advance(400'000);
        bytes.clock.advance(400'000);
    }
    EXPECT_EQ(bits.memory, bytes.memory);
    EXPECT_EQ(bits.chip.counters().page_programs, bytes.chip.counters().page_programs);
    EXPECT_EQ(bytes.chip.clock_byte(0x9F), 0xFF);  // deselected: Q floats, nothing decoded
}

}  // namespace
