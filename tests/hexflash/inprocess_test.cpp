// hexflash in-process: the SHA-256 beside sha256sum; a chip whose block
// protection is set before the run (the simulated chip keeps its status
// register only while its driver lives); an interrupt raised at a chosen USB
// write; and several boards at once, a driver of the test's own putting one
// simulated board (its own chip, clock and faults) behind each pair of census
// entries and routing each call to the board its thread opened.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "burn.h"
#include "case_name.h"
#include "fastflash/fastflash.h"
#include "forwarding_driver.h"
#include "hexflash/hexflash.h"
#include "image/sha256.h"
#include "d2xx/d2xx.h"
#include "d2xx/d2xx_driver.h"
#include "simboard/sim_driver.h"

namespace {

int run_hexflash(std::vector<std::string> args) {
    std::vector<char*> argv;
    std::string name = "hexflash";
    argv.push_back(name.data());
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    return hexflash_main(static_cast<int>(argv.size()), argv.data());
}

TEST(Sha256, AsSha256sum) {
    ScratchDir scratch;
    // Around each padding boundary, and more than one buffer's worth.
    for (std::size_t size : {0u, 1u, 55u, 56u, 63u, 64u, 65u, 119u, 120u, 1000003u}) {
        SCOPED_TRACE(size);
        Bytes data = pattern(size, static_cast<std::uint32_t>(size));
        write_bytes(scratch.path("data"), data);
        Sha256 hash;
        // In uneven pieces, as a file is read.
        for (std::size_t at = 0; at < size; at += 37) {
            hash.update(data.data() + at, std::min<std::size_t>(37, size - at));
        }
        shell("cd '" + scratch.path("") + "' && sha256sum data > sum");
        Bytes sum = read_bytes(scratch.path("sum"));
        EXPECT_EQ(hash.hex_digest() + "  data\n", std::string(sum.begin(), sum.end()));
    }
}

// The chip's status register, through a link of the test's own; set first
// unless `set` is negative.
std::uint8_t status_register(int set) {
    FT_HANDLE handle = nullptr;
    nor_chip link{};
    std::uint8_t status = 0xFF;
    EXPECT_EQ(FT_Open(1, &handle), FT_OK);
    EXPECT_EQ(nor_open(handle, NOR_DEFAULT_CLOCK_HZ, &link), LINK_OK);
    EXPECT_EQ(set < 0 ? LINK_OK : nor_write_status(&link, static_cast<std::uint8_t>(set)), LINK_OK);
    EXPECT_EQ(nor_read_status(&link, &status), LINK_OK);
    link_close(&link);
    FT_Close(handle);
    return status;
}

struct ProtectionCase {
    const char* name;
    std::uint8_t status;  // BP2..BP0 in bits 4..2
    std::uint32_t image_at;
    std::vector<std::string> options;
    int exit_status;
};

class ProtectionTest : public testing::TestWithParam<ProtectionCase> {};

TEST_P(ProtectionTest, RefusedUnlessUnprotected) {
    const ProtectionCase& c = GetParam();
    ScratchDir scratch;
    std::string hex = scratch.path("image.hex");
    write_file(hex, record_text(4, 0, {0, static_cast<std::uint8_t>(c.image_at >> 16)}) + "\n" +
                        record_text(0, c.image_at & 0xFFFF, pattern(64, 3)) + "\n:00000001FF\n");
    std::string error;
    auto driver = make_sim_driver("flash=" + scratch.path("flash.bin") + ",timing=zero", error);
    ASSERT_NE(driver, nullptr) << error;
    d2xx_bind(driver.get());
    status_register(c.status);
    std::vector<std::string> args = {"--quiet", "write", hex};
    args.insert(args.end(), c.options.begin(), c.options.end());
    EXPECT_EQ(run_hexflash(args), c.exit_status);
    // The protection is as it was, whatever happened.
    EXPECT_EQ(status_register(-1), c.status);
    d2xx_bind(nullptr);
    Bytes flash = read_bytes(scratch.path("flash.bin"));
    EXPECT_TRUE(flash ==
                (c.exit_status == 0 ? expected_flash(scratch, hex) : Bytes(kFlashSize, 0xFF)));
}

INSTANTIATE_TEST_SUITE_P(
    Bits, ProtectionTest,
    testing::Values(ProtectionCase{"Bp1ProtectsSector31", 0x04, 0x1F0000, {}, 1},
                    ProtectionCase{"Bp1LeavesSector30", 0x04, 0x1E0000, {}, 0},
                    ProtectionCase{"Bp3ProtectsSector28", 0x0C, 0x1C0000, {}, 1},
                    ProtectionCase{"Bp4LeavesSector23", 0x10, 0x170000, {}, 0},
                    ProtectionCase{"Bp5ProtectsSector16", 0x14, 0x100000, {}, 1},
                    ProtectionCase{"Bp6ProtectsSector0", 0x18, 0, {}, 1},
                    ProtectionCase{"Bp7Unprotected", 0x1C, 0, {"--unprotect"}, 0},
                    ProtectionCase{"Bp3Unprotected", 0x0C, 0x1C0000, {"--unprotect"}, 0}),
    case_name<ProtectionCase>);

// Counts the USB writes, and raises SIGINT after write number `at` (0: never).
class Interrupting final : public ForwardingDriver {
  public:
    Interrupting(D2xxDriver& inner, int at) : ForwardingDriver(inner), at_(at) {}
    FT_STATUS write(FT_HANDLE handle, const std::uint8_t* data, std::uint32_t count,
                    std::uint32_t* written) override {
        FT_STATUS status = ForwardingDriver::write(handle, data, count, written);
        if (++writes_ == at_) {
            std::raise(SIGINT);
        }
        return status;
    }
    int writes() const { return writes_; }  // so far

  private:
    int at_;
    int writes_ = 0;
};

TEST(Interrupt, StopsCleanlyWith130) {
    ScratchDir scratch;
    std::string hex = scratch.path("image.hex");
    std::string text;
    for (std::uint32_t i = 0; i < 64; ++i) {
        text += record_text(0, i * 32, pattern(32, i)) + "\n";
    }
    write_file(hex, text + ":00000001FF\n");
    std::string trace = scratch.path("trace.txt");
    auto run = [&](int at) {
        std::string error;
        auto sim = make_sim_driver(
            "flash=" + scratch.path("flash.bin") + ",timing=zero,trace=" + trace, error);
        EXPECT_NE(sim, nullptr) << error;
        Interrupting driver(*sim, at);
        d2xx_bind(&driver);
        int status = run_hexflash({"--quiet", "write", hex});
        d2xx_bind(nullptr);
        return at == 0 ? driver.writes() : status;
    };
    int clean_writes = run(0);
    std::remove(trace.c_str());
    // In a child process: the interrupt stays noted for the rest of a process.
    EXPECT_EXIT(std::exit(run(clean_writes / 2)), testing::ExitedWithCode(130), "");
    // The pins released, then the device closed: the trace's last two calls.
    std::ifstream in(trace);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2].rfind("FT_Write 80088b ", 0), 0u) << lines[lines.size() - 2];
    EXPECT_EQ(lines.back(), "FT_Close -> 0");
}

class Boards final : public D2xxDriver {
  public:
    // One simulated board per entry of `options` (its sim options, and
    // ",unplug": every USB transfer fails once the chip programmed a page).
    explicit Boards(const std::vector<std::string>& options) {
        for (std::string text : options) {
            bool unplug = text.ends_with(",unplug");
            text.resize(text.size() - (unplug ? 7 : 0));
            SimOptions parsed;
            std::string error;
            EXPECT_TRUE(parse_sim_options(text, parsed, error)) << error;
            boards_.push_back(std::make_unique<SimDriver>(parsed));
            unplug_.push_back(unplug);
        }
    }
    FT_STATUS create_device_info_list(std::uint32_t* count) override {
        *count = static_cast<std::uint32_t>(2 * boards_.size());
        return FT_OK;
    }
    FT_STATUS get_device_info_detail(std::uint32_t index, std::uint32_t* flags, std::uint32_t* type,
                                     std::uint32_t* id, std::uint32_t* location, char* serial,
                                     char* description, FT_HANDLE* handle) override {
        FT_STATUS status = boards_[index / 2]->get_device_info_detail(
            index % 2, flags, type, id, location, serial, description, handle);
        *location += 0x10 * (index / 2);
        return status;
    }
    FT_STATUS open(int index, FT_HANDLE* handle) override {
        board = static_cast<std::size_t>(index) / 2;
        current = boards_[board].get();
        return current->open(index % 2, handle);
    }
    FT_STATUS close(FT_HANDLE h) override { return current->close(h); }
    FT_STATUS reset_device(FT_HANDLE h) override { return current->reset_device(h); }
    FT_STATUS get_queue_status(FT_HANDLE h, std::uint32_t* n) override {
        return current->get_queue_status(h, n);
    }
    FT_STATUS set_usb_parameters(FT_HANDLE h, std::uint32_t in, std::uint32_t out) override {
        return current->set_usb_parameters(h, in, out);
    }
    FT_STATUS set_chars(FT_HANDLE h, std::uint8_t a, std::uint8_t b, std::uint8_t c,
                        std::uint8_t d) override {
        return current->set_chars(h, a, b, c, d);
    }
    FT_STATUS set_timeouts(FT_HANDLE h, std::uint32_t r, std::uint32_t w) override {
        return current->set_timeouts(h, r, w);
    }
    FT_STATUS set_latency_timer(FT_HANDLE h, std::uint8_t ms) override {
        return current->set_latency_timer(h, ms);
    }
    FT_STATUS set_bit_mode(FT_HANDLE h, std::uint8_t mask, std::uint8_t mode) override {
        return current->set_bit_mode(h, mask, mode);
    }
    FT_STATUS write(FT_HANDLE h, const std::uint8_t* data, std::uint32_t n,
                    std::uint32_t* written) override {
        return unplugged() ? FT_IO_ERROR : current->write(h, data, n, written);
    }
    FT_STATUS read(FT_HANDLE h, std::uint8_t* data, std::uint32_t n, std::uint32_t* got) override {
        return unplugged() ? FT_IO_ERROR : current->read(h, data, n, got);
    }
    void sleep_ms(std::uint32_t ms) override {
        if (current != nullptr) {
            current->sleep_ms(ms);
        }
    }
    std::uint64_t clock_ms() override { return current != nullptr ? current->clock_ms() : 0; }

  private:
    bool unplugged() {
        SimBoard& sim = boards_[board]->board();
        return unplug_[board] && sim.chip != nullptr && sim.chip->counters().page_programs > 0;
    }
    // Each board runs on a thread of its own: the board its thread opened.
    static thread_local SimDriver* current;
    static thread_local std::size_t board;
    std::vector<std::unique_ptr<SimDriver>> boards_;
    std::vector<bool> unplug_;
};

thread_local SimDriver* Boards::current = nullptr;
thread_local std::size_t Boards::board = 0;

struct GangCase {
    const char* name;
    std::vector<std::string> args;    // after --quiet; IMAGE for the image
    std::vector<std::string> faults;  // per board: more sim options
    bool good_image;
    int exit_status;
    std::string boards;  // per board: I holds the image, B as before, ? struck by its fault
    std::string json;    // the exit statuses the JSON record gives, in order
};

// The values of every "exit_status" key in `json`, as one string.
std::string exit_statuses(const std::string& json) {
    std::string out;
    const std::string key = "\"exit_status\": ";
    for (auto at = json.find(key); at != std::string::npos; at = json.find(key, at + 1)) {
        out += json[at + key.size()];
    }
    return out;
}

class GangTest : public testing::TestWithParam<GangCase> {};

TEST_P(GangTest, BoardsFailAlone) {
    const GangCase& c = GetParam();
    ScratchDir scratch;
    std::string hex = scratch.path("image.hex");
    std::string text;
    for (std::uint32_t i = 0; i < 40; ++i) {
        text += record_text(0, 0x7F0 + 16 * i, pattern(16, i)) + "\n";
    }
    write_file(hex, text + (c.good_image ? ":00000001FF\n" : ""));
    Bytes before = pattern(kFlashSize, 8);
    Bytes expected = c.good_image ? expected_flash(scratch, hex) : before;
    // STUCK: a byte whose bit 0 the image sets.
    std::size_t stuck = 0x7F0;
    while (c.good_image && (expected[stuck] & 1) == 0) {
        ++stuck;
    }
    std::vector<std::string> options;
    for (std::size_t k = 0; k < c.faults.size(); ++k) {
        std::string flash = scratch.path("b" + std::to_string(k) + ".bin");
        write_bytes(flash, before);
        std::string fault = c.faults[k];
        if (fault.ends_with("STUCK")) {
            fault.replace(fault.size() - 5, 5, std::to_string(stuck));
        }
        options.push_back("flash=" + flash + ",timing=zero" + fault);
    }
    std::vector<std::string> args = {"--quiet", "--json"};
    for (const std::string& arg : c.args) {
        args.push_back(arg == "IMAGE" ? hex : arg);
    }
    {
        Boards boards(options);
        d2xx_bind(&boards);
        testing::internal::CaptureStdout();
        int status = run_hexflash(args);
        std::string json = testing::internal::GetCapturedStdout();
        d2xx_bind(nullptr);
        EXPECT_EQ(status, c.exit_status);
        EXPECT_EQ(exit_statuses(json), c.json);
    }
    for (std::size_t k = 0; k < c.faults.size(); ++k) {
        SCOPED_TRACE(k);
        Bytes flash = read_bytes(scratch.path("b" + std::to_string(k) + ".bin"));
        if (c.boards[k] != '?') {
            EXPECT_TRUE(flash == (c.boards[k] == 'I' ? expected : before));
        }
    }
}

const std::vector<std::string> kAllWrite = {"--all", "write", "IMAGE"};

// `count` calls of a kind failing in a row from `from` on: more than the
// retries ride out.
std::string failing(const std::string& kind, int from, int count) {
    std::string out;
    for (int n = from; n < from + count; ++n) {
        out += ",fault=" + kind + "@" + std::to_string(n);
    }
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    Gang, GangTest,
    testing::Values(
        GangCase{"AllGood", kAllWrite, {"", "", ""}, true, 0, "III", "0000"},
        GangCase{"OneUsbWriteFails",
                 kAllWrite,
                 {"", failing("write-fail", 60, 40), ""},
                 true,
                 2,
                 "I?I",
                 "2020"},
        GangCase{"OneReadsShort", kAllWrite, {",fault=read-short", "", ""}, true, 2, "?II", "2200"},
        GangCase{"OneNeverFinishesAProgram",
                 kAllWrite,
                 {"", "", ",fault=stuck-busy@2"},
                 true,
                 2,
                 "II?",
                 "2002"},
        GangCase{"OneHoldsAStuckBit",
                 kAllWrite,
                 {"", ",fault=stuck-zero@STUCK", ""},
                 true,
                 3,
                 "I?I",
                 "3030"},
        GangCase{"OneBusyInAnotherProcess",
                 kAllWrite,
                 {",fault=open-fail", "", ""},
                 true,
                 1,
                 "BII",
                 "1100"},
        GangCase{"OneUnpluggedMidBurn", kAllWrite, {"", "", ",unplug"}, true, 2, "II?", "2002"},
        GangCase{"WorstStatusWins",
                 kAllWrite,
                 {",fault=open-fail", failing("write-fail", 60, 40), ",fault=stuck-zero@STUCK"},
                 true,
                 3,
                 "B??",
                 "3123"},
        GangCase{"SubsetByIndex",
                 {"--device", "0", "--device", "2", "write", "IMAGE"},
                 {"", "", ""},
                 true,
                 0,
                 "IBI",
                 "000"},
        GangCase{"ImageRefusedTouchesNoBoard", kAllWrite, {"", "", ""}, false, 1, "BBB", "1"}),
    case_name<GangCase>);

}  // namespace
