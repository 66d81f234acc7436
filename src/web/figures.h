// The line at a glance: what the page and the report show, read from the
// record store. Queries only; the store is opened read-only by the caller.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "store/store.h"

struct Tally {
    std::uint64_t passed = 0;
    std::uint64_t failed = 0;
    std::uint64_t interrupted = 0;
    std::uint64_t total() const { return passed + failed + interrupted; }
};

// Boards in one hour, day or month: its start as the store writes times
// ("2026-12-11T08:00:00Z"), and their results.
struct TimeBucket {
    std::string start;
    Tally tally;
};

// Yield of a station (host and location) or of an image (name only).
struct YieldRow {
    std::string host;  // per image: the image's name, "" where a run had none
    std::uint32_t location = 0;
    Tally tally;
};

struct PhaseCount {
    std::string phase;  // "" where a failed record names none
    std::uint64_t count = 0;
};

// A station's row and the outcome of the latest record from its port.
struct StationView {
    StoreStation station;
    std::optional<StoreRecord> last;
};

enum class BucketUnit { kHour, kDay, kMonth };

struct FigureQuery {
    std::string since;                 // ISO 8601 UTC, as the store writes times
    std::optional<std::string> until;  // none: up to now
    std::size_t records = 100;         // the newest this many; 0: every one of the period
};

struct Figures {
    std::string since;
    std::optional<std::string> until;
    Tally tally;
    BucketUnit unit = BucketUnit::kHour;
    std::vector<TimeBucket> per_time;  // oldest first, empty buckets included
    std::vector<YieldRow> per_station;
    std::vector<YieldRow> per_image;
    std::vector<PhaseCount> failed_by_phase;  // most first
    std::vector<StationView> stations;
    std::vector<StoreRecord> records;  // newest first
};

// Reads every figure of the period. False with `error` when a query failed.
bool figures_read(RecordStore& store, const FigureQuery& query, Figures& out, std::string& error);

// A board's history: the records whose serial, unique ID or any field's value
// is `text` (a unique ID or a MAC in either case), and when those are of a few
// boards, every other run of those boards' chips; newest first, at most `limit`.
bool figures_search(RecordStore& store, const std::string& text, std::size_t limit,
                    std::vector<StoreRecord>& out, std::string& error);

// --- times, as the store writes them ------------------------------------------------
// Seconds since 1970 of "2026-12-11T08:00:00Z"; nullopt for anything else.
std::optional<long long> figures_seconds(const std::string& iso);
std::string figures_iso(long long seconds);
// The buckets from the one holding `first` to the one holding `last`, each
// empty; at most `limit` of them (the last ones).
std::vector<TimeBucket> figures_buckets(BucketUnit unit, long long first, long long last,
                                        std::size_t limit);
// The unit that shows `span` seconds of records in a readable number of bars.
BucketUnit figures_unit(long long span);
