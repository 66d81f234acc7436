// Faults of the board over `hexflash write`: each kind at a few points of a
// clean run. Whatever the fault, the run ends in bounded time, and a run that
// reports success leaves the chip exactly as the image wants it.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "burn.h"
#include "process.h"

namespace {

std::uint64_t count_lines(const std::string& path, const std::string& start) {
    std::ifstream in(path);
    std::uint64_t count = 0;
    for (std::string line; std::getline(in, line);) {
        count += line.rfind(start, 0) == 0;
    }
    return count;
}

// n evenly spread call numbers from 1 to last.
std::vector<std::uint64_t> spread(std::uint64_t last, int n) {
    std::vector<std::uint64_t> at;
    for (int i = 0; i < n; ++i) {
        at.push_back(1 + (last - 1) * static_cast<std::uint64_t>(i) /
                             static_cast<std::uint64_t>(n - 1));
    }
    return at;
}

TEST(HexflashFaults, NoFaultEndsInSuccessWithAWrongChip) {
    ScratchDir scratch;
    std::string hex = scratch.path("image.hex");
    std::string text;
    for (std::uint32_t i = 0; i < 24; ++i) {
        text += record_text(0, 0x7F0 + 32 * i, pattern(32, 50 + i)) + "\n";
    }
    write_file(hex, text + record_text(4, 0, {0x00, 0x05}) + "\n" +
                        record_text(0, 0x10, pattern(48, 9)) + "\n:00000001FF\n");
    Bytes expected = expected_flash(scratch, hex);
    // A chip holding the image but for its first sector: some sectors erased,
    // some left alone.
    Bytes before = expected;
    std::fill(before.begin(), before.begin() + 0x10000, 0x00);
    before[0x50020] = 0x00;
    std::string flash = scratch.path("flash.bin");
    auto run = [&](const std::string& sim) {
        write_bytes(flash, before);
        ProcessResult result =
            run_process({HEXFLASH_EXE, "--quiet", "write", hex},
                        {"HEXBURN_DRIVER=sim:flash=" + flash + ",timing=zero," + sim}, "", 120);
        EXPECT_FALSE(result.timed_out) << sim;
        return result.exit_status;
    };
    std::string trace = scratch.path("trace.txt");
    std::string report = scratch.path("report.json");
    ASSERT_EQ(run("trace=" + trace + ",report=" + report), 0);
    ASSERT_TRUE(read_bytes(flash) == expected);
    std::uint64_t writes = count_lines(trace, "FT_Write ");
    std::uint64_t reads = count_lines(trace, "FT_Read ");
    std::uint64_t cycles = report_value(report, "page_programs") +
                           report_value(report, "sector_erases") +
                           report_value(report, "bulk_erases");
    ASSERT_GT(cycles, 2u);

    std::vector<std::string> faults = {"no-echo", "setup-fail", "open-fail", "stuck-zero@0x800",
                                       "stuck-zero@0x50021"};
    for (const char* kind : {"write-fail", "write-short"}) {
        for (std::uint64_t n : spread(writes, 7)) {
            faults.push_back(std::string(kind) + "@" + std::to_string(n));
        }
    }
    for (const char* kind : {"read-fail", "read-short"}) {
        for (std::uint64_t n : spread(reads, 7)) {
            faults.push_back(std::string(kind) + "@" + std::to_string(n));
        }
    }
    for (std::uint64_t n : {cycles / 2 + 1, cycles}) {
        faults.push_back("stuck-busy@" + std::to_string(n));
    }
    int successes = 0;
    for (const std::string& fault : faults) {
        int status = run("fault=" + fault);
        SCOPED_TRACE(fault);
        EXPECT_TRUE(status >= 0 && status <= 3) << status;
        if (status == 0) {
            ++successes;
            EXPECT_TRUE(read_bytes(flash) == expected) << "success with a wrong chip";
        }
    }
    std::printf("hexflash fault matrix: %zu faults, %d ended in success\n", faults.size(),
                successes);
}

}  // namespace
