// The program with HEXBURN_DRIVER=libftdi through the real libftdi1 over the
// libusb stand-in (LD_PRELOAD): each board situation against what the sim
// driver does, or against the messages the program owes, and the state the
// run left the interfaces' kernel driver in.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "burn.h"
#include "case_name.h"
#include "process.h"

namespace {

struct UsbCase {
    const char* name;
    std::string usb;     // more HEXBURN_USB_SIM options
    std::string census;  // the same boards as a sim census file; with `compare`
    bool compare;        // output and flash as with the sim driver (timing=zero)
    int exit_status;
    std::string out_end;  // without `compare`: how standard output ends
    std::string err;      // a text standard error holds; empty: nothing on it
    std::string state_b;  // interface B's kernel driver state at the end
};

class UsbStandIn : public testing::TestWithParam<UsbCase> {};

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool ends_with(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The environment of hexburn on the USB face with `usb_options`.
std::vector<std::string> usb_environment(const std::string& usb_options) {
    const char* asan = std::getenv("ASAN_OPTIONS");
    return {
        "HEXBURN_DRIVER=libftdi", std::string("LD_PRELOAD=") + USBSIM_LIBRARY,
        std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") + ":verify_asan_link_order=0",
        "HEXBURN_USB_SIM=" + usb_options};
}

TEST_P(UsbStandIn, RunThroughLibftdi) {
    const UsbCase& c = GetParam();
    ScratchDir scratch;
    std::string hex = scratch.path("image.hex");
    srecord_image(scratch, hex, pattern(9000, 2), 0xFF00, 32);
    Bytes before = pattern(kFlashSize, 12);
    std::string usb_flash = scratch.path("usb.bin");
    std::string state = scratch.path("state.txt");
    write_bytes(usb_flash, before);

    // An ASan build's runtime must come first, before the preloaded stand-in.
    const char* asan = std::getenv("ASAN_OPTIONS");
    std::string asan_options =
        std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") + ":verify_asan_link_order=0";
    ProcessResult run = run_process(
        {HEXBURN_EXE, hex},
        {"HEXBURN_DRIVER=libftdi", std::string("LD_PRELOAD=") + USBSIM_LIBRARY, asan_options,
         "HEXBURN_USB_SIM=flash=" + usb_flash + ",state=" + state + ",timing=zero" + c.usb});
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.exit_status, c.exit_status) << run.out << run.err;
    if (c.err.empty()) {
        EXPECT_EQ(run.err, "");
    } else {
        EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
    }
    EXPECT_NE(read_text(state).find("0B " + c.state_b + "\n"), std::string::npos)
        << read_text(state);

    if (c.compare) {
        std::string sim_flash = scratch.path("sim.bin");
        write_bytes(sim_flash, before);
        std::string options = "sim:flash=" + sim_flash + ",timing=zero";
        if (!c.census.empty()) {
            write_file(scratch.path("census.txt"), c.census);
            options += ",census=" + scratch.path("census.txt");
        }
        ProcessResult sim = run_process({HEXBURN_EXE, hex}, {"HEXBURN_DRIVER=" + options});
        EXPECT_EQ(sim.exit_status, c.exit_status) << sim.out << sim.err;
        EXPECT_EQ(run.out, sim.out);
        EXPECT_TRUE(read_bytes(usb_flash) == read_bytes(sim_flash));
    } else {
        EXPECT_TRUE(ends_with(run.out, c.out_end)) << run.out;
        EXPECT_EQ(run.out.find("successfully"), std::string::npos) << run.out;
    }
}

const std::string kNoDevices = "Can't find FT2232H devices for flash programming!\n";
const std::string kCannotOpen = "Can't open FT2232H device!\n";
// A board whose EEPROM holds a serial, beside a blank one, as D2XX lists them.
const std::string kProgrammedCensus =
    "6\tFT7XQ2A\tDual RS232-HS A\n6\tFT7XQ2B\tDual RS232-HS B\n"
    "6\tA\tDual RS232-HS A\n6\tB\tDual RS232-HS B\n";

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Boards, UsbStandIn,
    testing::Values(
        UsbCase{"BurnAsSim", "", "", true, 0, "", "", "ftdi_sio"},
        UsbCase{"FullSpeedBurnAsSim", ",speed=full", "", true, 0, "", "", "ftdi_sio"},
        UsbCase{"ProgrammedSerialListedAsD2xx", ",boards=2,serial=FT7XQ2", kProgrammedCensus,
                true, 0, "", "", "ftdi_sio"},
        UsbCase{"PermissionDenied", ",fault=deny", "", false, 1, kNoDevices,
                "hexburn: libftdi: can't read the FTDI chip on USB bus 1 device 2 (no permission "
                "to open it: see the udev rule in hexburn(1))\n", "ftdi_sio"},
        UsbCase{"KernelDriverCannotBeDetached", ",fault=stuck-driver", "", false, 1, kCannotOpen,
                "hexburn: libftdi: can't open interface B", "ftdi_sio"},
        UsbCase{"InUseByAnotherProgram", ",fault=busy", "", false, 1, kCannotOpen,
                "hexburn: an FTDI interface is in use by another program (close it, or unplug "
                "and replug the board)\n", "other"},
        UsbCase{"FailedOpenGivesTheDriverBack", ",fault=reset-stall", "", false, 1, kCannotOpen,
                "hexburn: libftdi: can't open interface B", "ftdi_sio"},
        UsbCase{"UnpluggedMidBurn", ",fault=unplug@200", "", false, 2, "Process completed.\n",
                "", "gone"},
        UsbCase{"InterruptGivesTheDriverBack", ",fault=interrupt@200", "", false, 130,
                "Interrupted!\nProcess completed.\n", "", "ftdi_sio"}),
    case_name<UsbCase>);
// clang-format on

// What one program leaves beside a chip file, the next one finds, on either
// face: protection bits in F.status keep hexburn from writing; the chip file
// held by another program keeps the board from opening.
TEST(UsbChipFile, StatusFileAndLockAsOnTheD2xxFace) {
    ScratchDir scratch;
    std::string hex = scratch.path("image.hex");
    srecord_image(scratch, hex, pattern(600, 3), 0, 32);
    std::string flash = scratch.path("chip.bin");
    Bytes blank(kFlashSize, 0xFF);
    struct Face {
        const char* name;
        std::vector<std::string> env;
    };
    const Face faces[] = {
        {"usb", usb_environment("flash=" + flash + ",timing=zero")},
        {"d2xx", {"HEXBURN_DRIVER=sim:flash=" + flash + ",timing=zero"}},
    };
    for (const Face& face : faces) {
        write_bytes(flash, blank);
        write_file(flash + ".status", "m25p16 1c\n");  // BP2..BP0: every sector
        ProcessResult run = run_process({HEXBURN_EXE, hex}, face.env);
        EXPECT_EQ(run.exit_status, 3) << face.name << run.out << run.err;
        EXPECT_NE(run.out.find("Writing check error!"), std::string::npos) << face.name << run.out;
        EXPECT_TRUE(read_bytes(flash) == blank) << face.name;

        write_file(flash + ".status", "m25p16 00\n");
        int held = ::open(flash.c_str(), O_RDWR);
        ASSERT_GE(held, 0);
        ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
        run = run_process({HEXBURN_EXE, hex}, face.env);
        EXPECT_EQ(run.exit_status, 1) << face.name << run.out << run.err;
        EXPECT_NE(run.err.find("in use by another process"), std::string::npos)
            << face.name << run.err;
        ::close(held);
        run = run_process({HEXBURN_EXE, hex}, face.env);
        EXPECT_EQ(run.exit_status, 0) << face.name << run.out << run.err;
    }
}

// A one-time bit in the status file stays set under status= on either face,
// whatever the program then does with the chip.
TEST(UsbChipFile, OneTimeBitOutlastsTheStatusOption) {
    ScratchDir scratch;
    std::string hex = scratch.path("image.hex");
    srecord_image(scratch, hex, pattern(600, 3), 0, 32);
    std::string flash = scratch.path("chip.bin");
    const std::string options = "chip=gd25q16c,status=00:02,flash=" + flash + ",timing=zero";
    const std::vector<std::string> faces[] = {usb_environment(options),
                                              {"HEXBURN_DRIVER=sim:" + options}};
    for (const std::vector<std::string>& env : faces) {
        write_bytes(flash, Bytes(kFlashSize, 0xFF));
        write_file(flash + ".status", "gd25q16c 00 04\n");  // LB
        ProcessResult run = run_process({HEXBURN_EXE, hex}, env);
        const std::string status = read_text(flash + ".status");
        ASSERT_EQ(status.size(), 15U) << status << run.err;
        EXPECT_EQ(std::stoul(status.substr(12, 2), nullptr, 16) & 0x04, 0x04U)
            << env.back() << status;
    }
}

// The USB face reads the D2XX face's grammar: id=, trace= and report= mean
// the same there; census= is refused by name.
TEST(UsbOptions, SharedWithTheD2xxFace) {
    ScratchDir scratch;
    std::string hex = scratch.path("image.hex");
    srecord_image(scratch, hex, pattern(600, 3), 0, 32);
    std::string report = scratch.path("report.json");
    std::string trace = scratch.path("trace.txt");
    ProcessResult run =
        run_process({HEXBURN_EXE, hex},
                    usb_environment("timing=zero,id=ef4015,trace=" + trace + ",report=" + report));
    EXPECT_EQ(run.exit_status, 0) << run.out << run.err;
    std::string json = read_text(report);
    EXPECT_NE(json.find("\"spi_transactions\": "), std::string::npos) << json;
    EXPECT_NE(json.find("\"usb_writes\": "), std::string::npos) << json;
    EXPECT_NE(read_text(trace).find("claim B -> 0\n"), std::string::npos);

    run = run_process({HEXBURN_EXE, hex}, usb_environment("census=" + hex));
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_NE(run.err.find("HEXBURN_USB_SIM: sim option 'census=" + hex +
                           "': an option of the D2XX face, not of the USB face"),
              std::string::npos)
        << run.err;
}

// present=: a board not listed is not on the bus; listed again, it works. The
// same on both faces.
TEST(UsbPresent, BoardNotListedIsNotThereOnEitherFace) {
    ScratchDir scratch;
    std::string hex = scratch.path("image.hex");
    srecord_image(scratch, hex, pattern(600, 3), 0, 32);
    std::string flash = scratch.path("chip.bin");
    std::string present = scratch.path("present");
    std::string options = "flash=" + flash + ",timing=zero,present=" + present;
    ProcessResult pulled[2];
    const std::vector<std::string> faces[] = {usb_environment(options),
                                              {"HEXBURN_DRIVER=sim:" + options}};
    for (int face = 0; face < 2; ++face) {
        write_bytes(flash, Bytes(kFlashSize, 0xFF));
        write_file(present, "\n");
        pulled[face] = run_process({HEXBURN_EXE, hex}, faces[face]);
        EXPECT_NE(pulled[face].exit_status, 0) << face << pulled[face].out;
        EXPECT_TRUE(read_bytes(flash) == Bytes(kFlashSize, 0xFF)) << face;
        write_file(present, "0\n");
        ProcessResult run = run_process({HEXBURN_EXE, hex}, faces[face]);
        EXPECT_EQ(run.exit_status, 0) << face << run.out << run.err;
    }
    EXPECT_EQ(pulled[0].exit_status, pulled[1].exit_status);
    EXPECT_EQ(pulled[0].out, pulled[1].out);
}

}  // namespace
