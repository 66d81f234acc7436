// In-process: the SHA-256 beside sha256sum, and a chip whose block
// protection is set before hexflash runs (the simulated chip keeps its status
// register only while its driver lives).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "burn.h"
#include "case_name.h"
#include "drivers/sim_driver.h"
#include "fastflash/fastflash.h"
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

}  // namespace
