// In-process: the SHA-256 beside sha256sum, a chip whose block protection is
// set before hexflash runs (the simulated chip keeps its status register only
// while its driver lives), and an interrupt raised at a chosen USB write.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "burn.h"
#include "case_name.h"
#include "drivers/sim_driver.h"
#include "fastflash/fastflash.h"
#include "forwarding_driver.h"
#include "hexflash/hexflash.h"
#include "hexflash/sha256.h"
#include "mpsse/d2xx.h"
#include "mpsse/d2xx_driver.h"

namespace {

std::string command_output(const std::string& command) {
    std::string out;
    std::FILE* pipe = popen(command.c_str(), "r");
    char buffer[256];
    while (pipe != nullptr && std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
        out += buffer;
    }
    if (pipe != nullptr) {
        pclose(pipe);
    }
    return out;
}

TEST(Sha256, AsSha256sum) {
    ScratchDir scratch;
    // Around each padding boundary, and more than one buffer's worth.
    for (std::size_t size : {0, 1, 55, 56, 63, 64, 65, 119, 120, 1000003}) {
        SCOPED_TRACE(size);
        Bytes data = pattern(size, static_cast<std::uint32_t>(size));
        write_bytes(scratch.path("data"), data);
        Sha256 hash;
        // In uneven pieces, as a file is read.
        for (std::size_t at = 0; at < size; at += 37) {
            hash.update(data.data() + at, std::min<std::size_t>(37, size - at));
        }
        EXPECT_EQ(hash.hex_digest() + "  " + scratch.path("data") + "\n",
                  command_output("sha256sum '" + scratch.path("data") + "'"));
    }
}

// Sets the chip's status register through a link of its own.
void set_status(std::uint8_t status) {
    FT_HANDLE handle = nullptr;
    ASSERT_EQ(FT_Open(1, &handle), FT_OK);
    fast_link link{};
    ASSERT_EQ(fast_open(handle, FAST_DEFAULT_CLOCK_HZ, &link), FAST_OK);
    ASSERT_EQ(fast_write_status(&link, status), FAST_OK);
    fast_close(&link);
    FT_Close(handle);
}

std::uint8_t get_status() {
    FT_HANDLE handle = nullptr;
    EXPECT_EQ(FT_Open(1, &handle), FT_OK);
    fast_link link{};
    std::uint8_t status = 0xFF;
    EXPECT_EQ(fast_open(handle, FAST_DEFAULT_CLOCK_HZ, &link), FAST_OK);
    EXPECT_EQ(fast_read_status(&link, &status), FAST_OK);
    fast_close(&link);
    FT_Close(handle);
    return status;
}

int run_hexflash(std::vector<std::string> args) {
    std::vector<char*> argv;
    std::string name = "hexflash";
    argv.push_back(name.data());
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    return hexflash_main(static_cast<int>(argv.size()), argv.data());
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
    set_status(c.status);
    std::vector<std::string> args = {"--quiet", "write", hex};
    args.insert(args.end(), c.options.begin(), c.options.end());
    EXPECT_EQ(run_hexflash(args), c.exit_status);
    // The protection is as it was, whatever happened.
    EXPECT_EQ(get_status(), c.status);
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
    int writes() const { return writes_; }

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
    auto run = [&](int at, int* writes) {
        std::string error;
        auto sim = make_sim_driver(
            "flash=" + scratch.path("flash.bin") + ",timing=zero,trace=" + trace, error);
        EXPECT_NE(sim, nullptr) << error;
        Interrupting driver(*sim, at);
        d2xx_bind(&driver);
        int status = run_hexflash({"--quiet", "write", hex});
        d2xx_bind(nullptr);
        *writes = driver.writes();
        return status;
    };
    int clean_writes = 0;
    ASSERT_EQ(run(0, &clean_writes), 0);
    std::remove(trace.c_str());
    int writes = 0;
    EXPECT_EQ(run(clean_writes / 2, &writes), 130);
    EXPECT_LT(writes, clean_writes);
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

}  // namespace
