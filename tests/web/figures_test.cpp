// The figures the page and the report show, read back from a SQLite store
// filled with known records; the time arithmetic under them.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "case_name.h"
#include "scratch.h"
#include "store/store.h"
#include "web/figures.h"

namespace {

// --- times ----------------------------------------------------------------------

struct TimeCase {
    std::string name;
    std::string iso;
    std::optional<long long> seconds;
};

class Times : public testing::TestWithParam<TimeCase> {};

TEST_P(Times, ReadAndWrittenBack) {
    const TimeCase& c = GetParam();
    EXPECT_EQ(figures_seconds(c.iso), c.seconds);
    if (c.seconds) {
        EXPECT_EQ(figures_iso(*c.seconds), c.iso);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, Times,
                         testing::Values(TimeCase{"Epoch", "1970-01-01T00:00:00Z", 0},
                                         TimeCase{"BeforeEpoch", "1969-12-31T23:59:59Z", -1},
                                         TimeCase{"LeapDay", "2024-02-29T12:00:00Z", 1709208000},
                                         TimeCase{"CenturyLeap", "2000-03-01T00:00:00Z", 951868800},
                                         TimeCase{"YearEnd", "2026-12-31T23:59:59Z", 1798761599},
                                         TimeCase{"NoZone", "2026-12-11T08:00:00", std::nullopt},
                                         TimeCase{"DateOnly", "2026-12-11", std::nullopt},
                                         TimeCase{"Month13", "2026-13-01T00:00:00Z", std::nullopt},
                                         TimeCase{"Hour24", "2026-12-11T24:00:00Z", std::nullopt},
                                         TimeCase{"LetterInYear", "2O26-12-11T08:00:00Z",
                                                  std::nullopt}),
                         case_name<TimeCase>);

struct BucketCase {
    std::string name;
    BucketUnit unit;
    std::string first, last;
    std::size_t limit;
    std::vector<std::string> starts;
};

class Buckets : public testing::TestWithParam<BucketCase> {};

TEST_P(Buckets, CoverFirstToLastOnWholeUnits) {
    const BucketCase& c = GetParam();
    std::vector<std::string> starts;
    for (const TimeBucket& bucket :
         figures_buckets(c.unit, *figures_seconds(c.first), *figures_seconds(c.last), c.limit)) {
        starts.push_back(bucket.start);
        EXPECT_EQ(bucket.tally.total(), 0u);
    }
    EXPECT_EQ(starts, c.starts);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Buckets,
    testing::Values(
        BucketCase{"HoursOverMidnight",
                   BucketUnit::kHour,
                   "2026-12-10T22:59:59Z",
                   "2026-12-11T00:00:00Z",
                   10,
                   {"2026-12-10T22:00:00Z", "2026-12-10T23:00:00Z", "2026-12-11T00:00:00Z"}},
        BucketCase{"OneInstantOneHour",
                   BucketUnit::kHour,
                   "2026-12-11T08:30:00Z",
                   "2026-12-11T08:30:00Z",
                   10,
                   {"2026-12-11T08:00:00Z"}},
        BucketCase{"LimitKeepsTheLatest",
                   BucketUnit::kHour,
                   "2026-12-11T00:00:00Z",
                   "2026-12-11T05:10:00Z",
                   2,
                   {"2026-12-11T04:00:00Z", "2026-12-11T05:00:00Z"}},
        BucketCase{"DaysOverLeapDay",
                   BucketUnit::kDay,
                   "2024-02-28T23:00:00Z",
                   "2024-03-01T01:00:00Z",
                   10,
                   {"2024-02-28T00:00:00Z", "2024-02-29T00:00:00Z", "2024-03-01T00:00:00Z"}},
        BucketCase{"MonthsOverNewYear",
                   BucketUnit::kMonth,
                   "2025-11-30T00:00:00Z",
                   "2026-01-01T00:00:00Z",
                   10,
                   {"2025-11-01T00:00:00Z", "2025-12-01T00:00:00Z", "2026-01-01T00:00:00Z"}},
        BucketCase{"MonthLimit",
                   BucketUnit::kMonth,
                   "2000-01-15T00:00:00Z",
                   "2026-12-11T00:00:00Z",
                   2,
                   {"2026-11-01T00:00:00Z", "2026-12-01T00:00:00Z"}},
        BucketCase{"LastBeforeFirst",
                   BucketUnit::kHour,
                   "2026-12-11T08:00:00Z",
                   "2026-12-11T07:00:00Z",
                   10,
                   {}}),
    case_name<BucketCase>);

TEST(BucketUnitChoice, HoursUpToThreeDaysThenDaysThenMonths) {
    const long long hour = 3600;
    EXPECT_EQ(figures_unit(0), BucketUnit::kHour);
    EXPECT_EQ(figures_unit(72 * hour), BucketUnit::kHour);
    EXPECT_EQ(figures_unit(72 * hour + 1), BucketUnit::kDay);
    EXPECT_EQ(figures_unit(400 * 24 * hour), BucketUnit::kDay);
    EXPECT_EQ(figures_unit(400 * 24 * hour + 1), BucketUnit::kMonth);
}

// --- a store with known records ----------------------------------------------------

struct KnownRun {
    const char* time;
    const char* host;
    std::uint32_t location;
    const char* result;
    const char* phase;  // nullptr: none
    const char* image;  // nullptr: none
    const char* serial;
    const char* unique_id;  // nullptr: none
    const char* fields;
};

// The period under test: 2026-12-11 from 06:00 to 10:00.
const KnownRun kRuns[] = {
    {"2026-12-11T05:59:59Z", "jig-1", 18, "failed", "erase", "fw-a.hex", "B", "aa01", "{}"},
    {"2026-12-11T06:00:00Z", "jig-1", 18, "passed", nullptr, "fw-a.hex", "B", "aa02", "{}"},
    {"2026-12-11T06:10:00Z", "jig-1", 18, "passed", nullptr, "fw-a.hex", "B", "aa03", "{}"},
    {"2026-12-11T07:05:00Z", "jig-1", 34, "failed", "program", "fw-a.hex", "FT7XQ2B", "aa04", "{}"},
    {"2026-12-11T07:06:00Z", "jig-2", 18, "failed", "program", "fw-b.hex", "B", "aa05", "{}"},
    // The board that passes at 09:59:59 with its fields, failed once before.
    {"2026-12-11T07:07:00Z", "jig-2", 18, "failed", "verify", "fw-b.hex", "B", "aa08", "{}"},
    {"2026-12-11T08:30:00Z", "jig-2", 18, "interrupted", "program", "fw-b.hex", "B", nullptr, "{}"},
    {"2026-12-11T09:00:00Z", "jig-2", 34, "passed", nullptr, nullptr, "B", "aa07", "{}"},
    {"2026-12-11T09:59:59Z", "jig-2", 34, "passed", nullptr, "fw-b.hex", "B", "aa08",
     "{\"serial\": \"OXA2-000002\", \"mac\": \"02:00:00:00:00:0a\"}"},
    {"2026-12-11T10:00:00Z", "jig-2", 34, "passed", nullptr, "fw-b.hex", "B", "aa09", "{}"},
};

StoreRecord record_of(const KnownRun& run, int number) {
    StoreRecord r;
    r.run_id = "run-" + std::to_string(number);
    r.time = run.time;
    r.host = run.host;
    r.version = "1.0.0";
    r.location = run.location;
    r.serial = run.serial;
    r.chip = "W25Q16JV";
    if (run.unique_id != nullptr) {
        r.unique_id = run.unique_id;
    }
    if (run.image != nullptr) {
        r.image = run.image;
    }
    r.result = run.result;
    r.exit_status = r.result == "passed" ? 0 : r.result == "interrupted" ? 130 : 3;
    if (run.phase != nullptr) {
        r.phase = run.phase;
        r.message = std::string("stopped in ") + run.phase;
    }
    r.fields = run.fields;
    return r;
}

class FilledStore : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(store_url("sqlite:" + scratch_.path("line.db"), url_, error_)) << error_;
        auto writer = RecordStore::open(url_, RecordStore::Mode::kReadWrite, error_);
        ASSERT_NE(writer, nullptr) << error_;
        int number = 0;
        for (const KnownRun& run : kRuns) {
            ASSERT_TRUE(writer->put(record_of(run, number++), error_)) << error_;
        }
        for (const StoreStation& station :
             {StoreStation{"jig-1", 18, "waiting", "", 0, "2026-12-11T10:00:00Z"},
              StoreStation{"jig-2", 34, "burning", "program", 40, "2026-12-11T10:00:01Z"},
              StoreStation{"jig-3", 50, "waiting", "", 0, "2026-12-11T10:00:01Z"}}) {
            ASSERT_TRUE(writer->put_station(station, error_)) << error_;
        }
        // What the page reads, it reads as a reader does.
        store_ = RecordStore::open(url_, RecordStore::Mode::kReadOnly, error_);
        ASSERT_NE(store_, nullptr) << error_;
    }

    Figures read(const std::string& since, std::optional<std::string> until, std::size_t records) {
        Figures figures;
        FigureQuery query{since, std::move(until), records};
        EXPECT_TRUE(figures_read(*store_, query, figures, error_)) << error_;
        return figures;
    }

    StoreScratch scratch_;
    StoreUrl url_;
    std::string error_;
    std::unique_ptr<RecordStore> store_;
};

std::string tally_text(const Tally& t) {
    return std::to_string(t.passed) + "/" + std::to_string(t.failed) + "/" +
           std::to_string(t.interrupted);
}

TEST_F(FilledStore, FiguresCountOnlyThePeriodSinceIncludedUntilExcluded) {
    Figures f = read("2026-12-11T06:00:00Z", "2026-12-11T10:00:00Z", 100);
    EXPECT_EQ(tally_text(f.tally), "4/3/1");
    EXPECT_EQ(f.unit, BucketUnit::kHour);
    std::vector<std::string> hours;
    for (const TimeBucket& bucket : f.per_time) {
        hours.push_back(bucket.start.substr(11, 2) + "=" + tally_text(bucket.tally));
    }
    EXPECT_EQ(hours, (std::vector<std::string>{"06=2/0/0", "07=0/3/0", "08=0/0/1", "09=2/0/0"}));

    std::vector<std::string> stations;
    for (const YieldRow& row : f.per_station) {
        stations.push_back(row.host + ":" + std::to_string(row.location) + "=" +
                           tally_text(row.tally));
    }
    EXPECT_EQ(stations, (std::vector<std::string>{"jig-1:18=2/0/0", "jig-1:34=0/1/0",
                                                  "jig-2:18=0/2/1", "jig-2:34=2/0/0"}));
    std::vector<std::string> images;
    for (const YieldRow& row : f.per_image) {
        images.push_back(row.host + "=" + tally_text(row.tally));
    }
    EXPECT_EQ(images, (std::vector<std::string>{"=1/0/0", "fw-a.hex=2/1/0", "fw-b.hex=1/2/1"}));

    ASSERT_EQ(f.failed_by_phase.size(), 2u);
    EXPECT_EQ(f.failed_by_phase[0].phase, "program");
    EXPECT_EQ(f.failed_by_phase[0].count, 2u);
    EXPECT_EQ(f.failed_by_phase[1].phase, "verify");

    ASSERT_EQ(f.records.size(), 8u);
    EXPECT_EQ(f.records.front().time, "2026-12-11T09:59:59Z");
    EXPECT_EQ(f.records.back().time, "2026-12-11T06:00:00Z");
}

TEST_F(FilledStore, RecordsAreTheNewestOnes) {
    Figures f = read("2026-12-11T06:00:00Z", "2026-12-11T10:00:00Z", 3);
    ASSERT_EQ(f.records.size(), 3u);
    EXPECT_EQ(f.records[0].run_id, "run-8");
    EXPECT_EQ(f.records[2].run_id, "run-6");
    EXPECT_EQ(f.tally.total(), 8u);  // the figures still count every record
}

TEST_F(FilledStore, EachStationShowsTheLatestRecordFromItsPort) {
    Figures f = read("2026-12-11T09:00:00Z", "2026-12-12T00:00:00Z", 100);
    ASSERT_EQ(f.stations.size(), 3u);
    const StationView& one = f.stations[0];
    ASSERT_TRUE(one.last.has_value());
    EXPECT_EQ(one.last->time, "2026-12-11T06:10:00Z");  // older than the period: still its last
    EXPECT_EQ(one.last->result, "passed");
    const StationView& two = f.stations[1];
    EXPECT_EQ(two.station.state, "burning");
    EXPECT_EQ(two.station.percent, 40);
    ASSERT_TRUE(two.last.has_value());
    EXPECT_EQ(two.last->time, "2026-12-11T10:00:00Z");
    EXPECT_FALSE(f.stations[2].last.has_value());
}

TEST_F(FilledStore, ALongPeriodIsNarrowedToItsRecordsAndBarsWiden) {
    Figures f = read("2000-01-01T00:00:00Z", "2026-12-12T00:00:00Z", 100);
    EXPECT_EQ(f.tally.total(), 10u);
    // 05:59:59 to 10:00:00 of one day: hourly bars from the first record's hour.
    EXPECT_EQ(f.unit, BucketUnit::kHour);
    ASSERT_EQ(f.per_time.size(), 6u);
    EXPECT_EQ(f.per_time.front().start, "2026-12-11T05:00:00Z");
    EXPECT_EQ(f.per_time.back().start, "2026-12-11T10:00:00Z");
}

TEST_F(FilledStore, AnEmptyPeriodHasNoRecordsButItsHours) {
    Figures f = read("2026-12-12T00:00:00Z", "2026-12-12T03:00:00Z", 100);
    EXPECT_EQ(f.tally.total(), 0u);
    EXPECT_EQ(f.per_time.size(), 3u);
    EXPECT_TRUE(f.per_station.empty());
    EXPECT_TRUE(f.failed_by_phase.empty());
    EXPECT_TRUE(f.records.empty());
    EXPECT_EQ(f.stations.size(), 3u);  // the stations are there whatever the period
}

struct SearchCase {
    std::string name;
    std::string text;
    std::vector<std::string> run_ids;  // newest first
};

class Search : public FilledStore, public testing::WithParamInterface<SearchCase> {};

TEST_P(Search, FindsABoardBySerialUniqueIdOrFieldValue) {
    const SearchCase& c = GetParam();
    std::vector<StoreRecord> found;
    ASSERT_TRUE(figures_search(*store_, c.text, 100, found, error_)) << error_;
    std::vector<std::string> ids;
    for (const StoreRecord& record : found) {
        ids.push_back(record.run_id);
    }
    EXPECT_EQ(ids, c.run_ids);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Search,
    testing::Values(
        SearchCase{"Serial", "FT7XQ2B", {"run-3"}}, SearchCase{"SerialIsExact", "ft7xq2b", {}},
        SearchCase{"UniqueId", "aa05", {"run-4"}},
        SearchCase{"UniqueIdInCapitals", "AA05", {"run-4"}},
        SearchCase{"FieldValueAndTheBoardsEarlierRun", "OXA2-000002", {"run-8", "run-5"}},
        SearchCase{"MacInCapitals", "02:00:00:00:00:0A", {"run-8", "run-5"}},
        SearchCase{
            "BlankSerialIsManyBoardsNewestFirst",
            "B",
            {"run-9", "run-8", "run-7", "run-6", "run-5", "run-4", "run-2", "run-1", "run-0"}},
        SearchCase{"FieldNameIsNoValue", "serial", {}},
        SearchCase{"QuoteIsJustText", "x' OR '1'='1", {}}, SearchCase{"Nothing", "", {}}),
    case_name<SearchCase>);

}  // namespace
