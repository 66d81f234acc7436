// Benchmarks of hexburn on a 2 MiB image of 16-byte records (131,072 data
// records): the record parser, the image check made before the erase, a whole
// burn into the simulated board, and the program's own work per record.
//
// The image is the file named by HEXBURN_BENCH_IMAGE (bench/make_image.sh
// makes it; bench/run.sh does all of this).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "hexburn/hexburn.h"
#include "host/console.h"
#include "image/hex_record.h"
#include "image/image.h"
#include "instant_driver.h"
#include "simboard/sim_driver.h"
#include "test_dir.h"

namespace {

constexpr double kDataRecords = 131072;  // 2 MiB in 16-byte records

const char* image_path() {
    const char* path = std::getenv("HEXBURN_BENCH_IMAGE");
    return path != nullptr ? path : "";
}

// Console output goes nowhere while a run is timed.
class QuietConsole {
  public:
    QuietConsole() : sink_(std::fopen("/dev/null", "w")) { console_redirect(sink_, nullptr); }
    ~QuietConsole() {
        console_redirect(nullptr, nullptr);
        std::fclose(sink_);
    }
    QuietConsole(const QuietConsole&) = delete;
    QuietConsole& operator=(const QuietConsole&) = delete;

  private:
    std::FILE* sink_;
};

// The whole program, as `hexburn IMAGE` runs it, against `driver`.
int run_program(D2xxDriver& driver, const char* path) {
    char name[] = "hexburn";
    std::string image(path);
    char* argv[] = {name, image.data(), nullptr};
    d2xx_bind(&driver);
    int status = hexburn_main(2, argv);
    d2xx_bind(nullptr);
    return status;
}

void per_record(benchmark::State& state, const char* name, double total) {
    state.counters[name] = benchmark::Counter(total / kDataRecords);
}

void BM_ParseRecord(benchmark::State& state) {
    std::ifstream file(image_path());
    std::vector<std::string> lines;
    std::int64_t bytes = 0;
    for (std::string line; std::getline(file, line);) {
        line += '\n';
        bytes += static_cast<std::int64_t>(line.size());
        lines.push_back(std::move(line));
    }
    if (lines.empty()) {
        state.SkipWithError("no image: set HEXBURN_BENCH_IMAGE (bench/run.sh does)");
        return;
    }
    hex_record record;
    for (auto _ : state) {
        for (const std::string& line : lines) {
            benchmark::DoNotOptimize(parse_hex_record(&record, line.c_str()));
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * bytes);
    state.counters["per_line"] = benchmark::Counter(
        static_cast<double>(lines.size()),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ParseRecord)->Unit(benchmark::kMillisecond);

void BM_ImageCheck(benchmark::State& state) {
    QuietConsole quiet;
    std::int64_t bytes = 0;
    for (auto _ : state) {
        std::FILE* file = image_open(image_path());
        if (file == nullptr) {
            state.SkipWithError("no image: set HEXBURN_BENCH_IMAGE (bench/run.sh does)");
            return;
        }
        static image_map map;
        std::uint32_t line = 0;
        if (image_scan(file, &map, &line) != IMAGE_FINE) {
            state.SkipWithError("the image was refused");
        }
        bytes = std::ftell(file);
        std::fclose(file);
    }
    state.SetBytesProcessed(state.iterations() * bytes);
    state.counters["per_record"] = benchmark::Counter(
        kDataRecords, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ImageCheck)->Unit(benchmark::kMillisecond);

// One burn into a fresh simulated board.
struct SimBurn {
    int status = -1;
    double real_s = 0;
    double virtual_s = 0;
    SimTraffic traffic;
};

SimBurn burn_simulated(const char* options_text, const char* path) {
    SimBurn burn;
    SimOptions options;
    std::string error;
    if (!parse_sim_options(options_text, options, error)) {
        return burn;
    }
    SimDriver driver(std::move(options));
    auto start = std::chrono::steady_clock::now();
    burn.status = run_program(driver, path);
    burn.real_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    burn.virtual_s = static_cast<double>(driver.board().clock.now_ns) / 1e9;
    burn.traffic = driver.board().traffic;
    return burn;
}

// A whole burn into the simulated board, chip timing `typ` (0) or `max` (1):
// real seconds beside the virtual seconds the board reports, and the USB
// calls per data record (less those of a burn without data: set-up, erase).
void BM_BurnSimulatedBoard(benchmark::State& state) {
    QuietConsole quiet;
    const char* timing = state.range(0) == 0 ? "timing=typ" : "timing=max";
    const std::string empty = test_path("empty.hex");
    std::ofstream(empty) << ":00000001FF\n";
    const SimBurn base = burn_simulated(timing, empty.c_str());
    std::filesystem::remove(empty);
    double real_s = 0;
    double virtual_s = 0;
    SimBurn last;
    for (auto _ : state) {
        last = burn_simulated(timing, image_path());
        if (last.status != 0 || base.status != 0) {
            state.SkipWithError("the burn failed (is HEXBURN_BENCH_IMAGE set?)");
            return;
        }
        real_s += last.real_s;
        virtual_s += last.virtual_s;
    }
    const double runs = static_cast<double>(state.iterations());
    state.counters["real_s"] = real_s / runs;
    state.counters["virtual_s"] = virtual_s / runs;
    state.counters["virtual/real"] = virtual_s / real_s;
    per_record(state, "writes/rec",
               static_cast<double>(last.traffic.usb_writes - base.traffic.usb_writes));
    per_record(state, "reads/rec",
               static_cast<double>(last.traffic.usb_reads - base.traffic.usb_reads));
}
BENCHMARK(BM_BurnSimulatedBoard)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The program against a board that answers at once: what is left is the
// program's own work, per data record.
void BM_OwnWork(benchmark::State& state) {
    QuietConsole quiet;
    for (auto _ : state) {
        InstantDriver driver;
        if (run_program(driver, image_path()) != 0) {
            state.SkipWithError("the run failed (is HEXBURN_BENCH_IMAGE set?)");
            return;
        }
    }
    state.counters["per_record"] = benchmark::Counter(
        kDataRecords, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_OwnWork)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
