// Keeping what the store missed: JSON lines read back, a record's line round
// trip, the spool's order and ownership, and the writer that spools while the
// store is away and replays once it is back.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "case_name.h"
#include "scratch.h"
#include "store/json_reader.h"
#include "store/record_json.h"
#include "store/spool.h"
#include "store/store.h"
#include "store/writer.h"

namespace {

using namespace std::chrono_literals;

// --- JSON lines -------------------------------------------------------------------------

struct ReadCase {
    std::string name;
    std::string text;
    std::vector<std::string> members;  // "key=value" (strings as s:text); empty: refused
};

class JsonRead : public testing::TestWithParam<ReadCase> {};

TEST_P(JsonRead, MembersOrRefusal) {
    std::vector<JsonMember> members;
    std::string error;
    const bool ok = json_read_object(GetParam().text, members, error);
    std::vector<std::string> got;
    for (const JsonMember& m : members) {
        got.push_back(m.key + "=" + (m.is_string ? "s:" : "") + m.value);
    }
    if (GetParam().members.empty() && GetParam().name != "Empty") {
        EXPECT_FALSE(ok);
        EXPECT_FALSE(error.empty());
        return;
    }
    ASSERT_TRUE(ok) << error;
    EXPECT_EQ(got, GetParam().members);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, JsonRead,
    testing::Values(ReadCase{"Empty", "{}", {}},
                    ReadCase{"Scalars",
                             R"({"a": 1, "b": -2.5e3, "c": true, "d": null})",
                             {"a=1", "b=-2.5e3", "c=true", "d=null"}},
                    ReadCase{"Strings", R"({"s": "x\"y\\z\/\n\t"})", {"s=s:x\"y\\z/\n\t"}},
                    ReadCase{"Unicode",
                             R"({"u": "\u00fc\u20ac\ud83d\ude00", "raw": "ü"})",
                             {"u=s:\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80", "raw=s:\xC3\xBC"}},
                    ReadCase{"NestedKeptAsWritten",
                             R"({"retries": {"count": 1, "first": [{"phase": "a,}"}]}, "n": 2})",
                             {R"(retries={"count": 1, "first": [{"phase": "a,}"}]})", "n=2"}},
                    ReadCase{"SpaceAround", " \t{ \"a\" : 1 } \r\n", {"a=1"}},
                    ReadCase{"TornLine", R"({"a": 1, "b": "unfinished)", {}},
                    ReadCase{"TextAfter", R"({"a": 1} {"b": 2})", {}},
                    ReadCase{"NoColon", R"({"a" 1})", {}},
                    ReadCase{"Unbalanced", R"({"a": [1, 2})", {}},
                    ReadCase{"LoneSurrogate", R"({"a": "\ud800x"})", {}},
                    ReadCase{"BadEscape", R"({"a": "\q"})", {}},
                    ReadCase{"ControlCharacter", "{\"a\": \"x\ty\"}", {}},
                    ReadCase{"NoValue", R"({"a": })", {}},
                    ReadCase{"NotAnObject", R"([1, 2])", {}}),
    case_name<ReadCase>);

// --- a record as a line -------------------------------------------------------------------

StoreRecord sample(const std::string& run_id) {
    StoreRecord r;
    r.run_id = run_id;
    r.time = "2026-12-11T08:00:00Z";
    r.host = "jig-1";
    r.version = "1.0.0";
    r.location = 18;
    r.serial = "FT7XQ2B";
    r.chip = "W25Q16JV";
    r.jedec_id = "ef4015";
    r.unique_id = "d267a8c1b3450a2e";
    r.image = "C:\\images\\oxa \"2.4\".hex";
    r.sha256 = std::string(64, 'b');
    r.erase = "auto";
    r.result = "failed";
    r.exit_status = 3;
    r.phase = "verify";
    r.message = "differs at 0x001000\nsecond line";
    r.seconds = 12.5;
    r.retries = R"({"count": 1, "first": [{"phase": "program", "address": 4096, "cause": "x"}]})";
    r.is_protected = true;
    r.fields = R"({"serial": "OXA2-000001"})";
    r.field_states = R"({"serial": "issued"})";
    return r;
}

TEST(RecordJson, ALineReadsBackAsTheSameRecord) {
    StoreRecord bare = sample("b");
    bare.chip = bare.jedec_id = bare.unique_id = bare.image = bare.sha256 = bare.erase =
        bare.phase = bare.message = std::nullopt;
    bare.is_protected = std::nullopt;
    for (const StoreRecord& r : {sample("a"), bare}) {
        const std::string line = store_record_json(r);
        EXPECT_EQ(line.find('\n'), std::string::npos) << line;
        StoreRecord back;
        std::string error;
        ASSERT_TRUE(store_record_from_json(line, back, error)) << error << "\n" << line;
        EXPECT_EQ(store_record_json(back), line);
        EXPECT_EQ(back.message, r.message);
        EXPECT_EQ(back.image, r.image);
        EXPECT_EQ(back.is_protected, r.is_protected);
    }
}

TEST(RecordJson, KeysInTheLogsOrderThenTheStoresOwn) {
    const std::string line = store_record_json(sample("a"));
    std::vector<JsonMember> members;
    std::string error;
    ASSERT_TRUE(json_read_object(line, members, error)) << error;
    std::vector<std::string> keys;
    for (const JsonMember& m : members) {
        keys.push_back(m.key);
    }
    const std::vector<std::string> wanted = {
        "time",      "host",    "version", "location",  "serial", "chip",        "jedec_id",
        "unique_id", "image",   "sha256",  "erase",     "result", "exit_status", "phase",
        "message",   "seconds", "retries", "protected", "run_id", "fields",      "field_states"};
    EXPECT_EQ(keys, wanted);
}

TEST(RecordJson, ALogLineIsARecordWithoutItsRunId) {
    const std::string log =
        R"({"time": "2026-12-11T08:00:00Z", "host": "jig-1", "version": "1.0.0", )"
        R"("location": 34, "serial": "FTB", "chip": null, "jedec_id": null, )"
        R"("unique_id": null, "image": "/i.hex", "sha256": "ab", "erase": "auto", )"
        R"("result": "failed", "exit_status": 1, "phase": "open", "message": "in use", )"
        R"("seconds": 0.250, "retries": {"count": 0, "first": []}, "protected": null})";
    StoreRecord r;
    std::string error;
    ASSERT_TRUE(store_record_from_json(log, r, error)) << error;
    EXPECT_EQ(r.run_id, "");
    EXPECT_EQ(r.location, 34u);
    EXPECT_EQ(r.chip, std::nullopt);
    EXPECT_EQ(r.phase, "open");
    EXPECT_DOUBLE_EQ(r.seconds, 0.25);
    EXPECT_EQ(r.retries, R"({"count": 0, "first": []})");
    EXPECT_EQ(r.fields, "{}");
}

TEST(RecordJson, AKeyTheRecordCannotBeWithoutIsNamed) {
    for (const char* key : {"time", "host", "location", "result", "exit_status", "seconds"}) {
        std::string line = store_record_json(sample("a"));
        const std::string needle = std::string("\"") + key + "\": ";
        line.replace(line.find(needle), needle.size(), "\"renamed\": ");
        StoreRecord r;
        std::string error;
        EXPECT_FALSE(store_record_from_json(line, r, error)) << key;
        EXPECT_EQ(error, std::string("no ") + key + " in the record");
    }
}

// --- the spool ------------------------------------------------------------------------------

std::vector<std::string> replay_ids(Spool& spool, const std::string& store, int refuse_from,
                                    std::size_t& left) {
    std::vector<std::string> offered;
    std::string error;
    EXPECT_TRUE(spool.replay(
        store,
        [&](const StoreRecord& r) {
            offered.push_back(r.run_id);
            return static_cast<int>(offered.size()) < refuse_from;
        },
        left, error))
        << error;
    return offered;
}

TEST(Spool, ReplayedInOrderStoppingAtTheFirstRefusalAndKeepingOtherStores) {
    StoreScratch scratch;
    Spool spool(scratch.path("state/hexflash/spool.jsonl"));
    std::string error;
    for (const char* id : {"1", "2", "3", "4"}) {
        ASSERT_TRUE(spool.append("sqlite:/a.db", sample(id), error)) << error;
        ASSERT_TRUE(spool.append("sqlite:/b.db", sample(std::string("b") + id), error));
    }
    std::size_t count = 0;
    ASSERT_TRUE(spool.waiting("sqlite:/a.db", count, error));
    EXPECT_EQ(count, 4u);

    std::size_t left = 0;
    // The store takes two, then refuses: the rest wait, in order.
    EXPECT_EQ(replay_ids(spool, "sqlite:/a.db", 3, left),
              (std::vector<std::string>{"1", "2", "3"}));
    EXPECT_EQ(left, 2u);
    EXPECT_EQ(replay_ids(spool, "sqlite:/a.db", 99, left), (std::vector<std::string>{"3", "4"}));
    EXPECT_EQ(left, 0u);
    ASSERT_TRUE(spool.waiting("sqlite:/a.db", count, error));
    EXPECT_EQ(count, 0u);
    ASSERT_TRUE(spool.waiting("sqlite:/b.db", count, error));
    EXPECT_EQ(count, 4u);
}

TEST(Spool, ATornLineIsKeptAsideAndNeverSwallowsTheNext) {
    StoreScratch scratch;
    const std::string path = scratch.path("spool.jsonl");
    {
        std::FILE* file = std::fopen(path.c_str(), "wb");
        std::fputs(R"({"store": "sqlite:/a.db", "record": {"time": "2026-)", file);
        std::fclose(file);
    }
    Spool spool(path);
    std::string error;
    ASSERT_TRUE(spool.append("sqlite:/a.db", sample("whole"), error)) << error;
    std::size_t left = 0;
    EXPECT_EQ(replay_ids(spool, "sqlite:/a.db", 99, left), std::vector<std::string>{"whole"});
    EXPECT_EQ(left, 0u);
    // The torn line stays for someone to look at.
    EXPECT_EQ(file_text(path), R"({"store": "sqlite:/a.db", "record": {"time": "2026-)"
                               "\n");
}

TEST(Spool, AppendsFromManyThreadsAreEachOneWholeLine) {
    StoreScratch scratch;
    Spool spool(scratch.path("spool.jsonl"));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            Spool own(spool.path());
            for (int i = 0; i < 20; ++i) {
                std::string error;
                EXPECT_TRUE(own.append("s", sample(std::to_string(t * 100 + i)), error)) << error;
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    std::size_t count = 0;
    std::string error;
    ASSERT_TRUE(spool.waiting("s", count, error));
    EXPECT_EQ(count, 80u);
}

// --- the writer ------------------------------------------------------------------------------

StoreUrl sqlite_url(const std::string& path) {
    StoreUrl url;
    url.kind = StoreUrl::Kind::kSqlite;
    url.path = path;
    url.named = true;
    return url;
}

std::size_t stored(const std::string& path) {
    std::string error;
    auto store = RecordStore::open(sqlite_url(path), RecordStore::Mode::kReadOnly, error);
    std::vector<StoreRecord> all;
    return store != nullptr && store->history({}, all, error) ? all.size() : 0;
}

TEST(StoreWriter, CommitsAtOnceWhileTheStoreAnswers) {
    StoreScratch scratch;
    const std::string db = scratch.path("line.db");
    std::string error;
    auto store = RecordStore::open(sqlite_url(db), RecordStore::Mode::kReadWrite, error);
    ASSERT_NE(store, nullptr) << error;
    StoreWriter writer(sqlite_url(db), std::move(store), Spool(scratch.path("spool.jsonl")));
    for (const char* id : {"a", "b", "a"}) {
        EXPECT_EQ(writer.record(sample(id), error), StoreWriter::Outcome::kCommitted) << error;
    }
    EXPECT_EQ(writer.waiting(), 0u);
    EXPECT_EQ(writer.finish(1s), 0u);
    EXPECT_EQ(stored(db), 2u);
    EXPECT_FALSE(std::filesystem::exists(scratch.path("spool.jsonl")));
}

TEST(StoreWriter, SpoolsWhileTheStoreIsAwayAndReplaysInOrderOnceBack) {
    StoreScratch scratch;
    // The store's folder is not there yet: the store cannot be reached.
    const std::string db = scratch.path("later/line.db");
    StoreWriter writer(sqlite_url(db), nullptr, Spool(scratch.path("spool.jsonl")));
    std::string error;
    for (const char* id : {"1", "2", "3"}) {
        EXPECT_EQ(writer.record(sample(id), error), StoreWriter::Outcome::kSpooled) << error;
    }
    EXPECT_EQ(writer.waiting(), 3u);
    std::filesystem::create_directory(scratch.path("later"));
    // Tried again within the retry period, the spool is emptied into the store.
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (writer.waiting() != 0 && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(writer.waiting(), 0u);
    EXPECT_EQ(writer.record(sample("4"), error), StoreWriter::Outcome::kCommitted) << error;
    EXPECT_EQ(writer.finish(1s), 0u);
    std::vector<StoreRecord> all;
    auto store = RecordStore::open(sqlite_url(db), RecordStore::Mode::kReadOnly, error);
    ASSERT_NE(store, nullptr) << error;
    ASSERT_TRUE(store->history({}, all, error));
    std::vector<std::string> ids;
    for (const StoreRecord& r : all) {
        ids.push_back(r.run_id);
    }
    // All of one second: newest first is the reverse of the order sent.
    EXPECT_EQ(ids, (std::vector<std::string>{"4", "3", "2", "1"}));
}

TEST(StoreWriter, FinishGivesUpAfterItsLimitAndTheSpoolKeepsTheRecords) {
    StoreScratch scratch;
    const std::string db = scratch.path("never/line.db");
    Spool spool(scratch.path("spool.jsonl"));
    std::string error;
    {
        StoreWriter writer(sqlite_url(db), nullptr, spool);
        EXPECT_EQ(writer.record(sample("1"), error), StoreWriter::Outcome::kSpooled);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(writer.finish(1500ms), 1u);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
    }
    // The next start finds it, and replays it once the store is there.
    std::filesystem::create_directory(scratch.path("never"));
    StoreWriter next(sqlite_url(db), nullptr, spool);
    EXPECT_EQ(next.waiting(), 1u);
    EXPECT_EQ(next.finish(10s), 0u);
    EXPECT_EQ(stored(db), 1u);
}

TEST(StoreWriter, WithNeitherStoreNorSpoolTheRecordIsLostAndSaysSo) {
    StoreScratch scratch;
    // The spool's folder is a file: it cannot be made.
    std::FILE* file = std::fopen(scratch.path("blocker").c_str(), "wb");
    std::fclose(file);
    StoreWriter writer(sqlite_url(scratch.path("no/line.db")), nullptr,
                       Spool(scratch.path("blocker/spool.jsonl")));
    std::string error;
    EXPECT_EQ(writer.record(sample("1"), error), StoreWriter::Outcome::kLost);
    EXPECT_NE(error.find("spool"), std::string::npos) << error;
}

TEST(StationFeed, WritesEveryStationsLastStateStamped) {
    StoreScratch scratch;
    const std::string db = scratch.path("line.db");
    std::string error;
    {
        StationFeed feed(sqlite_url(db), nullptr, 50ms);
        feed.set({"jig-1", 1, "burning", "erase", 5, ""});
        feed.set({"jig-1", 2, "waiting", "", 0, ""});
        feed.set({"jig-1", 1, "burning", "program", 60, ""});
        std::this_thread::sleep_for(200ms);
        feed.set({"jig-1", 1, "passed", "", 100, ""});
    }  // the last states are written on the way out
    auto store = RecordStore::open(sqlite_url(db), RecordStore::Mode::kReadOnly, error);
    ASSERT_NE(store, nullptr) << error;
    std::vector<StoreStation> rows;
    ASSERT_TRUE(store->stations(rows, error)) << error;
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].state, "passed");
    EXPECT_EQ(rows[0].percent, 100);
    EXPECT_EQ(rows[1].state, "waiting");
    std::string iso;
    EXPECT_TRUE(store_time(rows[0].updated, iso)) << rows[0].updated;
}

}  // namespace
