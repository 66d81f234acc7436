// hexburn.exe under Wine, burning through the vendor loading path
// (HEXBURN_DRIVER=ftd2xx:<hexburn_sim_d2xx.dll>, the board's options in
// HEXBURN_SIM), each run checked against the Linux program on the same board.
//
// Windows writes standard output in text mode, so every "\n" arrives as
// "\r\n", and reads the image in text mode, so a CR LF line end reaches the
// parser as a lone LF and takes one character of a 511-character read, not two.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "burn.h"
#include "case_name.h"
#include "process.h"

namespace {

const std::string kNoDevices = "Can't find FT2232H devices for flash programming!\n";
const std::string kWritten = "\nImage has been written successfully\nProcess completed.\n";
const std::string kRefused = "Incorrect file format!\nProcess completed.\n";
const std::string kEnd = ":00000001FF";

// Z: is the root of the Linux file system in every Wine prefix.
std::string windows_path(const std::string& path) {
    std::string out = "Z:" + path;
    std::replace(out.begin(), out.end(), '/', '\\');
    return out;
}

std::string crlf(const std::string& text) {
    std::string out;
    for (char ch : text) {
        out += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
    }
    return out;
}

bool ends_with(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Standard output after the banner's build date and time, which differ
// between the two builds.
std::string after_banner(const std::string& out) {
    const std::string banner = "Flash programmer for oxa-2.x boards(Built: ";
    EXPECT_EQ(out.compare(0, banner.size(), banner), 0) << out.substr(0, 80);
    std::string::size_type end = out.find(')');
    return end == std::string::npos ? out : out.substr(end + 1);
}

// The report without its virtual time: through the library the program's
// settle sleeps are real ones, which the board's clock does not see.
std::string without_time(const std::string& report) {
    std::string::size_type at = report.find("\"virtual_seconds\"");
    return at == std::string::npos ? report : report.substr(report.find('\n', at));
}

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

enum class Side { kLinux, kWindows };

struct Outcome {
    ProcessResult result;
    Bytes flash;
    std::string trace;   // with_files only
    std::string report;  // with_files only
};

// Runs `args` on the program of `side`, its board holding `before` (the Windows
// program gets absolute paths as Z: paths). `faults` are more board options;
// `with_files` adds a trace and a report.
Outcome run_side(Side side, const ScratchDir& scratch, std::vector<std::string> args,
                 const Bytes& before, const std::string& faults = "", bool with_files = false) {
    const std::string tag = side == Side::kLinux ? "linux" : "windows";
    auto path = [&](const std::string& name) {
        std::string unix_path = scratch.path(tag + "-" + name);
        return side == Side::kLinux ? unix_path : windows_path(unix_path);
    };
    std::string options = "flash=" + path("flash.bin") + ",timing=zero" + faults;
    if (with_files) {
        options += ",trace=" + path("trace.txt") + ",report=" + path("report.json");
    }
    write_bytes(scratch.path(tag + "-flash.bin"), before);

    std::vector<std::string> argv = {HEXBURN_EXE};
    std::vector<std::string> env = {"HEXBURN_DRIVER=sim:" + options, "HEXBURN_SIM="};
    if (side == Side::kWindows) {
        EXPECT_TRUE(std::filesystem::exists(WINDOWS_EXE) &&
                    std::filesystem::exists(WINDOWS_SIM_LIBRARY))
            << "build the windows preset first (scripts/test-windows.sh does)";
        argv = {WINE, WINDOWS_EXE};
        for (std::string& arg : args) {
            arg = arg.rfind('/', 0) == 0 ? windows_path(arg) : arg;
        }
        env = {"WINEPREFIX=" WINE_PREFIX, "WINEDEBUG=-all", "WINEDLLOVERRIDES=mscoree,mshtml=",
               "HEXBURN_DRIVER=ftd2xx:" + windows_path(WINDOWS_SIM_LIBRARY),
               "HEXBURN_SIM=" + options};
    }
    argv.insert(argv.end(), args.begin(), args.end());
    Outcome run;
    run.result = run_process(argv, env, "", 120);
    EXPECT_FALSE(run.result.timed_out);
    run.flash = read_bytes(scratch.path(tag + "-flash.bin"));
    if (with_files) {
        run.trace = read_text(scratch.path(tag + "-trace.txt"));
        run.report = read_text(scratch.path(tag + "-report.json"));
    }
    return run;
}

std::string record(int type, int offset, const Bytes& data) {
    return record_text(type, static_cast<std::uint32_t>(offset), data);
}

// ---------------------------------------------------------------------------

TEST(Wine, SrecordImageBurnsAsOnLinux) {
    ScratchDir scratch;
    std::string hex = scratch.path("image.hex");
    srecord_image(scratch, hex, pattern(20000, 3), 0xF800, 16);
    Bytes before = pattern(kFlashSize, 11);
    Outcome on_linux = run_side(Side::kLinux, scratch, {hex}, before, "", true);
    Outcome on_windows = run_side(Side::kWindows, scratch, {hex}, before, "", true);

    EXPECT_EQ(on_linux.result.exit_status, 0) << on_linux.result.err;
    EXPECT_EQ(on_windows.result.exit_status, 0) << on_windows.result.err;
    EXPECT_EQ(on_windows.result.err, "");
    EXPECT_TRUE(ends_with(on_windows.result.out, crlf(kWritten)));
    EXPECT_EQ(after_banner(on_windows.result.out), crlf(after_banner(on_linux.result.out)));
    ASSERT_EQ(on_windows.flash.size(), kFlashSize);
    EXPECT_TRUE(on_windows.flash == on_linux.flash);
    EXPECT_TRUE(on_windows.flash == expected_flash(scratch, hex));
    // The trace and the report, text files on Windows too.
    EXPECT_FALSE(on_windows.trace.empty());
    EXPECT_TRUE(as_sim_driver_trace(on_windows.trace) == crlf(on_linux.trace));
    EXPECT_EQ(without_time(on_windows.report), without_time(crlf(on_linux.report)));
}

TEST(Wine, HelpAsOnLinux) {
    ScratchDir scratch;
    Outcome on_linux = run_side(Side::kLinux, scratch, {"-h"}, {});
    Outcome on_windows = run_side(Side::kWindows, scratch, {"-h"}, {});
    EXPECT_EQ(on_windows.result.exit_status, 0);
    EXPECT_EQ(on_windows.result.exit_status, on_linux.result.exit_status);
    EXPECT_NE(on_windows.result.out.find("Usage:\r\n hexburn.exe [-h] FILE\r\n"), std::string::npos)
        << on_windows.result.out;
    EXPECT_EQ(after_banner(on_windows.result.out), crlf(after_banner(on_linux.result.out)));
}

TEST(Wine, RefusedImageLeavesTheBoardUntouched) {
    ScratchDir scratch;
    std::string hex = scratch.path("image.hex");
    write_file(hex, record(0, 0, pattern(16, 1)) + "\n:0400000001020304F3\n" + kEnd + "\n");
    Bytes before = pattern(kFlashSize, 5);
    Outcome on_linux = run_side(Side::kLinux, scratch, {hex}, before);
    Outcome on_windows = run_side(Side::kWindows, scratch, {hex}, before);
    EXPECT_EQ(on_windows.result.exit_status, 1);
    EXPECT_EQ(on_windows.result.exit_status, on_linux.result.exit_status);
    EXPECT_TRUE(ends_with(on_windows.result.out, crlf(kRefused))) << on_windows.result.out;
    EXPECT_EQ(after_banner(on_windows.result.out), crlf(after_banner(on_linux.result.out)));
    EXPECT_TRUE(on_windows.flash == before);
}

// ---------------------------------------------------------------------------
// A vendor library that cannot be loaded.

struct MissingCase {
    const char* name;
    std::string driver;  // HEXBURN_DRIVER; empty: unset
    std::string err;     // what standard error says, "\n" ending it
};

class WineMissingLibrary : public testing::TestWithParam<MissingCase> {};

TEST_P(WineMissingLibrary, CensusMessageAndExit1) {
    ProcessResult run = run_process(
        {WINE, WINDOWS_EXE, "Z:\\nonexistent\\image.hex"},
        {"WINEPREFIX=" WINE_PREFIX, "WINEDEBUG=-all",
         "WINEDLLOVERRIDES=mscoree,mshtml=", "HEXBURN_DRIVER=" + GetParam().driver, "HEXBURN_SIM="},
        "", 120);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_TRUE(ends_with(run.out, crlf(kNoDevices))) << run.out;
    EXPECT_EQ(run.err, crlf(GetParam().err));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WineMissingLibrary,
    testing::Values(
        // ERROR_MOD_NOT_FOUND.
        MissingCase{"GivenPath", "ftd2xx:Z:\\nonexistent\\ftd2xx.dll",
                    "hexburn: can't load the D2XX library Z:\\nonexistent\\ftd2xx.dll (Windows "
                    "error 126)\n"},
        MissingCase{"DefaultNames", "",
                    "hexburn: can't load the D2XX library ftd2xx.dll (Windows error 126) or "
                    "ftd2xx64.dll (Windows error 126)\n"}),
    case_name<MissingCase>);

// ---------------------------------------------------------------------------
// Line length and line ends. Both programs read the image in binary mode and
// take lines of up to 523 characters with their line end: a record of 255
// bytes (521 characters) and CR LF.

struct LineCase {
    const char* name;
    int bytes;             // data bytes of the one data record
    std::string line_end;  // after every line
    bool written_on_linux;
    bool written_on_windows;
};

class WineLineLength : public testing::TestWithParam<LineCase> {};

TEST_P(WineLineLength, SameOnBothSystems) {
    const LineCase& c = GetParam();
    ScratchDir scratch;
    std::string data_record = record(0, 0, pattern(static_cast<std::size_t>(c.bytes), 9));
    std::string hex = scratch.path("image.hex");
    write_file(hex, data_record + c.line_end + kEnd + c.line_end);
    write_file(scratch.path("plain.hex"), data_record + "\n" + kEnd + "\n");
    Bytes before = pattern(kFlashSize, 4);
    Bytes burnt = expected_flash(scratch, scratch.path("plain.hex"));

    Outcome on_linux = run_side(Side::kLinux, scratch, {hex}, before);
    Outcome on_windows = run_side(Side::kWindows, scratch, {hex}, before);
    struct Expected {
        const Outcome& run;
        bool written;
        bool windows;
    };
    for (const Expected& side : {Expected{on_linux, c.written_on_linux, false},
                                 Expected{on_windows, c.written_on_windows, true}}) {
        SCOPED_TRACE(side.windows ? "Windows" : "Linux");
        const std::string& tail = side.written ? kWritten : kRefused;
        EXPECT_TRUE(ends_with(side.run.result.out, side.windows ? crlf(tail) : tail))
            << side.run.result.out;
        EXPECT_EQ(side.run.result.exit_status, side.written ? 0 : 1);
        EXPECT_TRUE(side.run.flash == (side.written ? burnt : before));
    }
    if (c.written_on_linux == c.written_on_windows) {
        EXPECT_EQ(after_banner(on_windows.result.out), crlf(after_banner(on_linux.result.out)));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Records, WineLineLength,
    testing::Values(LineCase{"Of249BytesLf", 249, "\n", true, true},
                    LineCase{"Of250BytesLf", 250, "\n", true, true},
                    LineCase{"Of255BytesCrLf", 255, "\r\n", true, true},
                    LineCase{"Of255BytesBlankLf", 255, " \n", true, true},
                    // 524 characters.
                    LineCase{"Of255BytesBlankCrLf", 255, " \r\n", false, false},
                    // A CR that ends no line, which text mode would have let through.
                    LineCase{"Of16BytesCrCrLf", 16, "\r\r\n", false, false}),
    case_name<LineCase>);

}  // namespace
