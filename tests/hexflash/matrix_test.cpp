// The single-fault matrix of `hexflash write`: a failed or short USB write
// or read at every position of the first and last calls of a clean run and
// at positions spread between them, on a small and a whole-chip image, over
// a blank chip and one full of other data. Nearly every fault is ridden out
// with the right chip, and no run reports success with a wrong one.
//
// Dense by default (CTest label `matrix`); a build configured with
// HEXBURN_SPARSE_MATRIX samples a few positions of each stretch.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "burn.h"
#include "case_name.h"
#include "process.h"

namespace {

#if HEXBURN_MATRIX_SPARSE
constexpr std::uint64_t kFirst = 6, kLast = 4, kBetween = 4;
#else
constexpr std::uint64_t kFirst = 80, kLast = 80, kBetween = 40;
#endif

// The share of striking faults a run must ride out.
constexpr double kRiddenOut = 0.99;

// Positions 1..last to strike: the first and last stretches whole, and
// evenly spread ones between them.
std::set<std::uint64_t> positions(std::uint64_t last) {
    std::set<std::uint64_t> at;
    for (std::uint64_t n = 1; n <= last && n <= kFirst; ++n) {
        at.insert(n);
    }
    for (std::uint64_t n = last > kLast ? last - kLast + 1 : 1; n <= last; ++n) {
        at.insert(n);
    }
    if (last > kFirst + kLast) {
        const std::uint64_t gap = last - kFirst - kLast;
        for (std::uint64_t i = 1; i <= kBetween; ++i) {
            at.insert(kFirst + (gap * i + kBetween) / (kBetween + 1));
        }
    }
    return at;
}

std::uint64_t count_starting(const std::string& path, const std::string& start) {
    std::ifstream in(path);
    std::uint64_t count = 0;
    for (std::string line; std::getline(in, line);) {
        count += line.rfind(start, 0) == 0 ? 1 : 0;
    }
    return count;
}

struct MatrixCase {
    std::string name;
    std::size_t image_size;
    bool full_chip;    // the chip holds other data; else blank
    const char* kind;  // the board's fault
};

class FaultMatrix : public testing::TestWithParam<MatrixCase> {};

TEST_P(FaultMatrix, RidesOutNearlyEverySingleFaultAndNeverEndsGoodWithAWrongChip) {
    const MatrixCase& c = GetParam();
    ScratchDir scratch;
    const std::string hex = scratch.path("image.hex");
    srecord_image(scratch, hex, pattern(c.image_size, 5), 0, 32);
    const Bytes expected = expected_flash(scratch, hex);
    const Bytes before = c.full_chip ? pattern(kFlashSize, 77) : Bytes(kFlashSize, 0xFF);
    const std::string flash = scratch.path("flash.bin");
    auto run = [&](const std::string& extra) {
        write_bytes(flash, before);
        ProcessResult result =
            run_process({HEXFLASH_EXE, "--quiet", "write", hex},
                        {"HEXBURN_DRIVER=sim:flash=" + flash + ",timing=zero" + extra}, "", 120);
        EXPECT_FALSE(result.timed_out) << extra;
        return result;
    };
    const std::string trace = scratch.path("trace.txt");
    ASSERT_EQ(run(",trace=" + trace).exit_status, 0);
    ASSERT_TRUE(read_bytes(flash) == expected);
    const bool writes = std::string(c.kind).rfind("write", 0) == 0;
    const std::uint64_t calls = count_starting(trace, writes ? "FT_Write " : "FT_Read ");

    int struck = 0, survived = 0;
    std::string lost;
    for (std::uint64_t n : positions(calls)) {
        const std::string fault = std::string(c.kind) + "@" + std::to_string(n);
        const ProcessResult result = run(",fault=" + fault);
        ++struck;
        EXPECT_TRUE(result.exit_status == 0 || result.exit_status == 2 || result.exit_status == 3)
            << fault << ": " << result.exit_status;
        if (result.exit_status == 0) {
            EXPECT_TRUE(read_bytes(flash) == expected) << fault << ": success with a wrong chip";
            ++survived;
        } else {
            lost += "\n  " + fault + ": " + result.err.substr(0, result.err.find('\n'));
        }
    }
    std::printf("%s: %d of %d single faults ridden out (%.1f %%)%s\n", c.name.c_str(), survived,
                struck, 100.0 * survived / struck, lost.c_str());
    EXPECT_GE(survived, kRiddenOut * struck) << lost;
}

std::vector<MatrixCase> matrix() {
    struct Image {
        const char* name;
        std::size_t size;
        bool full;
    };
    const Image images[] = {{"Image64KiBBlank", 0x10000, false},
                            {"Image64KiBOverData", 0x10000, true},
                            {"Image2MiBBlank", kFlashSize, false},
                            {"Image2MiBOverData", kFlashSize, true}};
    struct Kind {
        const char* fault;
        const char* name;
    };
    const Kind kinds[] = {{"write-fail", "WriteFail"},
                          {"write-short", "WriteShort"},
                          {"read-fail", "ReadFail"},
                          {"read-short", "ReadShort"}};
    std::vector<MatrixCase> cases;
    for (const Image& image : images) {
        for (const Kind& kind : kinds) {
            cases.push_back(
                {std::string(image.name) + kind.name, image.size, image.full, kind.fault});
        }
    }
    return cases;
}

// One case per image, chip and fault kind, so that CTest spreads them.
INSTANTIATE_TEST_SUITE_P(Write, FaultMatrix, testing::ValuesIn(matrix()), case_name<MatrixCase>);

}  // namespace
