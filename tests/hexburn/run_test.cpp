// The whole job, end to end: images from real Intel HEX writers, every way a
// run can end, and faults of the board, checked on standard output, exit
// status and the whole flash afterwards.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "burn.h"
#include "case_name.h"
#include "process.h"

namespace {

const std::string kErased = "Erasing flash...\n\nFlash has been erased.\n";
const std::string kWriting = "Writing image into flash...\n";
const std::string kDone = "Process completed.\n";
const std::string kSuccess = "\nImage has been written successfully\n";

std::string success_text(int records) {
    return discovery_lines() + kErased + kWriting + dots(records) + kSuccess + kDone;
}

// Data records (type 00) in a HEX file.
int data_records(const std::string& hex_path) {
    std::ifstream in(hex_path);
    int count = 0;
    for (std::string line; std::getline(in, line);) {
        count += line.size() > 8 && line[0] == ':' && line.compare(7, 2, "00") == 0;
    }
    return count;
}

// One record line, with its line end.
std::string record(int type, int offset, const Bytes& data) {
    return record_text(type, static_cast<std::uint32_t>(offset), data) + "\n";
}

const std::string kEnd = ":00000001FF\n";

// n data records of 16 bytes each from address 0.
std::string records(int n, std::uint32_t seed = 7) {
    std::string text;
    for (int i = 0; i < n; ++i) {
        text += record(0, i * 16, pattern(16, seed + static_cast<std::uint32_t>(i)));
    }
    return text;
}

// The lines of a trace file.
std::vector<std::string> trace_lines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// ---------------------------------------------------------------------------
// The command line, as an operator types it.

const std::string kUsage =
    "Usage:\n"
    " hexburn.exe [-h] FILE\n"
    "  -h\t display this information\n"
    "  FILE\t ldr-file in HEX format to be burned into flash\n";

struct CommandCase {
    const char* name;
    std::vector<std::string> args;
    std::string driver;  // HEXBURN_DRIVER
    int exit_status;
    std::string out;  // after the banner
    bool complaint;   // one line on standard error
};

class CommandTest : public testing::TestWithParam<CommandCase> {};

TEST_P(CommandTest, PrintsAndExits) {
    const CommandCase& c = GetParam();
    std::vector<std::string> argv = {HEXBURN_EXE};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    ProcessResult run = run_process(argv, {"HEXBURN_DRIVER=" + c.driver});
    EXPECT_EQ(after_banner(run.out), c.out);
    EXPECT_EQ(run.exit_status, c.exit_status);
    if (c.complaint) {
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_NE(run.err.find("nonsense"), std::string::npos) << run.err;
    } else {
        EXPECT_EQ(run.err, "");
    }
}

const std::string kNoDevice = "Can't find FT2232H devices for flash programming!\n";

INSTANTIATE_TEST_SUITE_P(
    CommandLine, CommandTest,
    testing::Values(
        CommandCase{"NoArgument", {}, "sim", 1, "Insufficient arguments!\n" + kUsage, false},
        CommandCase{"Help", {"-h"}, "sim", 0, kUsage, false},
        CommandCase{"HelpWithMoreArguments", {"-h", "x.hex", "y"}, "sim", 0, kUsage, false},
        CommandCase{"HelpWithAnUnusableDriver", {"-h"}, "nonsense", 0, kUsage, true},
        CommandCase{"ImageWithAnUnusableDriver", {"x.hex"}, "nonsense", 1, kNoDevice, true},
        CommandCase{"UpperCaseHIsAnImagePath",
                    {"-H"},
                    "sim",
                    1,
                    discovery_lines() + "Can't open -H!\n" + kDone,
                    false},
        CommandCase{"LongHelpIsAnImagePath",
                    {"--help"},
                    "sim",
                    1,
                    discovery_lines() + "Can't open --help!\n" + kDone,
                    false}),
    case_name<CommandCase>);

// ---------------------------------------------------------------------------
// The DeviceID prompt, with a census of `boards` FT2232H chips: the answer is
// taken whole, and any listed index can be chosen.

struct PromptCase {
    const char* name;
    int boards;
    std::string input;
    int opened;  // the index opened, -1: "Incorrect DeviceID!"
};

class PromptTest : public testing::TestWithParam<PromptCase> {};

TEST_P(PromptTest, OpensWhatWasTyped) {
    const PromptCase& c = GetParam();
    ScratchDir scratch;
    std::string census;
    std::string listed = "Founded FT2232H devices:\n";
    for (int board = 0; board < c.boards; ++board) {
        census += "6\tA\tDual RS232-HS A\n6\tB\tDual RS232-HS B\n";
        listed +=
            "\tDeviceID=" + std::to_string(2 * board + 1) + ", description=\"Dual RS232-HS B\"\n";
    }
    write_file(scratch.path("census.txt"), census);
    write_file(scratch.path("image.hex"), records(8) + kEnd);
    Bytes before = pattern(kFlashSize, 13);
    BurnOptions options = holding(before);
    options.sim_options =
        "census=" + scratch.path("census.txt") + ",trace=" + scratch.path("trace.txt");
    options.input = c.input;
    Burn result = burn(scratch, scratch.path("image.hex"), options);
    std::vector<std::string> opens;
    for (const std::string& line : trace_lines(scratch.path("trace.txt"))) {
        if (line.rfind("FT_Open ", 0) == 0) {
            opens.push_back(line);
        }
    }
    std::string prompt = listed + "Enter device DeviceID from the list: ";
    if (c.opened < 0) {
        EXPECT_EQ(result.out, prompt + "Incorrect DeviceID!\n");
        EXPECT_EQ(result.exit_status, 1);
        EXPECT_TRUE(result.flash == before);
        EXPECT_TRUE(opens.empty());
    } else {
        EXPECT_EQ(result.out, prompt + kErased + kWriting + dots(8) + kSuccess + kDone);
        EXPECT_EQ(result.exit_status, 0);
        EXPECT_EQ(opens, std::vector<std::string>{"FT_Open " + std::to_string(c.opened) + " -> 0"});
    }
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, PromptTest,
    testing::Values(PromptCase{"ThirtyOneCharacters", 2, std::string(30, '0') + "3\n", 3},
                    // Cut to 31 characters this would read as 0.
                    PromptCase{"ThirtyFourCharacters", 2, std::string(33, '0') + "3\n", -1},
                    PromptCase{"NumberThenABlank", 2, "3 \n", 3},
                    PromptCase{"TheLastOfSeventy", 70, "139\n", 139}),
    case_name<PromptCase>);

// ---------------------------------------------------------------------------
// Images made by Intel HEX writers that are not ours.

struct ProducerCase {
    const char* name;
    std::string make;  // shell command: $BIN is a pattern binary, $HEX the image to write
};

class ProducerTest : public testing::TestWithParam<ProducerCase> {};

TEST_P(ProducerTest, FlashHoldsEveryByteBitReversedAtItsAddress) {
    ScratchDir scratch;
    std::string bin = scratch.path("in.bin");
    std::string hex = scratch.path("image.hex");
    write_bytes(bin, pattern(70000, 3));
    std::string command = GetParam().make;
    for (auto [key, value] : {std::pair{"$BIN", bin}, std::pair{"$HEX", hex}}) {
        for (auto at = command.find(key); at != std::string::npos; at = command.find(key)) {
            command.replace(at, 4, "'" + value + "'");
        }
    }
    shell(command);

    Burn result = burn(scratch, hex, holding(pattern(kFlashSize, 11)));
    EXPECT_EQ(result.out, success_text(data_records(hex)));
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_TRUE(result.err.empty()) << result.err;
    ASSERT_EQ(result.flash.size(), kFlashSize);
    EXPECT_TRUE(result.flash == expected_flash(scratch, hex));
}

INSTANTIATE_TEST_SUITE_P(
    Writers, ProducerTest,
    testing::Values(ProducerCase{"SrecordRecordsOf16",
                                 "srec_cat $BIN -binary -crop 0 5000 -offset 0x100 "
                                 "-o $HEX -intel -obs=16"},
                    ProducerCase{"SrecordRecordsOf32",
                                 "srec_cat $BIN -binary -crop 0 5000 -offset 0x3F0 "
                                 "-o $HEX -intel -obs=32"},
                    ProducerCase{"SrecordAbove64KiB",
                                 "srec_cat $BIN -binary -offset 0x1F800 -o $HEX -intel -obs=16"},
                    ProducerCase{"SrecordSegmented",
                                 "srec_cat $BIN -binary -crop 0 9000 -offset 0xFFF0 "
                                 "-o $HEX -intel --address-length=3 -obs=16"},
                    ProducerCase{"ObjcopyOfAProgram", "objcopy -O ihex /bin/true $HEX"}),
    case_name<ProducerCase>);

// ---------------------------------------------------------------------------
// Images refused before anything is erased: the board keeps what it held.

struct RefusedCase {
    const char* name;
    std::string image;  // file content
    std::string message;
};

class RefusedTest : public testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedTest, BoardIsLeftUntouched) {
    ScratchDir scratch;
    std::string hex = scratch.path("image.hex");
    write_file(hex, GetParam().image);
    Bytes before = pattern(kFlashSize, 5);
    Burn result = burn(scratch, hex, holding(before));
    EXPECT_EQ(result.out, discovery_lines() + GetParam().message + kDone);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_TRUE(result.flash == before);
}

std::string long_record(int length) {
    return record(0, 0, pattern(static_cast<std::size_t>(length), 9));
}

// The second half of `bytes`, and each of them with every bit flipped.
Bytes tail_of(const Bytes& bytes) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(bytes.size() / 2), bytes.end());
}
Bytes inverted(Bytes bytes) {
    for (auto& byte : bytes) {
        byte = static_cast<std::uint8_t>(~byte);
    }
    return bytes;
}

std::string cr(const std::string& text) {
    std::string out = text;
    std::replace(out.begin(), out.end(), '\n', '\r');
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    Images, RefusedTest,
    testing::Values(
        RefusedCase{"EmptyFile", "", "Incompleted file error!\n"},
        RefusedCase{"NoEndOfFileRecord", records(20), "Incompleted file error!\n"},
        RefusedCase{"BadChecksumOnLastLine", records(40) + ":0400000001020304F3\n" + kEnd,
                    "Incorrect file format!\n"},
        RefusedCase{"NotARecord", records(3) + "hello\n" + kEnd, "Incorrect file format!\n"},
        RefusedCase{"NonDigitAmongData", ":0400000001G20304F2\n" + kEnd,
                    "Incorrect file format!\n"},
        RefusedCase{"TwoRecordsOnOneLine",
                    ":0800000000112233445566771C:080008008899AABBCCDDEEFFD4\n" + kEnd,
                    "Incorrect file format!\n"},
        RefusedCase{"TextAfterTheChecksum", records(2) + ":00000001FF ; end\n",
                    "Incorrect file format!\n"},
        RefusedCase{"CrOnlyLineEnds", cr(records(3) + kEnd), "Incorrect file format!\n"},
        // 523 characters are a record of 255 bytes and CR LF; one more is too many.
        RefusedCase{"LineOf524Characters",
                    long_record(255).substr(0, 521) + std::string(" \r\n") + kEnd,
                    "Incorrect file format!\n"},
        RefusedCase{"ExtendedLinearOfThreeBytes", records(2) + record(4, 0, {0, 1, 0}) + kEnd,
                    "Incorrect extended address record in file!\n"},
        RefusedCase{"ExtendedSegmentOfOneByte", record(2, 0, {0x10}) + records(2) + kEnd,
                    "Incorrect extended address record in file!\n"},
        RefusedCase{"DataAboveTheChip", record(4, 0, {0x00, 0x20}) + records(1) + kEnd,
                    "Image does not fit into flash!\n"},
        RefusedCase{"DataAcrossTheEnd",
                    record(4, 0, {0x00, 0x1F}) + record(0, 0xFFF8, pattern(16, 1)) + kEnd,
                    "Image does not fit into flash!\n"},
        RefusedCase{"OverlappingRecords",
                    records(4) + record(0, 0x18, inverted(tail_of(pattern(16, 8)))) + kEnd,
                    "Overlapping records in file!\n"},
        // 0x10010 again, through a segment base: the same address another way.
        RefusedCase{"OverlapThroughAnotherBase",
                    record(4, 0, {0x00, 0x01}) + record(0, 0x10, {0x55}) +
                        record(2, 0, {0x10, 0x00}) + record(0, 0x10, {0xAA}) + kEnd,
                    "Overlapping records in file!\n"}),
    case_name<RefusedCase>);

TEST(Refused, PathsThatCannotBeRead) {
    ScratchDir scratch;
    Bytes before = pattern(kFlashSize, 6);
    for (const std::string& path : {scratch.path("missing.hex"), scratch.path("")}) {
        Burn result = burn(scratch, path, holding(before));
        EXPECT_EQ(result.out, discovery_lines() + "Can't open " + path + "!\n" + kDone);
        EXPECT_EQ(result.exit_status, 1);
        EXPECT_TRUE(result.flash == before);
    }
}

// ---------------------------------------------------------------------------
// Images that are written.

struct WrittenCase {
    const char* name;
    std::string image;
    int records;  // data records that print progress
};

class WrittenTest : public testing::TestWithParam<WrittenCase> {};

TEST_P(WrittenTest, OutputAndFlashAreExact) {
    const WrittenCase& c = GetParam();
    ScratchDir scratch;
    std::string hex = scratch.path("image.hex");
    write_file(hex, c.image);
    Burn result = burn(scratch, hex, holding(pattern(kFlashSize, 4)));
    EXPECT_EQ(result.out,
              discovery_lines() + kErased + kWriting + dots(c.records) + kSuccess + kDone);
    EXPECT_EQ(result.exit_status, 0);
    // Everything up to the end-of-file record, as srecord reads it.
    // (srecord takes no blanks after a checksum, nor do records hold any).
    std::string upto_end = c.image;
    std::erase_if(upto_end, [](char ch) { return ch == ' ' || ch == '\t'; });
    upto_end = upto_end.substr(0, upto_end.find(kEnd)) + kEnd;
    write_file(scratch.path("written.hex"), upto_end);
    Bytes erased(kFlashSize, 0xFF);
    EXPECT_TRUE(result.flash ==
                (c.records == 0 ? erased : expected_flash(scratch, scratch.path("written.hex"))));
}

std::string lower(std::string text) {
    for (char& ch : text) {
        ch = static_cast<char>(ch >= 'A' && ch <= 'F' ? ch - 'A' + 'a' : ch);
    }
    return text;
}

std::string crlf(const std::string& text) {
    std::string out;
    for (char ch : text) {
        out += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
    }
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    Images, WrittenTest,
    testing::Values(
        WrittenCase{"EndOfFileRecordOnly", kEnd, 0},
        WrittenCase{"LinesAfterTheEndAreNeverRead", records(9) + kEnd + "garbage\n:0G\n", 9},
        WrittenCase{"RecordOf249Bytes", long_record(249) + kEnd, 1},
        WrittenCase{"RecordOf250Bytes", long_record(250) + kEnd, 1},
        WrittenCase{"RecordOf255BytesCrLf", crlf(long_record(255) + kEnd), 1},
        WrittenCase{"BlanksAfterTheChecksums", ":0400000001020304F2 \t \r\n:00000001FF  \n", 1},
        WrittenCase{"RecordsRepeatingTheSameBytes",
                    records(4) + records(2) + record(0, 0x18, tail_of(pattern(16, 8))) + kEnd, 7},
        WrittenCase{"EmptyDataRecordCountsTowardsDots", records(7) + record(0, 0x400, {}) + kEnd,
                    8},
        WrittenCase{"OneFullLineOfDots", records(480) + kEnd, 480},
        WrittenCase{"OneRecordIntoTheNextLine", records(481) + kEnd, 481},
        WrittenCase{"CrLfLineEnds", crlf(records(30) + kEnd), 30},
        WrittenCase{"LowerCaseDigits", lower(records(30) + kEnd), 30},
        WrittenCase{"AcrossAPageBoundary", record(0, 0xF8, pattern(32, 2)) + kEnd, 1},
        WrittenCase{"SegmentThenLinearBase",
                    record(2, 0, {0x10, 0x00}) + record(0, 0x10, pattern(16, 3)) +
                        record(4, 0, {0x00, 0x03}) + record(0, 0x20, pattern(16, 4)) +
                        record(2, 0, {0x00, 0x01}) + record(0, 0x30, pattern(16, 5)) +
                        record(3, 0, {0, 0, 0, 0}) + record(5, 0, {0, 0, 1, 0}) + kEnd,
                    3}),
    case_name<WrittenCase>);

// ---------------------------------------------------------------------------
// Faults of the board, striking in the middle of a burn.

namespace faults {

// A transaction written as "FT_Write 80808b11LLHHii..." carries instruction ii.
bool carries(const std::string& line, const char* instruction) {
    const std::string prefix = "FT_Write 80808b11";
    return line.compare(0, prefix.size(), prefix) == 0 &&
           line.compare(prefix.size() + 4, 2, instruction) == 0;
}

struct Positions {
    int chip_erase_write = 0;         // FT_Write ordinal of the chip erase
    int page_program_write[64] = {};  // FT_Write ordinal of the nth page program (from 1)
    int read_answer[64] = {};         // FT_Read ordinal of the nth flash read's answer
};

// Where each page program and each flash read falls in a clean run.
Positions positions(const std::string& trace) {
    Positions at;
    int writes = 0, reads = 0, programs = 0, flash_reads = 0;
    bool answer_due = false;
    for (const std::string& line : trace_lines(trace)) {
        if (line.rfind("FT_Write ", 0) == 0) {
            ++writes;
            if (line.rfind("FT_Write 80808b1307c7", 0) == 0) {
                at.chip_erase_write = writes;
            }
            if (carries(line, "02") && programs < 63) {
                at.page_program_write[++programs] = writes;
            }
            answer_due = carries(line, "03");
        } else if (line.rfind("FT_Read ", 0) == 0) {
            ++reads;
            if (answer_due && flash_reads < 63) {
                at.read_answer[++flash_reads] = reads;
            }
            answer_due = false;
        }
    }
    return at;
}

const std::string kImage = records(24) + kEnd;

TEST(Faults, StuckZeroInsideTheErasedCheckArea) {
    ScratchDir scratch;
    write_file(scratch.path("image.hex"), kImage);
    BurnOptions options;
    options.sim_options = "fault=stuck-zero@0x7FF";
    Burn result = burn(scratch, scratch.path("image.hex"), options);
    EXPECT_EQ(result.out, discovery_lines() + "Erasing flash...\n\nErasing error!\n" + kDone);
    EXPECT_EQ(result.exit_status, 3);
}

TEST(Faults, StuckZeroWhereTheImageWritesAOne) {
    ScratchDir scratch;
    // 0x80 goes to the chip as 0x01: bit 0 set.
    write_file(scratch.path("image.hex"), records(16) + record(0, 0x1000, {0x80, 0x80}) + kEnd);
    BurnOptions options;
    options.sim_options = "fault=stuck-zero@0x1001";
    Burn result = burn(scratch, scratch.path("image.hex"), options);
    EXPECT_EQ(result.out,
              discovery_lines() + kErased + kWriting + dots(16) + "Writing check error!\n" + kDone);
    EXPECT_EQ(result.exit_status, 3);
}

TEST(Faults, StrikingInTheMiddleOfWriting) {
    ScratchDir scratch;
    std::string hex = scratch.path("image.hex");
    write_file(hex, kImage);
    BurnOptions clean;
    clean.sim_options = "trace=" + scratch.path("trace.txt");
    ASSERT_EQ(burn(scratch, hex, clean).exit_status, 0);
    Positions at = positions(scratch.path("trace.txt"));
    ASSERT_NE(at.page_program_write[11], 0);
    ASSERT_NE(at.read_answer[8 + 10], 0);  // eight reads check the erase

    struct Case {
        std::string fault;
        int records_written;
        std::string message;
        int exit_status;
    };
    for (const Case& c : {
             Case{"write-fail@" + std::to_string(at.page_program_write[11]), 10,
                  "Write error into flash!\n", 2},
             Case{"write-short@" + std::to_string(at.page_program_write[11]), 10,
                  "Write error into flash!\n", 2},
             Case{"read-short@" + std::to_string(at.read_answer[8 + 10]), 9,
                  "Writing check error!\n", 2},
             Case{"read-fail@" + std::to_string(at.read_answer[8 + 10]), 9,
                  "Writing check error!\n", 2},
         }) {
        SCOPED_TRACE(c.fault);
        BurnOptions options;
        options.sim_options = "fault=" + c.fault;
        Burn result = burn(scratch, hex, options);
        EXPECT_EQ(result.out, discovery_lines() + kErased + kWriting + dots(c.records_written) +
                                  c.message + kDone);
        EXPECT_EQ(result.exit_status, c.exit_status);
        // Nothing after the record that failed reached the chip.
        ASSERT_EQ(result.flash.size(), kFlashSize);
        for (std::size_t address = 11 * 16; address < 24 * 16; ++address) {
            ASSERT_EQ(result.flash[address], 0xFF) << address;
        }
    }
}

TEST(Faults, ChipThatNeverFinishesErasing) {
    ScratchDir scratch;
    write_file(scratch.path("image.hex"), kImage);
    BurnOptions options;
    options.sim_options = "fault=stuck-busy";
    Burn result = burn(scratch, scratch.path("image.hex"), options);
    // Twelve waits of 10000 polls at about 1 ms fill the erase's 120 s; a
    // line break ends the last, shorter line of dots.
    std::string progress = std::string(80, '.') + "\n" + std::string(40, '.') + "\n";
    EXPECT_EQ(result.out,
              discovery_lines() + "Erasing flash...\n" + progress + "Can't erase flash!\n" + kDone);
    EXPECT_EQ(result.exit_status, 2);
}

TEST(Faults, ChipThatNeverFinishesAPageProgram) {
    ScratchDir scratch;
    std::string hex = scratch.path("image.hex");
    write_file(hex, kImage);
    BurnOptions options;
    // Cycle 1 is the chip erase; cycle 12 programs the 11th record.
    options.sim_options = "fault=stuck-busy@12";
    Burn result = burn(scratch, hex, options);
    // The wait gives up after its polls, with a dot every 1024 of them.
    EXPECT_EQ(result.out, discovery_lines() + kErased + kWriting + dots(10) + std::string(10, '.') +
                              "Write error into flash!\n" + kDone);
    EXPECT_EQ(result.exit_status, 2);
    ASSERT_EQ(result.flash.size(), kFlashSize);
    write_file(scratch.path("ten.hex"), records(10) + kEnd);
    Bytes ten = expected_flash(scratch, scratch.path("ten.hex"));
    EXPECT_TRUE(std::equal(result.flash.begin(), result.flash.begin() + 10 * 16, ten.begin()));
    for (std::size_t address = 11 * 16; address < kFlashSize; ++address) {
        ASSERT_EQ(result.flash[address], 0xFF) << address;
    }
}

TEST(Faults, SetUpThatFails) {
    ScratchDir scratch;
    write_file(scratch.path("image.hex"), kImage);
    Bytes before = pattern(kFlashSize, 8);
    struct Case {
        const char* fault;
        std::string message;
    };
    for (const Case& c : {Case{"setup-fail", "fail on initialize FT2232H device!\n"},
                          Case{"no-echo", "fail to synchronize MPSSE with command 0xaa \n"}}) {
        SCOPED_TRACE(c.fault);
        BurnOptions options = holding(before);
        options.sim_options = std::string("fault=") + c.fault;
        Burn result = burn(scratch, scratch.path("image.hex"), options);
        EXPECT_EQ(result.out, discovery_lines() + c.message + kDone);
        EXPECT_EQ(result.exit_status, 2);
        EXPECT_TRUE(result.flash == before);
    }
}

// Interrupts: the run stops before the next record (after the erase, when
// it is erasing), puts the board down and says so.
TEST(Faults, InterruptedRunsPutTheBoardDown) {
    ScratchDir scratch;
    std::string hex = scratch.path("image.hex");
    std::string trace = scratch.path("trace.txt");
    write_file(hex, kImage);
    BurnOptions clean;
    clean.sim_options = "trace=" + trace;
    ASSERT_EQ(burn(scratch, hex, clean).exit_status, 0);
    Positions at = positions(trace);
    ASSERT_NE(at.chip_erase_write, 0);
    const std::string program11 = std::to_string(at.page_program_write[11]);

    struct Case {
        std::string faults;
        int records_written;  // the one in flight completes
        std::string out;
        int exit_status;  // -1: ended by the signal
    };
    const std::string writing = discovery_lines() + kErased + kWriting;
    for (const Case& c : {
             Case{"fault=sigint@" + program11, 11, writing + dots(11) + "Interrupted!\n" + kDone,
                  130},
             Case{"fault=sigterm@" + program11, 11, writing + dots(11) + "Interrupted!\n" + kDone,
                  143},
             Case{"fault=sighup@" + program11, 11, writing + dots(11) + "Interrupted!\n" + kDone,
                  129},
             // The erase started is waited out; nothing is written after it.
             Case{"fault=sigint@" + std::to_string(at.chip_erase_write), 0,
                  discovery_lines() + "Erasing flash...\n\nInterrupted!\n" + kDone, 130},
             // A second interrupt ends the program there and then.
             Case{"fault=sigint@" + program11 + ",fault=sigterm@" +
                      std::to_string(at.page_program_write[11] + 1),
                  10, writing + dots(10), -1},
         }) {
        SCOPED_TRACE(c.faults);
        std::remove(trace.c_str());
        BurnOptions options = holding(pattern(kFlashSize, 12));
        options.sim_options = c.faults + ",trace=" + trace;
        Burn result = burn(scratch, hex, options);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.exit_status, c.exit_status);
        Bytes written(kFlashSize, 0xFF);
        if (c.records_written > 0) {
            write_file(scratch.path("written.hex"), records(c.records_written) + kEnd);
            written = expected_flash(scratch, scratch.path("written.hex"));
        }
        ASSERT_EQ(result.flash.size(), kFlashSize);
        EXPECT_TRUE(std::equal(written.begin(), written.begin() + 16 * c.records_written,
                               result.flash.begin()));
        if (c.exit_status != -1) {
            // Erased, and nothing written after the interrupt; the pins let go.
            EXPECT_TRUE(std::all_of(result.flash.begin() + 16 * c.records_written,
                                    result.flash.end(), [](std::uint8_t b) { return b == 0xFF; }));
            std::vector<std::string> lines = trace_lines(trace);
            ASSERT_GE(lines.size(), 2u);
            EXPECT_EQ(lines[lines.size() - 2], "FT_Write 80088b -> 0 3");
            EXPECT_EQ(lines.back(), "FT_Close -> 0");
        }
    }
}

}  // namespace faults

// ---------------------------------------------------------------------------
// A console that cannot take the text: the burn goes on and ends as it would.

enum class Console { kReaderGone, kDescriptorsClosed };

// Runs the program on the simulated board with standard output a pipe whose
// reader is gone (as under `| head` once head has quit) and SIGPIPE as the
// shell leaves it, or with standard input, output and error closed. Returns
// the exit status, -1 when a signal ended it.
int run_with_console(Console console, const std::string& image, const std::string& driver) {
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0) {
        return -2;
    }
    close(pipe_ends[0]);
    pid_t pid = fork();
    if (pid == 0) {
        if (console == Console::kReaderGone) {
            dup2(pipe_ends[1], 1);
        } else {
            close(0);
            close(1);
            close(2);
        }
        close(pipe_ends[1]);
        signal(SIGPIPE, SIG_DFL);
        setenv("HEXBURN_DRIVER", driver.c_str(), 1);
        execl(HEXBURN_EXE, HEXBURN_EXE, image.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipe_ends[1]);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Console, OutputThatCannotBeWrittenDoesNotStopTheBurn) {
    ScratchDir scratch;
    std::string hex = scratch.path("image.hex");
    write_file(hex, records(100) + kEnd);
    Bytes expected = expected_flash(scratch, hex);
    for (Console console : {Console::kReaderGone, Console::kDescriptorsClosed}) {
        SCOPED_TRACE(console == Console::kReaderGone ? "reader gone" : "descriptors closed");
        std::string flash = scratch.path("flash.bin");
        std::string trace = scratch.path("trace.txt");
        std::remove(flash.c_str());
        std::remove(trace.c_str());
        EXPECT_EQ(
            run_with_console(console, hex, "sim:timing=zero,flash=" + flash + ",trace=" + trace),
            0);
        EXPECT_TRUE(read_bytes(flash) == expected);
        // The trace holds the board's calls and nothing of the console.
        Bytes traced = read_bytes(trace);
        EXPECT_EQ(std::string(traced.begin(), traced.end()).find("Process completed"),
                  std::string::npos);
    }
}

}  // namespace
