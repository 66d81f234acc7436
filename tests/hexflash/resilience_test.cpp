// hexflash on a board that glitches or goes away: an unplugged board told
// at once on both faces, the pins released whatever failed, the clock range
// and a JSON record for any path. The single-fault matrix is matrix_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "burn.h"
#include "case_name.h"
#include "process.h"

namespace {

std::vector<std::string> lines_of(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// An image of `size` bytes from address 0 as srecord writes it, and the chip
// it must leave.
struct Image {
    std::string hex;
    Bytes expected;
};

Image make_image(const ScratchDir& scratch, std::size_t size, std::uint32_t seed) {
    Image image{scratch.path("image" + std::to_string(size) + ".hex"), {}};
    srecord_image(scratch, image.hex, pattern(size, seed), 0, 32);
    image.expected = expected_flash(scratch, image.hex);
    return image;
}

struct Outcome {
    int exit_status;
    double seconds;  // real time
    std::string err;
    std::string out;
};

// hexflash `args` on the D2XX face (`sim` options) or the USB face.
Outcome hexflash(const std::vector<std::string>& args, const std::string& sim, bool usb = false) {
    std::vector<std::string> argv = {HEXFLASH_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env = {"HEXBURN_DRIVER=sim:" + sim};
#ifdef USBSIM_LIBRARY
    if (usb) {
        const char* asan = std::getenv("ASAN_OPTIONS");
        env = {"HEXBURN_DRIVER=libftdi", std::string("LD_PRELOAD=") + USBSIM_LIBRARY,
               std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") +
                   ":verify_asan_link_order=0",
               "HEXBURN_USB_SIM=" + sim};
    }
#endif
    auto start = std::chrono::steady_clock::now();
    ProcessResult result = run_process(argv, env, "", 300);
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(result.timed_out) << sim;
    return {result.exit_status, took.count(), result.err, result.out};
}

// --- unplugged ---------------------------------------------------------------------

struct UnplugCase {
    std::string name;
    bool usb;
    std::string phase;   // the message names it
    std::string marker;  // the board goes at the first call sending this (hex); empty: the first
    bool after_program;  // the first such call after the last page program
};

class Unplugged : public testing::TestWithParam<UnplugCase> {};

TEST_P(Unplugged, EndsAtOnceNamingThePhase) {
    const UnplugCase& c = GetParam();
#ifndef USBSIM_LIBRARY
    if (c.usb) {
        GTEST_SKIP() << "no libusb stand-in in this build";
    }
#endif
    ScratchDir scratch;
    Image image = make_image(scratch, 0x4000, 9);
    const std::string flash = scratch.path("flash.bin");
    const std::string trace = scratch.path("trace.txt");
    // Over other data at datasheet times, one sector changed: a sector
    // erase takes 0.6 s on the chip's own clock.
    auto run = [&](const std::string& extra) {
        write_bytes(flash, pattern(kFlashSize, 3));
        return hexflash({"--keep-rest", "write", image.hex},
                        "flash=" + flash + ",timing=typ" + extra, c.usb);
    };
    ASSERT_EQ(run(",trace=" + trace).exit_status, 0);
    // Calls as the fault counts them: on the handle (D2XX), bulk transfers (USB).
    std::uint64_t calls = 0, at = c.marker.empty() ? 1 : 0;
    const std::string program = "11030102";  // PP with its 256 bytes
    for (const std::string& line : lines_of(trace)) {
        const bool counted = c.usb ? line.rfind("bulk ", 0) == 0
                                   : line.rfind("FT_", 0) == 0 && line.rfind("FT_Open", 0) != 0 &&
                                         line.rfind("FT_CreateDeviceInfoList", 0) != 0 &&
                                         line.rfind("FT_GetDeviceInfoDetail", 0) != 0;
        calls += counted ? 1 : 0;
        if (!counted || c.marker.empty()) {
            continue;
        }
        if (c.after_program && line.find(program) != std::string::npos) {
            at = 0;  // look again behind this program batch
        } else if (at == 0 && line.find(c.marker) != std::string::npos) {
            at = calls;
        }
    }
    ASSERT_NE(at, 0u);
    Outcome result = run(",fault=unplug@" + std::to_string(at));
    EXPECT_EQ(result.exit_status, 2) << result.err;
    EXPECT_LT(result.seconds, 2.0);
    // libftdi's reads come in as many bulk transfers as the latency timer
    // cuts them into in real time: past set-up, the USB face pins the fault
    // near its phase, not in it.
    const bool pinned = !c.usb || c.marker.empty();
    EXPECT_NE(result.err.find("unplugged during " + (pinned ? c.phase : std::string())),
              std::string::npos)
        << result.err;
}

// The markers are the SPI instructions as the transport frames them
// (0x11, length - 1, the instruction): FAST_READ, SE, PP. On the USB face
// the host's real time moves the chip's clock, so the number of bulk reads
// varies from run to run: only the set-up and the long erase are pinned.
INSTANTIATE_TEST_SUITE_P(Phases, Unplugged,
                         testing::Values(UnplugCase{"SetUp", false, "set-up", "", false},
                                         UnplugCase{"FirstRead", false, "read", "1104000b", false},
                                         UnplugCase{"Erase", false, "erase", "110300d8", false},
                                         UnplugCase{"Program", false, "program", "11030102", false},
                                         UnplugCase{"Verify", false, "verify", "1104000b", true},
                                         UnplugCase{"UsbSetUp", true, "set-up", "", false},
                                         UnplugCase{"UsbErase", true, "erase", "110300d8", false}),
                         case_name<UnplugCase>);

// --- unplugged during the set-up ----------------------------------------------------

// What `path` holds now ("" when it cannot be read).
std::string text_of(const std::string& path) {
    std::ifstream in(path);
    std::string text, line;
    while (std::getline(in, line)) {
        text += line + "\n";
    }
    return text;
}

// The report's virtual_seconds; a huge value when the report has none.
double virtual_seconds(const std::string& report) {
    const std::string text = text_of(report);
    const std::string key = "\"virtual_seconds\": ";
    const std::size_t at = text.find(key);
    return at == std::string::npos ? 1e9 : std::stod(text.substr(at + key.size()));
}

// When a file first says `word`, polled every 2 ms from another thread
// while the scope lasts.
class FirstSeen {
  public:
    FirstSeen(std::string path, std::string word)
        : path_(std::move(path)), word_(std::move(word)), thread_([this] { poll(); }) {}
    ~FirstSeen() { stop(); }
    FirstSeen(const FirstSeen&) = delete;
    FirstSeen& operator=(const FirstSeen&) = delete;
    // Stops looking; true and the moment when the word was seen.
    bool stop(std::chrono::steady_clock::time_point* at = nullptr) {
        running_ = false;
        if (thread_.joinable()) {
            thread_.join();
        }
        look();  // the run may have ended while the thread slept
        if (at != nullptr) {
            *at = seen_at_;
        }
        return seen_;
    }

  private:
    void poll() {
        while (running_ && !seen_) {
            look();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    void look() {
        if (!seen_ && text_of(path_).find(word_) != std::string::npos) {
            seen_at_ = std::chrono::steady_clock::now();
            seen_ = true;
        }
    }
    std::string path_, word_;
    std::atomic<bool> running_{true};
    bool seen_ = false;
    std::chrono::steady_clock::time_point seen_at_;
    std::thread thread_;
};

class UnpluggedInSetUp : public testing::TestWithParam<bool> {};

// At every call of the set-up (on the handle for D2XX, every bulk transfer
// for USB) up to the write of clock and pins, an unplug ends the run with
// exit 2 within a second: on the board's virtual clock (D2XX), in real time
// from when the stand-in marked the board gone (USB).
TEST_P(UnpluggedInSetUp, EveryCallEndsTheRunWithinASecond) {
    const bool usb = GetParam();
#ifndef USBSIM_LIBRARY
    if (usb) {
        GTEST_SKIP() << "no libusb stand-in in this build";
    }
#endif
    ScratchDir scratch;
    Image image = make_image(scratch, 0x1000, 2);
    const std::string flash = scratch.path("flash.bin");
    const std::string trace = scratch.path("trace.txt");
    auto run = [&](const std::string& extra) {
        return hexflash({"--quiet", "write", image.hex}, "flash=" + flash + ",timing=zero" + extra,
                        usb);
    };
    ASSERT_EQ(run(",trace=" + trace).exit_status, 0);
    // The set-up's write opens with 8A (divide-by-5 off).
    const std::string setup_write = usb ? "bulk out 8a" : "FT_Write 8a";
    std::uint64_t calls = 0, setup = 0;
    for (const std::string& line : lines_of(trace)) {
        const bool counted = usb ? line.rfind("bulk ", 0) == 0
                                 : line.rfind("FT_", 0) == 0 && line.rfind("FT_Open", 0) != 0 &&
                                       line.rfind("FT_CreateDeviceInfoList", 0) != 0 &&
                                       line.rfind("FT_GetDeviceInfoDetail", 0) != 0;
        calls += counted ? 1 : 0;
        if (counted && line.rfind(setup_write, 0) == 0) {
            setup = calls;
            break;
        }
    }
    ASSERT_GT(setup, 8u);
    const std::string report = scratch.path("report.json");
    const std::string state = scratch.path("state.txt");
    double slowest = 0;
    for (std::uint64_t n = 1; n <= setup; ++n) {
        SCOPED_TRACE("unplug@" + std::to_string(n));
        std::remove(report.c_str());
        std::remove(state.c_str());
        FirstSeen gone(state, "gone");
        const std::string fault = ",fault=unplug@" + std::to_string(n);
        Outcome result = run(fault + (usb ? ",state=" + state : ",report=" + report));
        const auto end = std::chrono::steady_clock::now();
        EXPECT_EQ(result.exit_status, 2) << result.err;
        EXPECT_NE(result.err.find("the board was unplugged during "), std::string::npos)
            << result.err;
        double took = virtual_seconds(report);
        if (usb) {
            std::chrono::steady_clock::time_point at;
            ASSERT_TRUE(gone.stop(&at));
            took = std::chrono::duration<double>(end - at).count();
        }
        EXPECT_LT(took, 1.0);
        slowest = std::max(slowest, took);
    }
    std::printf("unplugged at each of %llu set-up calls: told within %.3f s\n",
                static_cast<unsigned long long>(setup), slowest);
}

INSTANTIATE_TEST_SUITE_P(Faces, UnpluggedInSetUp, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& face) {
                             return face.param ? "Usb" : "D2xx";
                         });

// --- the stand-in's time -------------------------------------------------------------

// Over libftdi and the stand-in, a program that sleeps between polls sees
// the chip's own (maximum) times pass, not ten times as much.
TEST(HexflashUsb, SlowChipWriteEndsWithTheRightChip) {
#ifndef USBSIM_LIBRARY
    GTEST_SKIP() << "no libusb stand-in in this build";
#else
    ScratchDir scratch;
    Image image = make_image(scratch, 0x40000, 21);
    const std::string flash = scratch.path("flash.bin");
    Bytes before = pattern(kFlashSize, 8);
    write_bytes(flash, before);
    // The sectors the image leaves alone stay: four sector erases (3 s
    // each at the datasheet's maximum) and 1,024 pages.
    Outcome result = hexflash({"--quiet", "--keep-rest", "write", image.hex},
                              "flash=" + flash + ",timing=max", true);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    std::copy(image.expected.begin(), image.expected.begin() + 0x40000, before.begin());
    EXPECT_TRUE(read_bytes(flash) == before);
    EXPECT_LT(result.seconds, 60.0);
#endif
}

// --- set-up faults: the pins released, the handle closed -------------------------

struct SetupCase {
    std::string name;
    std::string fault;
    bool may_succeed;  // a one-off fault may be ridden out
};

class SetupFault : public testing::TestWithParam<SetupCase> {};

TEST_P(SetupFault, ReleasesAndCloses) {
    const SetupCase& c = GetParam();
    ScratchDir scratch;
    Image image = make_image(scratch, 0x1000, 4);
    const std::string flash = scratch.path("flash.bin");
    const std::string trace = scratch.path("trace.txt");
    Outcome result =
        hexflash({"--quiet", "write", image.hex},
                 "flash=" + flash + ",timing=zero,trace=" + trace + ",fault=" + c.fault);
    std::vector<std::string> lines = lines_of(trace);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.back(), "FT_Close -> 0");
    EXPECT_EQ(lines[lines.size() - 2].rfind("FT_Write 80088b -> 0 3", 0), 0u)
        << lines[lines.size() - 2];
    if (c.may_succeed && result.exit_status == 0) {
        EXPECT_TRUE(read_bytes(flash) == image.expected);
    } else {
        EXPECT_EQ(result.exit_status, 2) << result.err;
    }
}

INSTANTIATE_TEST_SUITE_P(Table, SetupFault,
                         testing::Values(SetupCase{"NoEcho", "no-echo", false},
                                         SetupCase{"SetupFail", "setup-fail", false},
                                         SetupCase{"WriteShortOnce", "write-short@3", true},
                                         SetupCase{"ReadFailOnce", "read-fail@1", true}),
                         case_name<SetupCase>);

// --- the clock ---------------------------------------------------------------------

struct ClockCase {
    std::string clock;
    int exit_status;
    std::string shown;  // in id's line (or the refusal)
};

TEST(HexflashClock, RangeDecimalsAndTheStepUsed) {
    const std::vector<ClockCase> cases = {
        {"1.5M", 0, "clock 1.5 MHz"}, {"12.5k", 0, "clock 0.0125 MHz"},
        {"7M", 0, "clock 6 MHz"},  // between steps: the next below
        {"30M", 0, "clock 30 MHz"},   {"10k", 0, "clock 0.01 MHz"},
        {"100", 1, "10k to 30M"},     {"9.999k", 1, "10k to 30M"},
        {"31M", 1, "10k to 30M"},     {"1.5.0M", 1, "10k to 30M"},
        {"0.5", 1, "10k to 30M"},
    };
    for (const ClockCase& c : cases) {
        Outcome result = hexflash({"--clock", c.clock, "id"}, "timing=zero");
        EXPECT_EQ(result.exit_status, c.exit_status) << c.clock << result.err;
        EXPECT_NE((result.out + result.err).find(c.shown), std::string::npos)
            << c.clock << ": " << result.out << result.err;
    }
}

// --- JSON ----------------------------------------------------------------------------

TEST(HexflashJson, StrictParserTakesAnyPathAndTheRetries) {
    ScratchDir scratch;
    Image image = make_image(scratch, 0x1000, 6);
    const std::string latin1 = scratch.path("caf\xe9.hex");
    std::rename(image.hex.c_str(), latin1.c_str());
    const std::string json = scratch.path("out.json");
    std::vector<std::string> argv = {
        "/bin/sh", "-c",
        std::string(HEXFLASH_EXE) + " --quiet --json write '" + latin1 + "' > '" + json + "'"};
    ProcessResult run = run_process(
        argv, {"HEXBURN_DRIVER=sim:timing=zero,fault=read-fail@9,fault=write-short@12"}, "", 60);
    ASSERT_EQ(run.exit_status, 0) << run.err;
    ProcessResult parse = run_process(
        {"/usr/bin/env", "python3", "-c",
         "import json,sys; d=json.load(open(sys.argv[1],encoding='utf-8',errors='strict')); "
         "print(d['image']['path'].endswith('caf\\u00e9.hex'), d['retries']['count'], "
         "d['retries']['first'][0]['phase'])",
         json},
        {"PATH=/usr/local/bin:/usr/bin:/bin"}, "", 30);
    EXPECT_EQ(parse.exit_status, 0) << parse.err;
    EXPECT_EQ(parse.out.rfind("True 2 ", 0), 0u) << parse.out;
}

}  // namespace
