// The built program against the simulated board, as a user runs it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "case_name.h"
#include "process.h"
#include "test_dir.h"

namespace {

const std::string kNoDevices = "Can't find FT2232H devices for flash programming!\n";

// A one-record image in a fresh directory of its own.
std::string make_dir_with_image(const std::string& name) {
    std::string dir = test_path("sim_cli_" + name);
    std::string remove = "rm -rf '" + dir + "' && mkdir -p '" + dir + "'";
    EXPECT_EQ(std::system(remove.c_str()), 0);
    std::ofstream(dir + "/x.hex") << ":0400000001020304F2\n:00000001FF\n";
    return dir;
}

TEST(SimCommandLine, TwoBoardsListIndexes1And3AndAsk) {
    std::string dir = make_dir_with_image("boards");
    ProcessResult result =
        run_process({HEXBURN_EXE, dir + "/x.hex"}, {"HEXBURN_DRIVER=sim:boards=2"}, "");
    EXPECT_NE(result.out.find("Founded FT2232H devices:\n"
                              "\tDeviceID=1, description=\"Dual RS232-HS B\"\n"
                              "\tDeviceID=3, description=\"Dual RS232-HS B\"\n"
                              "Enter device DeviceID from the list: "),
              std::string::npos)
        << result.out;
    EXPECT_EQ(result.err, "");
}

TEST(SimCommandLine, FlashFileIsLeftWithTheWholeChip) {
    std::string dir = make_dir_with_image("flash");
    std::string flash = dir + "/b.bin";
    ProcessResult result =
        run_process({HEXBURN_EXE, dir + "/x.hex"}, {"HEXBURN_DRIVER=sim:flash=" + flash}, "");
    EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
    std::ifstream file(flash, std::ios::binary | std::ios::ate);
    ASSERT_TRUE(file.good());
    EXPECT_EQ(static_cast<long long>(file.tellg()), 2097152LL);
}

// The chip file's space is taken when it is made: on a full disk the open
// fails with a line, where a sparse file would end the burn with SIGBUS. A
// small tmpfs needs a mount namespace of one's own.
TEST(SimCommandLine, FlashFileOnAFullDiskFailsTheOpen) {
    std::string dir = make_dir_with_image("full");
    if (run_process({"/usr/bin/unshare", "-Urm", "true"}).exit_status != 0) {
        GTEST_SKIP() << "no user and mount namespaces here";
    }
    std::string flash = dir + "/disk/b.bin";
    std::string script = "mkdir -p '" + dir + "/disk' && mount -t tmpfs -o size=1m none '" + dir +
                         "/disk' && exec '" + HEXBURN_EXE + "' '" + dir + "/x.hex'";
    ProcessResult result = run_process({"/usr/bin/unshare", "-Urm", "/bin/sh", "-c", script},
                                       {"HEXBURN_DRIVER=sim:flash=" + flash}, "");
    EXPECT_EQ(result.exit_status, 1) << result.out << result.err;
    EXPECT_EQ(result.err, "hexburn: sim: flash file '" + flash + "': No space left on device\n");
    EXPECT_NE(result.out.find("Can't open FT2232H device!\n"), std::string::npos) << result.out;
}

struct BadDriver {
    std::string name;
    std::string value;
    std::string err;
};

class SimCommandLineBadDriver : public testing::TestWithParam<BadDriver> {};

TEST_P(SimCommandLineBadDriver, NamesTheWordAndFindsNoDevices) {
    std::string dir = make_dir_with_image("bad_" + GetParam().name);
    ProcessResult result =
        run_process({HEXBURN_EXE, dir + "/x.hex"}, {"HEXBURN_DRIVER=" + GetParam().value}, "");
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.err, GetParam().err);
    EXPECT_NE(result.out.find(kNoDevices), std::string::npos) << result.out;
}

INSTANTIATE_TEST_SUITE_P(
    Values, SimCommandLineBadDriver,
    testing::Values(BadDriver{"BadOption", "sim:boards=0",
                              "hexburn: HEXBURN_DRIVER: sim option 'boards=0': boards is 1 to 8\n"},
                    BadDriver{"UnknownFault", "sim:fault=flood",
                              "hexburn: HEXBURN_DRIVER: sim option 'fault=flood': unknown fault\n"},
                    BadDriver{"UnknownDriver", "simulated",
                              "hexburn: HEXBURN_DRIVER: unknown driver 'simulated'\n"}),
    case_name<BadDriver>);

}  // namespace
