// hexflash's transport burning into the simulated board, in-process: the
// five cases of the speed table, each reporting the board's virtual seconds
// beside the real time the simulation took (Release build: under 2 s).
//
// The images are built in memory as the image reader leaves them (the chip's
// bytes, 0xFF where no record writes); how they were cut into records does
// not reach the transport.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>

#include "d2xx/d2xx.h"
#include "d2xx/d2xx_driver.h"
#include "fastflash/fastflash.h"
#include "simboard/sim_driver.h"

namespace {

constexpr std::uint32_t kSector = CHIP_SECTOR_SIZE;

std::uint8_t pattern(std::uint32_t address, std::uint32_t build) {
    std::uint32_t x = (address + 1) * 2654435761U ^ (build * 40503U);
    return static_cast<std::uint8_t>(x >> 13);
}

struct Case {
    const char* timing;
    std::uint32_t image_length;  // build 1 from address 0
    std::uint32_t chip_length;   // build chip_build from 0, then 0xFF
    std::uint32_t chip_build;
};

// The speed table, in its order.
constexpr Case kCases[] = {
    {"timing=typ", CHIP_MAX_SIZE, CHIP_MAX_SIZE, 2},  // chip full of other data, <= 22 s
    {"timing=typ", CHIP_MAX_SIZE, 0, 0},              // blank chip, <= 8 s
    {"timing=typ", CHIP_MAX_SIZE, CHIP_MAX_SIZE, 1},  // already holds it, <= 1 s
    {"timing=typ", 4 * kSector, 4 * kSector, 2},      // 256 KiB over an older build, <= 4 s
    {"timing=max", CHIP_MAX_SIZE, CHIP_MAX_SIZE, 2},  // slow chip, <= 90 s
};

void BM_FastFlashBurn(benchmark::State& state) {
    const Case& c = kCases[state.range(0)];
    auto image = std::make_unique<image_map>();
    std::memset(image->bytes, 0xFF, sizeof image->bytes);
    std::memset(image->defined, 0, sizeof image->defined);
    for (std::uint32_t a = 0; a < c.image_length; ++a) {
        image->bytes[a] = pattern(a, 1);
        image->defined[a >> 3] =
            static_cast<std::uint8_t>(image->defined[a >> 3] | (1U << (a & 7)));
    }
    auto link = std::make_unique<nor_chip>();
    auto plan = std::make_unique<plan_burn>();
    double virtual_s = 0;
    double real_s = 0;
    fast_stats stats{};
    for (auto _ : state) {
        SimOptions options;
        std::string error;
        parse_sim_options(c.timing, options, error);
        SimDriver driver(std::move(options));
        for (std::uint32_t a = 0; a < CHIP_MAX_SIZE; ++a) {
            driver.board().flash[a] = a < c.chip_length ? pattern(a, c.chip_build) : 0xFF;
        }
        d2xx_bind(&driver);
        const auto start = std::chrono::steady_clock::now();
        std::uint32_t count = 0;
        FT_HANDLE handle = nullptr;
        FT_CreateDeviceInfoList(&count);
        FT_Open(1, &handle);
        const plan_options burn{PLAN_ERASE_AUTO, false};
        int result = nor_open(handle, NOR_DEFAULT_CLOCK_HZ, link.get());
        if (result == LINK_OK) {
            result = fast_plan_burn(link.get(), image.get(), &burn, plan.get(), &stats, nullptr);
        }
        if (result == LINK_OK) {
            result = fast_execute(link.get(), plan.get(), &stats, nullptr);
        }
        link_close(link.get());
        FT_Close(handle);
        real_s += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        d2xx_bind(nullptr);
        if (result != LINK_OK ||
            std::memcmp(driver.board().flash.data(), image->bytes, CHIP_MAX_SIZE) != 0) {
            state.SkipWithError("the burn did not leave the chip as it must");
            return;
        }
        virtual_s += static_cast<double>(driver.board().clock.now_ns) / 1e9;
    }
    const double runs = static_cast<double>(state.iterations());
    state.counters["virtual_s"] = virtual_s / runs;
    state.counters["real_s"] = real_s / runs;
    // Where the virtual time went, from the last run (the rest is set-up).
    state.counters["read_s"] = stats.seconds_read;
    state.counters["erase_s"] = stats.seconds_erase;
    state.counters["program_s"] = stats.seconds_program;
    state.counters["verify_s"] = stats.seconds_verify;
    state.counters["pages"] = stats.pages_programmed;
    state.counters["erased"] = stats.sectors_erased;
}
BENCHMARK(BM_FastFlashBurn)
    ->ArgName("case")
    ->DenseRange(0, 4)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

}  // namespace
