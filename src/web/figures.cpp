#include "web/figures.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <utility>

namespace {

constexpr long long kHour = 3600;
constexpr long long kDay = 24 * kHour;
// Up to three days a bar per hour, up to 400 days one per day, then months.
constexpr long long kHoursUpTo = 72 * kHour;
constexpr long long kDaysUpTo = 400 * kDay;
constexpr std::size_t kMostBuckets = 400;
// A search that names more boards than this (a blank serial) shows the
// records it matched, not every run of every board.
constexpr std::size_t kBoardsFollowed = 8;

// Days since 1970-01-01 of a civil date, and back (proleptic Gregorian).
long long days_from_civil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

struct Civil {
    long long year;
    unsigned month, day;
};

Civil civil_from_days(long long z) {
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    return {static_cast<long long>(yoe) + era * 400 + (m <= 2), m, d};
}

long long floor_div(long long a, long long b) {
    return a / b - (a % b != 0 && (a < 0) != (b < 0) ? 1 : 0);
}

// How many leading characters of a stored time name its bucket, and what
// completes that prefix to the bucket's start.
std::size_t key_length(BucketUnit unit) {
    return unit == BucketUnit::kHour ? 13 : unit == BucketUnit::kDay ? 10 : 7;
}

const char* key_rest(BucketUnit unit) {
    return unit == BucketUnit::kHour  ? ":00:00Z"
           : unit == BucketUnit::kDay ? "T00:00:00Z"
                                      : "-01T00:00:00Z";
}

std::uint64_t count_of(const SqlCell& cell) {
    return cell ? std::strtoull(cell->c_str(), nullptr, 10) : 0;
}

void add(Tally& tally, const std::string& result, std::uint64_t count) {
    if (result == "passed") {
        tally.passed += count;
    } else if (result == "interrupted") {
        tally.interrupted += count;
    } else {
        tally.failed += count;
    }
}

// The period as a WHERE clause over runs, its parameters first.
struct Period {
    std::string where;
    std::vector<SqlParam> params;
};

Period period_of(const FigureQuery& query) {
    Period p{" WHERE time >= $1", {query.since}};
    if (query.until) {
        p.where += " AND time < $2";
        p.params.emplace_back(*query.until);
    }
    return p;
}

class Reader {
  public:
    Reader(RecordStore& store, std::string& error) : sql_(store.sql()), error_(error) {}
    bool rows(const std::string& text, const std::vector<SqlParam>& params,
              std::vector<SqlRow>& out, std::size_t columns) {
        out.clear();
        if (!sql_.exec(text, params, &out)) {
            error_ = sql_.error();
            return false;
        }
        out.erase(std::remove_if(out.begin(), out.end(),
                                 [&](const SqlRow& row) { return row.size() != columns; }),
                  out.end());
        return true;
    }

  private:
    SqlConnection& sql_;
    std::string& error_;
};

bool read_tally(Reader& reader, const Period& period, Tally& tally) {
    std::vector<SqlRow> rows;
    if (!reader.rows("SELECT result, count(*) FROM runs" + period.where + " GROUP BY result",
                     period.params, rows, 2)) {
        return false;
    }
    for (const SqlRow& row : rows) {
        add(tally, row[0].value_or(""), count_of(row[1]));
    }
    return true;
}

// Per station or per image: `keys` are the grouping columns.
bool read_yields(Reader& reader, const Period& period, bool per_station,
                 std::vector<YieldRow>& out) {
    const std::string keys = per_station ? "host, location" : "image";
    const std::size_t width = per_station ? 4 : 3;
    std::vector<SqlRow> rows;
    if (!reader.rows("SELECT " + keys + ", result, count(*) FROM runs" + period.where +
                         " GROUP BY " + keys + ", result",
                     period.params, rows, width)) {
        return false;
    }
    std::map<std::pair<std::string, std::uint32_t>, Tally> grouped;
    for (const SqlRow& row : rows) {
        const auto location =
            per_station ? static_cast<std::uint32_t>(count_of(row[1])) : std::uint32_t{0};
        add(grouped[{row[0].value_or(""), location}], row[width - 2].value_or(""),
            count_of(row[width - 1]));
    }
    for (const auto& [key, tally] : grouped) {
        out.push_back({key.first, key.second, tally});
    }
    return true;
}

bool read_phases(Reader& reader, const Period& period, std::vector<PhaseCount>& out) {
    std::vector<SqlRow> rows;
    if (!reader.rows("SELECT phase, count(*) FROM runs" + period.where +
                         " AND result = 'failed' GROUP BY phase",
                     period.params, rows, 2)) {
        return false;
    }
    for (const SqlRow& row : rows) {
        out.push_back({row[0].value_or(""), count_of(row[1])});
    }
    std::sort(out.begin(), out.end(), [](const PhaseCount& a, const PhaseCount& b) {
        return a.count != b.count ? a.count > b.count : a.phase < b.phase;
    });
    return true;
}

// The span the bars cover: the period, narrowed to its records when it is
// longer than the hourly bars show.
bool bucket_span(Reader& reader, const FigureQuery& query, const Period& period, long long& first,
                 long long& last, bool& any) {
    first = figures_seconds(query.since).value_or(0);
    last = query.until ? figures_seconds(*query.until).value_or(0) - 1
                       : figures_seconds(store_time_now()).value_or(0);
    any = last >= first;
    if (!any || last - first < kHoursUpTo) {
        return true;
    }
    std::vector<SqlRow> rows;
    if (!reader.rows("SELECT min(time), max(time) FROM runs" + period.where, period.params, rows,
                     2)) {
        return false;
    }
    any = !rows.empty() && rows[0][0] && rows[0][1];
    if (any) {
        first = std::max(first, figures_seconds(*rows[0][0]).value_or(first));
        last = std::min(last, figures_seconds(*rows[0][1]).value_or(last));
    }
    return true;
}

bool read_buckets(Reader& reader, const FigureQuery& query, const Period& period, Figures& out) {
    long long first = 0;
    long long last = 0;
    bool any = false;
    if (!bucket_span(reader, query, period, first, last, any)) {
        return false;
    }
    out.unit = figures_unit(last - first);
    if (!any) {
        return true;
    }
    out.per_time = figures_buckets(out.unit, first, last, kMostBuckets);
    std::map<std::string, std::size_t> at;
    for (std::size_t i = 0; i < out.per_time.size(); ++i) {
        at[out.per_time[i].start] = i;
    }
    const std::string key = "substr(time, 1, " + std::to_string(key_length(out.unit)) + ")";
    std::vector<SqlRow> rows;
    if (!reader.rows("SELECT " + key + ", result, count(*) FROM runs" + period.where +
                         " GROUP BY " + key + ", result",
                     period.params, rows, 3)) {
        return false;
    }
    for (const SqlRow& row : rows) {
        auto found = at.find(row[0].value_or("") + key_rest(out.unit));
        if (found != at.end()) {
            add(out.per_time[found->second].tally, row[1].value_or(""), count_of(row[2]));
        }
    }
    return true;
}

// Each station's row, with the outcome of the latest record from its port.
bool read_stations(RecordStore& store, Reader& reader, std::vector<StationView>& out,
                   std::string& error) {
    std::vector<StoreStation> stations;
    if (!store.stations(stations, error)) {
        return false;
    }
    for (const StoreStation& station : stations) {
        StationView view{station, std::nullopt};
        std::vector<SqlRow> rows;
        if (!reader.rows("SELECT time, serial, unique_id, result, phase, message, image FROM runs "
                         "WHERE host = $1 AND location = $2 ORDER BY time DESC, seq DESC LIMIT 1",
                         {station.host, static_cast<std::int64_t>(station.location)}, rows, 7)) {
            return false;
        }
        if (!rows.empty()) {
            const SqlRow& row = rows[0];
            StoreRecord last;
            last.host = station.host;
            last.location = station.location;
            last.time = row[0].value_or("");
            last.serial = row[1].value_or("");
            last.unique_id = row[2];
            last.result = row[3].value_or("");
            last.phase = row[4];
            last.message = row[5];
            last.image = row[6];
            view.last = last;
        }
        out.push_back(std::move(view));
    }
    return true;
}

// The names of the identity fields the store's records carry.
bool field_names(RecordStore& store, Reader& reader, std::vector<std::string>& names) {
    const bool sqlite = store.sql().dialect() == SqlDialect::kSqlite;
    std::vector<SqlRow> rows;
    if (!reader.rows(sqlite ? "SELECT DISTINCT json_each.key FROM runs, json_each(runs.fields)"
                            : "SELECT DISTINCT jsonb_object_keys(fields::jsonb) FROM runs",
                     {}, rows, 1)) {
        return false;
    }
    for (const SqlRow& row : rows) {
        if (row[0]) {
            names.push_back(*row[0]);
        }
    }
    return true;
}

std::string lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

// The records each query finds, those not `seen` yet added to `out`.
bool search_runs(RecordStore& store, std::vector<HistoryQuery>& queries, std::size_t limit,
                 std::set<std::string>& seen, std::vector<StoreRecord>& out, std::string& error) {
    for (HistoryQuery& query : queries) {
        query.limit = limit;
        std::vector<StoreRecord> found;
        if (!store.history(query, found, error)) {
            return false;
        }
        for (StoreRecord& record : found) {
            if (seen.insert(record.run_id).second) {
                out.push_back(std::move(record));
            }
        }
    }
    return true;
}

}  // namespace

bool figures_read(RecordStore& store, const FigureQuery& query, Figures& out, std::string& error) {
    out = Figures{};
    out.since = query.since;
    out.until = query.until;
    Reader reader(store, error);
    const Period period = period_of(query);
    if (!read_tally(reader, period, out.tally) || !read_buckets(reader, query, period, out) ||
        !read_yields(reader, period, true, out.per_station) ||
        !read_yields(reader, period, false, out.per_image) ||
        !read_phases(reader, period, out.failed_by_phase) ||
        !read_stations(store, reader, out.stations, error)) {
        return false;
    }
    HistoryQuery records;
    records.since = query.since;
    records.until = query.until;
    records.limit = query.records;
    return store.history(records, out.records, error);
}

bool figures_search(RecordStore& store, const std::string& text, std::size_t limit,
                    std::vector<StoreRecord>& out, std::string& error) {
    out.clear();
    if (text.empty()) {
        return true;
    }
    Reader reader(store, error);
    std::vector<std::string> names;
    if (!field_names(store, reader, names)) {
        return false;
    }
    // Unique IDs and MACs are stored in lower case; serials as the EEPROM has them.
    std::set<std::string> forms = {text, lower(text)};
    std::vector<HistoryQuery> queries;
    HistoryQuery by_serial;
    by_serial.serial = text;
    queries.push_back(by_serial);
    for (const std::string& form : forms) {
        HistoryQuery by_id;
        by_id.unique_id = form;
        queries.push_back(by_id);
        for (const std::string& name : names) {
            HistoryQuery by_field;
            by_field.field = std::make_pair(name, form);
            queries.push_back(by_field);
        }
    }
    std::set<std::string> seen;
    if (!search_runs(store, queries, limit, seen, out, error)) {
        return false;
    }
    // A board found by its serial or a field has runs without them (a failed
    // one before its fields were given): its chip's unique ID finds them all.
    std::set<std::string> boards;
    for (const StoreRecord& record : out) {
        if (record.unique_id) {
            boards.insert(*record.unique_id);
        }
    }
    if (boards.size() <= kBoardsFollowed) {
        queries.clear();
        for (const std::string& board : boards) {
            HistoryQuery by_board;
            by_board.unique_id = board;
            queries.push_back(by_board);
        }
        if (!search_runs(store, queries, limit, seen, out, error)) {
            return false;
        }
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const StoreRecord& a, const StoreRecord& b) { return a.time > b.time; });
    if (limit != 0 && out.size() > limit) {
        out.resize(limit);
    }
    return true;
}

std::optional<long long> figures_seconds(const std::string& iso) {
    // Exactly YYYY-MM-DDTHH:MM:SSZ.
    static const char kForm[] = "dddd-dd-ddTdd:dd:ddZ";
    if (iso.size() != sizeof kForm - 1) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < iso.size(); ++i) {
        const bool digit = iso[i] >= '0' && iso[i] <= '9';
        if (kForm[i] == 'd' ? !digit : iso[i] != kForm[i]) {
            return std::nullopt;
        }
    }
    auto number = [&](std::size_t at, std::size_t length) {
        return std::strtoll(iso.substr(at, length).c_str(), nullptr, 10);
    };
    const long long month = number(5, 2);
    const long long day = number(8, 2);
    if (month < 1 || month > 12 || day < 1 || day > 31 || number(11, 2) > 23 ||
        number(14, 2) > 59 || number(17, 2) > 60) {
        return std::nullopt;
    }
    return days_from_civil(number(0, 4), static_cast<unsigned>(month), static_cast<unsigned>(day)) *
               kDay +
           number(11, 2) * kHour + number(14, 2) * 60 + number(17, 2);
}

std::string figures_iso(long long seconds) {
    const long long days = floor_div(seconds, kDay);
    const long long rest = seconds - days * kDay;
    const Civil c = civil_from_days(days);
    char text[80];
    std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02u:%02u:%02uZ", c.year, c.month, c.day,
                  static_cast<unsigned>(rest / kHour), static_cast<unsigned>(rest % kHour / 60),
                  static_cast<unsigned>(rest % 60));
    return text;
}

BucketUnit figures_unit(long long span) {
    return span <= kHoursUpTo  ? BucketUnit::kHour
           : span <= kDaysUpTo ? BucketUnit::kDay
                               : BucketUnit::kMonth;
}

std::vector<TimeBucket> figures_buckets(BucketUnit unit, long long first, long long last,
                                        std::size_t limit) {
    std::vector<TimeBucket> out;
    if (last < first || limit == 0) {
        return out;
    }
    if (unit != BucketUnit::kMonth) {
        const long long step = unit == BucketUnit::kHour ? kHour : kDay;
        long long start = floor_div(first, step) * step;
        const long long end = floor_div(last, step) * step;
        const auto count = static_cast<std::size_t>((end - start) / step + 1);
        if (count > limit) {
            start = end - static_cast<long long>(limit - 1) * step;
        }
        for (long long at = start; at <= end; at += step) {
            out.push_back({figures_iso(at), {}});
        }
        return out;
    }
    const Civil from = civil_from_days(floor_div(first, kDay));
    const Civil to = civil_from_days(floor_div(last, kDay));
    long long month = from.year * 12 + from.month - 1;
    const long long end = to.year * 12 + to.month - 1;
    month = std::max(month, end - static_cast<long long>(limit) + 1);
    for (; month <= end; ++month) {
        const long long days = days_from_civil(
            floor_div(month, 12), static_cast<unsigned>(month - floor_div(month, 12) * 12 + 1), 1);
        out.push_back({figures_iso(days * kDay), {}});
    }
    return out;
}
