// hexflash.exe under Wine through the vendor loading path, each run checked
// against the Linux hexflash on the same board: write, verify with a wrong
// bit, read back as HEX, a refused image, help.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "burn.h"
#include "case_name.h"
#include "process.h"

namespace {

std::string windows_path(const std::string& path) {
    std::string out = "Z:" + path;
    std::replace(out.begin(), out.end(), '/', '\\');
    return out;
}

// Standard output without the CRs Windows' text mode adds.
std::string without_cr(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

struct Side {
    ProcessResult result;
    Bytes flash;
};

// hexflash `args` on a board holding `before`; "IMAGE" and "OUT" in args stand
// for the image and an output file of that side.
Side run_side(bool windows, const ScratchDir& scratch, std::vector<std::string> args,
              const Bytes& before) {
    const std::string tag = windows ? "windows-" : "linux-";
    auto path = [&](const std::string& name) {
        return windows ? windows_path(scratch.path(tag + name)) : scratch.path(tag + name);
    };
    write_bytes(scratch.path(tag + "flash.bin"), before);
    for (std::string& arg : args) {
        arg = arg == "IMAGE"
                  ? (windows ? windows_path(scratch.path("image.hex")) : scratch.path("image.hex"))
              : arg == "OUT" ? path("out.hex")
                             : arg;
    }
    std::string options = "flash=" + path("flash.bin") + ",timing=zero";
    std::vector<std::string> argv = {HEXFLASH_EXE};
    std::vector<std::string> env = {"HEXBURN_DRIVER=sim:" + options, "HEXBURN_SIM="};
    if (windows) {
        EXPECT_TRUE(std::filesystem::exists(HEXFLASH_WINDOWS_EXE))
            << "build the windows preset first (scripts/test-windows.sh does)";
        argv = {WINE, HEXFLASH_WINDOWS_EXE};
        env = {"WINEPREFIX=" WINE_PREFIX, "WINEDEBUG=-all", "WINEDLLOVERRIDES=mscoree,mshtml=",
               "HEXBURN_DRIVER=ftd2xx:" + windows_path(WINDOWS_SIM_LIBRARY),
               "HEXBURN_SIM=" + options};
    }
    argv.insert(argv.end(), args.begin(), args.end());
    Side side;
    side.result = run_process(argv, env, "", 300);
    EXPECT_FALSE(side.result.timed_out);
    side.flash = read_bytes(scratch.path(tag + "flash.bin"));
    return side;
}

struct WineCase {
    const char* name;
    std::vector<std::string> args;
    std::string image;  // empty: an srecord image of 20000 bytes at 0xF800
    int flipped_bit;    // -1, or an address whose bit 4 the chip gets wrong
    int exit_status;
};

class WineHexflash : public testing::TestWithParam<WineCase> {};

TEST_P(WineHexflash, AsOnLinux) {
    const WineCase& c = GetParam();
    ScratchDir scratch;
    std::string hex = scratch.path("image.hex");
    if (c.image.empty()) {
        srecord_image(scratch, hex, pattern(20000, 3), 0xF800, 16);
    } else {
        write_file(hex, c.image);
    }
    Bytes before = pattern(kFlashSize, 11);
    if (c.flipped_bit >= 0) {
        before = expected_flash(scratch, hex);
        before[static_cast<std::size_t>(c.flipped_bit)] ^= 0x10;
    }
    Side on_linux = run_side(false, scratch, c.args, before);
    Side on_windows = run_side(true, scratch, c.args, before);
    EXPECT_EQ(on_linux.result.exit_status, c.exit_status) << on_linux.result.err;
    EXPECT_EQ(on_windows.result.exit_status, c.exit_status) << on_windows.result.err;
    EXPECT_TRUE(on_windows.flash == on_linux.flash);
    // The JSON record but for the lines of times and paths, which differ.
    auto stable = [](const std::string& out) {
        std::istringstream lines(without_cr(out));
        std::string kept;
        for (std::string line; std::getline(lines, line);) {
            bool varies =
                line.find("second") != std::string::npos || line.find("path") != std::string::npos;
            kept += varies ? "" : line + "\n";
        }
        return kept;
    };
    EXPECT_EQ(stable(on_windows.result.out), stable(on_linux.result.out));
    EXPECT_TRUE(read_bytes(scratch.path("windows-out.hex")) ==
                read_bytes(scratch.path("linux-out.hex")));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WineHexflash,
    testing::Values(WineCase{"Write", {"--json", "write", "IMAGE"}, "", -1, 0},
                    WineCase{"VerifyOneWrongBit", {"--json", "verify", "IMAGE"}, "", 0xFA00, 3},
                    WineCase{"ReadAsHex", {"read", "OUT"}, "", -1, 0},
                    WineCase{"RefusedImage",
                             {"write", "IMAGE"},
                             record_text(0, 0, pattern(16, 1)) + "\nhello\n:00000001FF\n",
                             -1,
                             1},
                    WineCase{"Help", {"--help"}, ":00000001FF\n", -1, 0}),
    case_name<WineCase>);

}  // namespace
