// The record store: what one board's record costs to commit on a connection
// already open, the way watch's writer commits it (each put its own
// transaction, synced to the disk). Reported per back end: the median and the
// 99th percentile of the single commits, beside the mean Google Benchmark
// prints. The files go in HEXFLASH_BENCH_DIR, else the current directory: a
// tmpfs would make the sync free and the figure meaningless.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "store/store.h"

namespace {

StoreRecord bench_record(std::int64_t n) {
    StoreRecord r;
    r.run_id = store_uuid();
    r.time = store_time_now();
    r.host = "bench";
    r.version = "1.0.0";
    r.location = static_cast<std::uint32_t>(n % 32);
    r.serial = "FT7XQ2B";
    r.chip = "W25Q16JV";
    r.jedec_id = "ef4015";
    r.unique_id = "d267a8c1b3450a2e";
    r.image = "/images/oxa-2.4.hex";
    r.sha256 = std::string(64, 'a');
    r.erase = "auto";
    r.result = "passed";
    r.seconds = 7.125;
    r.retries = R"({"count": 0, "first": []})";
    r.is_protected = false;
    return r;
}

// Times each put of the run and reports median_ms and p99_ms.
void commit_each(benchmark::State& state, RecordStore& store) {
    std::vector<double> ms;
    std::int64_t n = 0;
    for (auto _ : state) {
        StoreRecord record = bench_record(n++);
        std::string error;
        const auto start = std::chrono::steady_clock::now();
        if (!store.put(record, error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::sort(ms.begin(), ms.end());
    if (!ms.empty()) {
        state.counters["median_ms"] = ms[ms.size() / 2];
        state.counters["p99_ms"] = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
    }
}

void BM_SqliteCommit(benchmark::State& state) {
    const char* where = std::getenv("HEXFLASH_BENCH_DIR");
    const std::filesystem::path dir =
        std::filesystem::path(where != nullptr ? where : ".") / "store-bench";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    StoreUrl url;
    url.kind = StoreUrl::Kind::kSqlite;
    url.path = (dir / "line.db").string();
    url.named = true;
    std::string error;
    {
        std::unique_ptr<RecordStore> store =
            RecordStore::open(url, RecordStore::Mode::kReadWrite, error);
        if (store == nullptr) {
            state.SkipWithError(error.c_str());
            return;
        }
        commit_each(state, *store);
    }
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_SqliteCommit)->Iterations(1000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
