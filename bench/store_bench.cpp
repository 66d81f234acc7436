// The record store: what one board's record costs to commit on a connection
// already open, the way watch's writer commits it (each put its own
// transaction, synced to the disk). Reported per back end: the median and the
// 99th percentile of the single commits, beside the mean Google Benchmark
// prints; on PostgreSQL also 32 stations committing at once. The files go in
// HEXFLASH_BENCH_DIR, else the current directory: a tmpfs would make the
// sync free and the figure meaningless.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
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

// PostgreSQL: the server that HEXFLASH_BENCH_PG names (bench/run.sh starts a
// throw-away one, its commits synced as a real server's are), in a table
// emptied first.
std::unique_ptr<RecordStore> postgres_store(benchmark::State& state) {
    const char* conninfo = std::getenv("HEXFLASH_BENCH_PG");
    if (conninfo == nullptr || *conninfo == '\0') {
        state.SkipWithError("HEXFLASH_BENCH_PG names no PostgreSQL store");
        return nullptr;
    }
    StoreUrl url;
    url.kind = StoreUrl::Kind::kPostgres;
    url.conninfo = conninfo;
    url.named = true;
    std::string error;
    std::unique_ptr<RecordStore> store =
        RecordStore::open(url, RecordStore::Mode::kReadWrite, error);
    if (store == nullptr) {
        state.SkipWithError(error.c_str());
    }
    return store;
}

void BM_PostgresCommit(benchmark::State& state) {
    std::unique_ptr<RecordStore> store = postgres_store(state);
    if (store != nullptr && store->sql().exec("DELETE FROM runs")) {
        commit_each(state, *store);
    }
}
BENCHMARK(BM_PostgresCommit)->Iterations(1000)->Unit(benchmark::kMillisecond)->UseRealTime();

// 32 stations, each its own connection, committing at once; each record sent
// twice (as a replayed spool would). None may be lost or stored twice.
void BM_PostgresThirtyTwoStations(benchmark::State& state) {
    constexpr int kStations = 32;
    constexpr int kEach = 25;
    std::unique_ptr<RecordStore> check = postgres_store(state);
    if (check == nullptr || !check->sql().exec("DELETE FROM runs")) {
        return;
    }
    std::vector<std::vector<double>> ms(kStations);
    std::vector<std::string> errors(kStations);
    for (auto _ : state) {
        std::vector<std::thread> stations;
        for (int s = 0; s < kStations; ++s) {
            stations.emplace_back([&, s] {
                auto& mine = ms[static_cast<std::size_t>(s)];
                std::string& error = errors[static_cast<std::size_t>(s)];
                std::unique_ptr<RecordStore> store =
                    RecordStore::open(check->url(), RecordStore::Mode::kReadWrite, error);
                for (int i = 0; store != nullptr && i < kEach; ++i) {
                    StoreRecord record = bench_record(s);
                    for (int twice = 0; twice < 2; ++twice) {
                        const auto start = std::chrono::steady_clock::now();
                        if (!store->put(record, error)) {
                            return;
                        }
                        mine.push_back(std::chrono::duration<double, std::milli>(
                                           std::chrono::steady_clock::now() - start)
                                           .count());
                    }
                }
            });
        }
        for (std::thread& station : stations) {
            station.join();
        }
    }
    std::vector<double> all;
    for (int s = 0; s < kStations; ++s) {
        if (!errors[static_cast<std::size_t>(s)].empty()) {
            state.SkipWithError(errors[static_cast<std::size_t>(s)].c_str());
            return;
        }
        all.insert(all.end(), ms[static_cast<std::size_t>(s)].begin(),
                   ms[static_cast<std::size_t>(s)].end());
    }
    std::vector<SqlRow> rows;
    if (!check->sql().exec("SELECT count(*), count(DISTINCT run_id) FROM runs", {}, &rows) ||
        rows.size() != 1 ||
        rows[0] != SqlRow{std::to_string(kStations * kEach), std::to_string(kStations * kEach)}) {
        state.SkipWithError("records lost or stored twice");
        return;
    }
    std::sort(all.begin(), all.end());
    state.counters["records"] = kStations * kEach;
    state.counters["median_ms"] = all[all.size() / 2];
    state.counters["p99_ms"] = all[std::min(all.size() - 1, all.size() * 99 / 100)];
}
BENCHMARK(BM_PostgresThirtyTwoStations)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
