// The simulated board reached through the vendor loading path: the built
// program with HEXBURN_DRIVER=ftd2xx:<libhexburn_sim_d2xx.so> and the board's
// options in HEXBURN_SIM must do exactly what HEXBURN_DRIVER=sim:... does.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "burn.h"
#include "case_name.h"
#include "process.h"

namespace {

// What one run left behind.
struct Outcome {
    ProcessResult run;
    Bytes flash;
    std::string trace;
    std::string report;
};

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The report without its virtual time: through the library the program's
// settle sleeps are real ones, which the board's clock does not see.
std::string without_time(const std::string& report) {
    std::string::size_type at = report.find("\"virtual_seconds\"");
    return at == std::string::npos ? report : report.substr(report.find('\n', at));
}

// Runs the program on a board holding `before`, its files named after `tag`.
Outcome run_board(const ScratchDir& scratch, const std::string& tag, bool through_library,
                  const std::string& image, const std::string& extra, const Bytes& before) {
    std::string flash = scratch.path(tag + ".bin");
    write_bytes(flash, before);
    std::string options = "flash=" + flash + ",timing=zero,trace=" + scratch.path(tag + ".trace") +
                          ",report=" + scratch.path(tag + ".json") + extra;
    std::vector<std::string> env = {"HEXBURN_DRIVER=sim:" + options, "HEXBURN_SIM="};
    if (through_library) {
        env = {std::string("HEXBURN_DRIVER=ftd2xx:") + SIM_D2XX_LIBRARY, "HEXBURN_SIM=" + options};
    }
    Outcome outcome;
    outcome.run = run_process({HEXBURN_EXE, image}, env, "", 120);
    outcome.flash = read_bytes(flash);
    outcome.trace = read_text(scratch.path(tag + ".trace"));
    outcome.report = read_text(scratch.path(tag + ".json"));
    return outcome;
}

struct PathCase {
    const char* name;
    std::string image;  // empty: an image srec_cat makes
    std::string extra;  // more board options
    int exit_status;
};

class LibraryPathTest : public testing::TestWithParam<PathCase> {};

TEST_P(LibraryPathTest, SameOutputFlashTraceAndReportAsTheSimDriver) {
    const PathCase& c = GetParam();
    ScratchDir scratch;
    std::string hex = scratch.path("image.hex");
    if (c.image.empty()) {
        srecord_image(scratch, hex, pattern(9000, 2), 0xFF00, 32);
    } else {
        write_file(hex, c.image);
    }
    Bytes before = pattern(kFlashSize, 12);
    Outcome direct = run_board(scratch, "direct", false, hex, c.extra, before);
    Outcome library = run_board(scratch, "library", true, hex, c.extra, before);

    EXPECT_EQ(direct.run.exit_status, c.exit_status) << direct.run.out << direct.run.err;
    EXPECT_EQ(library.run.exit_status, direct.run.exit_status);
    EXPECT_EQ(library.run.out, direct.run.out);
    EXPECT_EQ(library.run.err, direct.run.err);
    ASSERT_EQ(library.flash.size(), kFlashSize);
    EXPECT_TRUE(library.flash == direct.flash);
    EXPECT_FALSE(library.trace.empty());
    EXPECT_TRUE(as_sim_driver_trace(library.trace) == direct.trace);
    // Written at FT_Close, before the program ends.
    EXPECT_NE(library.report.find("\"usb_writes\""), std::string::npos) << library.report;
    EXPECT_EQ(without_time(library.report), without_time(direct.report));
}

INSTANTIATE_TEST_SUITE_P(
    Runs, LibraryPathTest,
    testing::Values(PathCase{"SrecordImage", "", "", 0},
                    PathCase{"RefusedImage", ":0400000001020304F3\n:00000001FF\n", "", 1},
                    PathCase{"SetUpThatFails", ":00000001FF\n", ",fault=setup-fail", 2},
                    // 0x80 reaches the chip as 0x01, whose bit 0 the fault holds at 0.
                    PathCase{"StuckZeroBit", ":021000008080EE\n:00000001FF\n",
                             ",fault=stuck-zero@0x1001", 3}),
    case_name<PathCase>);

// A board plugged in while the prompt waits, and an interface open in
// another program. The vendor's FT_Open(index) goes by the list as it is at
// the open; hexburn's ftd2xx driver opens the entry it listed.
struct ListChangeCase {
    const char* name;
    bool through_library;
    std::string options;  // with DIR for the scratch directory
    std::string input;
    int exit_status;
    std::string err;
    bool burnt[2];  // whether board 0's and board 1's flash files changed
};

class ListChangeTest : public testing::TestWithParam<ListChangeCase> {};

TEST_P(ListChangeTest, OnlyTheChosenBoardIsBurnt) {
    const ListChangeCase& c = GetParam();
    ScratchDir scratch;
    std::string hex = scratch.path("image.hex");
    write_file(hex, ":0400000001020304F2\n:00000001FF\n");
    Bytes before = pattern(kFlashSize, 5);
    for (const char* board : {"b0.bin", "b1.bin"}) {
        write_bytes(scratch.path(board), before);
    }
    std::string options = c.options;
    options.replace(options.find("DIR"), 3, scratch.path(""));
    std::vector<std::string> env = {"HEXBURN_DRIVER=sim:" + options, "HEXBURN_SIM="};
    if (c.through_library) {
        env = {std::string("HEXBURN_DRIVER=ftd2xx:") + SIM_D2XX_LIBRARY, "HEXBURN_SIM=" + options};
    }
    ProcessResult run = run_process({HEXBURN_EXE, hex}, env, c.input, 60);
    EXPECT_EQ(run.exit_status, c.exit_status) << run.out << run.err;
    EXPECT_EQ(run.err, c.err);
    const std::string tail = c.exit_status == 0
                                 ? "Process completed.\n"
                                 : "Can't find FT2232H devices for flash programming!\n";
    ASSERT_GE(run.out.size(), tail.size());
    EXPECT_EQ(run.out.substr(run.out.size() - tail.size()), tail);
    EXPECT_EQ(read_bytes(scratch.path("b0.bin")) != before, c.burnt[0]);
    EXPECT_EQ(read_bytes(scratch.path("b1.bin")) != before, c.burnt[1]);
}

const std::string kInUse =
    "hexburn: an FTDI interface is in use by another program (close it, or unplug and replug the "
    "board)\n";

const std::string kReplug = "boards=2,timing=zero,flash=DIRb%d.bin,fault=replug";
const std::string kBusy = "flash=DIRb%d.bin,fault=busy@1";

INSTANTIATE_TEST_SUITE_P(
    Runs, ListChangeTest,
    testing::Values(
        ListChangeCase{"ReplugOpensTheListedBoard", true, kReplug, "3\n", 0, "", {false, true}},
        // What FT_Open(3) does after the replug: the sim driver is the bare library.
        ListChangeCase{
            "ReplugByIndexReachesAnotherBoard", false, kReplug, "3\n", 0, "", {true, false}},
        ListChangeCase{"BusyInterfaceIsNamed", true, kBusy, "", 1, kInUse, {false, false}}),
    case_name<ListChangeCase>);

TEST(LibraryPath, BadBoardOptionsNameTheVariableAndFindNoDevices) {
    ProcessResult run = run_process(
        {HEXBURN_EXE, "image.hex"},
        {std::string("HEXBURN_DRIVER=ftd2xx:") + SIM_D2XX_LIBRARY, "HEXBURN_SIM=boards=9"});
    EXPECT_EQ(run.err, "hexburn_sim_d2xx: HEXBURN_SIM: sim option 'boards=9': boards is 1 to 8\n");
    const std::string no_devices = "Can't find FT2232H devices for flash programming!\n";
    ASSERT_GE(run.out.size(), no_devices.size());
    EXPECT_EQ(run.out.substr(run.out.size() - no_devices.size()), no_devices);
    EXPECT_EQ(run.exit_status, 1);
}

}  // namespace
