// The record store on SQLite: the schema made once and kept, records stored
// once by run ID and read back whole, history's filters and order, the
// station table, and every way a store is refused without being changed.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "case_name.h"
#include "scratch.h"
#include "store/connect.h"
#include "store/schema.h"
#include "store/store.h"

namespace {

StoreUrl sqlite_url(const std::string& path, bool named = true) {
    StoreUrl url;
    url.kind = StoreUrl::Kind::kSqlite;
    url.path = path;
    url.named = named;
    return url;
}

std::unique_ptr<RecordStore> open_store(const std::string& path,
                                        RecordStore::Mode mode = RecordStore::Mode::kReadWrite) {
    std::string error;
    std::unique_ptr<RecordStore> store = RecordStore::open(sqlite_url(path), mode, error);
    EXPECT_NE(store, nullptr) << error;
    return store;
}

// A single value a query gives, as text.
std::string scalar(SqlConnection& sql, const std::string& query) {
    std::vector<SqlRow> rows;
    EXPECT_TRUE(sql.exec(query, {}, &rows)) << sql.error();
    return rows.empty() || rows[0].empty() ? "(none)" : rows[0][0].value_or("NULL");
}

// Everything the schema is made of, for comparing two states of a file.
std::string schema_of(SqlConnection& sql) {
    std::vector<SqlRow> rows;
    EXPECT_TRUE(
        sql.exec("SELECT type || ' ' || name || ': ' || COALESCE(sql, '') FROM "
                 "sqlite_master ORDER BY name",
                 {}, &rows));
    std::string out = "version " + scalar(sql, "PRAGMA user_version") + "\n";
    for (const SqlRow& row : rows) {
        out += row[0].value_or("") + "\n";
    }
    return out;
}

StoreRecord sample(const std::string& run_id, const std::string& time) {
    StoreRecord r;
    r.run_id = run_id;
    r.time = time;
    r.host = "jig-1";
    r.version = "1.0.0";
    r.location = 0x0012;
    r.serial = "FT7XQ2B";
    r.chip = "W25Q16JV";
    r.jedec_id = "ef4015";
    r.unique_id = "d267a8c1b3450a2e";
    r.image = "/images/oxa-2.4.hex";
    r.sha256 = std::string(64, 'a');
    r.erase = "auto";
    r.result = "passed";
    r.exit_status = 0;
    r.seconds = 7.125;
    r.retries = "{\"count\": 0, \"first\": []}";
    r.is_protected = false;
    return r;
}

void expect_same(const StoreRecord& a, const StoreRecord& b) {
    EXPECT_EQ(a.run_id, b.run_id);
    EXPECT_EQ(a.time, b.time);
    EXPECT_EQ(a.host, b.host);
    EXPECT_EQ(a.version, b.version);
    EXPECT_EQ(a.location, b.location);
    EXPECT_EQ(a.serial, b.serial);
    EXPECT_EQ(a.chip, b.chip);
    EXPECT_EQ(a.jedec_id, b.jedec_id);
    EXPECT_EQ(a.unique_id, b.unique_id);
    EXPECT_EQ(a.image, b.image);
    EXPECT_EQ(a.sha256, b.sha256);
    EXPECT_EQ(a.erase, b.erase);
    EXPECT_EQ(a.result, b.result);
    EXPECT_EQ(a.exit_status, b.exit_status);
    EXPECT_EQ(a.phase, b.phase);
    EXPECT_EQ(a.message, b.message);
    EXPECT_DOUBLE_EQ(a.seconds, b.seconds);
    EXPECT_EQ(a.retries, b.retries);
    EXPECT_EQ(a.is_protected, b.is_protected);
    EXPECT_EQ(a.fields, b.fields);
    EXPECT_EQ(a.field_states, b.field_states);
}

// --- the schema -----------------------------------------------------------------------

TEST(SqliteStore, InitTwiceLeavesTheSameStoreAndItsRecords) {
    StoreScratch scratch;
    const StoreUrl url = sqlite_url(scratch.path("line.db"));
    int version = 0;
    std::string error;
    ASSERT_TRUE(RecordStore::init(url, version, error)) << error;
    EXPECT_EQ(version, store_schema_version());
    std::string first;
    {
        auto store = open_store(url.path);
        ASSERT_TRUE(store->put(sample("r1", "2026-12-11T08:00:00Z"), error)) << error;
        first = schema_of(store->sql());
    }
    ASSERT_TRUE(RecordStore::init(url, version, error)) << error;
    EXPECT_EQ(version, store_schema_version());
    auto store = open_store(url.path);
    EXPECT_EQ(schema_of(store->sql()), first);
    std::vector<StoreRecord> all;
    ASSERT_TRUE(store->history({}, all, error)) << error;
    EXPECT_EQ(all.size(), 1u);
}

TEST(SqliteStore, OpenedForWritingItIsInWalModeAndSyncsEveryCommit) {
    StoreScratch scratch;
    auto store = open_store(scratch.path("line.db"));
    EXPECT_EQ(scalar(store->sql(), "PRAGMA journal_mode"), "wal");
    EXPECT_EQ(scalar(store->sql(), "PRAGMA synchronous"), "2");  // FULL
}

TEST(SqliteStore, EveryUpgradeIsNumberedInTurn) {
    // The version is the list's length: a store written by each upgrade in
    // turn ends at the program's version.
    EXPECT_EQ(store_schema_version(), static_cast<int>(schema_upgrades().size()));
    EXPECT_GE(store_schema_version(), 1);
    StoreScratch scratch;
    auto store = open_store(scratch.path("line.db"));
    EXPECT_EQ(scalar(store->sql(), "PRAGMA user_version"), std::to_string(store_schema_version()));
}

// --- refused, and left as it was --------------------------------------------------------

struct RefusedCase {
    std::string name;
    std::vector<std::string> prepare;  // SQL run on the file first (none: the file is text)
    std::string text;  // the file's text when `prepare` is empty ("" : no file at all)
    RecordStore::Mode mode;
    std::string error;  // appears in the message
};

class SqliteRefused : public testing::TestWithParam<RefusedCase> {};

TEST_P(SqliteRefused, OneLineAndTheFileUnchanged) {
    const RefusedCase& c = GetParam();
    StoreScratch scratch;
    const std::string path = scratch.path("line.db");
    std::string error;
    if (!c.prepare.empty()) {
        auto sql = sqlite_connect(path, false, error);
        ASSERT_NE(sql, nullptr) << error;
        for (const std::string& statement : c.prepare) {
            ASSERT_TRUE(sql->exec(statement)) << sql->error();
        }
    } else if (!c.text.empty()) {
        std::FILE* file = std::fopen(path.c_str(), "wb");
        std::fputs(c.text.c_str(), file);
        std::fclose(file);
    }
    const bool existed = std::filesystem::exists(path);
    const std::string before = file_text(path);
    std::unique_ptr<RecordStore> store = RecordStore::open(sqlite_url(path), c.mode, error);
    EXPECT_EQ(store, nullptr);
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    EXPECT_EQ(std::filesystem::exists(path), existed);
    EXPECT_EQ(file_text(path), before);
    EXPECT_FALSE(std::filesystem::exists(path + "-wal"));
}

const auto kWrite = RecordStore::Mode::kReadWrite;
const auto kRead = RecordStore::Mode::kReadOnly;

INSTANTIATE_TEST_SUITE_P(
    Cases, SqliteRefused,
    testing::Values(RefusedCase{"NewerSchemaForWriting",
                                {"CREATE TABLE runs (x)", "PRAGMA user_version = 99"},
                                "",
                                kWrite,
                                "version 99, newer than this hexflash's"},
                    RefusedCase{"NewerSchemaForReading",
                                {"CREATE TABLE runs (x)", "PRAGMA user_version = 99"},
                                "",
                                kRead,
                                "version 99, newer than this hexflash's"},
                    RefusedCase{"EmptyDatabaseForReading",
                                {"CREATE TABLE other (x)"},
                                "",
                                kRead,
                                "hexflash db init upgrades it"},
                    RefusedCase{"NotADatabase",
                                {},
                                "hello, this is text and no database at all\n",
                                kWrite,
                                "not a database"},
                    RefusedCase{"MissingForReading", {}, "", kRead, "no store at "}),
    case_name<RefusedCase>);

TEST(SqliteStore, ANamedStoreWhoseFolderIsMissingIsRefusedAndNothingMade) {
    StoreScratch scratch;
    const std::string path = scratch.path("no/such/dir/x.db");
    std::string error;
    auto store = RecordStore::open(sqlite_url(path, true), kWrite, error);
    EXPECT_EQ(store, nullptr);
    EXPECT_EQ(error, "no folder " + scratch.path("no/such/dir") + " for the store sqlite:" + path);
    EXPECT_FALSE(std::filesystem::exists(scratch.path("no")));
}

TEST(SqliteStore, TheDefaultStoreIsMadeWithItsFolder) {
    StoreScratch scratch;
    const std::string path = scratch.path("state/hexflash/line.db");
    std::string error;
    auto store = RecordStore::open(sqlite_url(path, false), kWrite, error);
    ASSERT_NE(store, nullptr) << error;
    EXPECT_TRUE(std::filesystem::exists(path));
}

TEST(SqliteStore, ReadOnlyReadsButNeverWrites) {
    StoreScratch scratch;
    const std::string path = scratch.path("line.db");
    std::string error;
    ASSERT_TRUE(open_store(path)->put(sample("r1", "2026-12-11T08:00:00Z"), error)) << error;
    auto reader = open_store(path, kRead);
    std::vector<StoreRecord> all;
    ASSERT_TRUE(reader->history({}, all, error)) << error;
    EXPECT_EQ(all.size(), 1u);
    EXPECT_FALSE(reader->put(sample("r2", "2026-12-11T08:00:01Z"), error));
    EXPECT_NE(error.find("readonly"), std::string::npos) << error;
}

// --- records ------------------------------------------------------------------------------

TEST(SqliteStore, ARecordReadsBackAsItWasPutNullsAndAll) {
    StoreScratch scratch;
    auto store = open_store(scratch.path("line.db"));
    StoreRecord full = sample("full", "2026-12-11T08:00:00Z");
    full.fields = "{\"serial\": \"OXA2-000001\"}";
    full.field_states = "{\"serial\": \"issued\"}";
    full.is_protected = true;
    StoreRecord bare = sample("bare", "2026-12-11T08:00:01Z");
    bare.chip = bare.jedec_id = bare.unique_id = bare.image = bare.sha256 = bare.erase =
        std::nullopt;
    bare.is_protected = std::nullopt;
    bare.result = "failed";
    bare.exit_status = 2;
    bare.phase = "open";
    bare.message = "cannot open the device (in use?) — «ü» 'quoted' \"twice\"";
    bare.seconds = 0.001;
    std::string error;
    ASSERT_TRUE(store->put(full, error)) << error;
    ASSERT_TRUE(store->put(bare, error)) << error;
    std::vector<StoreRecord> all;
    ASSERT_TRUE(store->history({}, all, error)) << error;
    ASSERT_EQ(all.size(), 2u);
    expect_same(all[0], bare);
    expect_same(all[1], full);
}

TEST(SqliteStore, ARecordSentTwiceIsStoredOnceAsFirstSent) {
    StoreScratch scratch;
    auto store = open_store(scratch.path("line.db"));
    StoreRecord first = sample("same", "2026-12-11T08:00:00Z");
    StoreRecord again = first;
    again.result = "failed";
    again.exit_status = 1;
    std::string error;
    ASSERT_TRUE(store->put(first, error)) << error;
    ASSERT_TRUE(store->put(again, error)) << error;
    ASSERT_TRUE(store->put(first, error)) << error;
    std::vector<StoreRecord> all;
    ASSERT_TRUE(store->history({}, all, error)) << error;
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].result, "passed");
}

// --- history --------------------------------------------------------------------------------

struct HistoryCase {
    std::string name;
    HistoryQuery query;
    std::vector<std::string> run_ids;  // newest first
};

class SqliteHistory : public testing::TestWithParam<HistoryCase> {};

// Six runs on two hosts over two days; b2 and b3 end in the same second.
void fill(RecordStore& store) {
    struct Row {
        const char* id;
        const char* time;
        const char* host;
        const char* serial;
        const char* unique_id;
        const char* result;
        const char* field;
    };
    const Row rows[] = {
        {"a1", "2026-12-10T23:59:59Z", "jig-1", "FTA", "aa01", "passed", "OXA2-1"},
        {"a2", "2026-12-11T00:00:00Z", "jig-1", "FTA", "aa02", "failed", nullptr},
        {"b1", "2026-12-11T08:00:00Z", "jig-2", "FTB", "bb01", "passed", "OXA2-2"},
        {"b2", "2026-12-11T09:00:00Z", "jig-2", "FTB", "bb02", "interrupted", nullptr},
        {"b3", "2026-12-11T09:00:00Z", "jig-2", "FTB", "bb02", "passed", "OXA2-3"},
        {"a3", "2026-12-11T10:00:00Z", "jig-1", "FTA", nullptr, "failed", nullptr},
    };
    for (const Row& row : rows) {
        StoreRecord r = sample(row.id, row.time);
        r.host = row.host;
        r.serial = row.serial;
        r.unique_id =
            row.unique_id != nullptr ? std::optional<std::string>(row.unique_id) : std::nullopt;
        r.result = row.result;
        if (row.field != nullptr) {
            r.fields = std::string("{\"serial\": \"") + row.field + "\", \"mac\": \"x\"}";
        }
        std::string error;
        ASSERT_TRUE(store.put(r, error)) << error;
    }
}

TEST_P(SqliteHistory, FiltersCombineAndTheNewestComesFirst) {
    StoreScratch scratch;
    auto store = open_store(scratch.path("line.db"));
    fill(*store);
    std::vector<StoreRecord> found;
    std::string error;
    ASSERT_TRUE(store->history(GetParam().query, found, error)) << error;
    std::vector<std::string> ids;
    for (const StoreRecord& r : found) {
        ids.push_back(r.run_id);
    }
    EXPECT_EQ(ids, GetParam().run_ids);
}

HistoryQuery query(std::function<void(HistoryQuery&)> set) {
    HistoryQuery q;
    set(q);
    return q;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SqliteHistory,
    testing::Values(
        HistoryCase{"All", {}, {"a3", "b3", "b2", "b1", "a2", "a1"}},
        HistoryCase{"Host", query([](HistoryQuery& q) { q.host = "jig-2"; }), {"b3", "b2", "b1"}},
        HistoryCase{"UniqueId", query([](HistoryQuery& q) { q.unique_id = "bb02"; }), {"b3", "b2"}},
        HistoryCase{"Serial", query([](HistoryQuery& q) { q.serial = "FTA"; }), {"a3", "a2", "a1"}},
        HistoryCase{"Result", query([](HistoryQuery& q) { q.result = "failed"; }), {"a3", "a2"}},
        HistoryCase{"SinceADayStartsAtMidnight",
                    query([](HistoryQuery& q) { q.since = "2026-12-11T00:00:00Z"; }),
                    {"a3", "b3", "b2", "b1", "a2"}},
        HistoryCase{"SinceIsInclusive",
                    query([](HistoryQuery& q) { q.since = "2026-12-11T09:00:00Z"; }),
                    {"a3", "b3", "b2"}},
        HistoryCase{"UntilIsExclusive",
                    query([](HistoryQuery& q) { q.until = "2026-12-11T09:00:00Z"; }),
                    {"b1", "a2", "a1"}},
        HistoryCase{"Combined",
                    query([](HistoryQuery& q) {
                        q.host = "jig-1";
                        q.result = "failed";
                        q.since = "2026-12-11T00:00:01Z";
                    }),
                    {"a3"}},
        HistoryCase{"Field",
                    query([](HistoryQuery& q) {
                        q.field = {{"serial", "OXA2-2"}};
                    }),
                    {"b1"}},
        HistoryCase{"Limit", query([](HistoryQuery& q) { q.limit = 2; }), {"a3", "b3"}},
        HistoryCase{"NothingMatches", query([](HistoryQuery& q) { q.host = "jig-9"; }), {}},
        HistoryCase{"QuoteInAValueIsData",
                    query([](HistoryQuery& q) { q.serial = "FTA' OR '1'='1"; }),
                    {}}),
    case_name<HistoryCase>);

// --- stations ---------------------------------------------------------------------------------

TEST(SqliteStore, AStationHasOneRowKeptCurrent) {
    StoreScratch scratch;
    auto store = open_store(scratch.path("line.db"));
    std::string error;
    const StoreStation updates[] = {
        {"jig-1", 0x22, "waiting", "", 0, "2026-12-11T08:00:00Z"},
        {"jig-1", 0x12, "burning", "erase", 10, "2026-12-11T08:00:01Z"},
        {"jig-1", 0x12, "burning", "program", 55, "2026-12-11T08:00:02Z"},
        {"jig-2", 0x12, "failed", "", 0, "2026-12-11T08:00:02Z"},
        {"jig-1", 0x12, "passed", "", 100, "2026-12-11T08:00:03Z"},
    };
    for (const StoreStation& s : updates) {
        ASSERT_TRUE(store->put_station(s, error)) << error;
    }
    std::vector<StoreStation> rows;
    ASSERT_TRUE(store->stations(rows, error)) << error;
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].location, 0x12u);
    EXPECT_EQ(rows[0].state, "passed");
    EXPECT_EQ(rows[0].percent, 100);
    EXPECT_EQ(rows[0].updated, "2026-12-11T08:00:03Z");
    EXPECT_EQ(rows[1].location, 0x22u);
    EXPECT_EQ(rows[2].host, "jig-2");
    EXPECT_EQ(rows[2].state, "failed");
}

// --- several stations of one PC ------------------------------------------------------------

TEST(SqliteStore, StationsWritingAtOnceTakeTurnsAndLoseNothing) {
    StoreScratch scratch;
    const std::string path = scratch.path("line.db");
    open_store(path);
    constexpr int kWriters = 4;
    constexpr int kEach = 25;
    std::vector<std::thread> writers;
    std::vector<int> failures(kWriters, 0);
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            std::string error;
            auto store = RecordStore::open(sqlite_url(path), kWrite, error);
            if (store == nullptr) {
                failures[static_cast<std::size_t>(w)] = kEach;
                return;
            }
            for (int i = 0; i < kEach; ++i) {
                StoreRecord r = sample("w" + std::to_string(w) + "-" + std::to_string(i),
                                       "2026-12-11T08:00:00Z");
                r.location = static_cast<std::uint32_t>(w);
                StoreStation s{"jig-1", r.location, "burning", "program", i, r.time};
                if (!store->put(r, error) || !store->put_station(s, error)) {
                    ++failures[static_cast<std::size_t>(w)];
                }
            }
        });
    }
    for (std::thread& t : writers) {
        t.join();
    }
    EXPECT_EQ(failures, std::vector<int>(kWriters, 0));
    auto store = open_store(path, kRead);
    std::vector<StoreRecord> all;
    std::string error;
    ASSERT_TRUE(store->history({}, all, error)) << error;
    EXPECT_EQ(all.size(), static_cast<std::size_t>(kWriters * kEach));
}

}  // namespace
