// Pools on PostgreSQL with stations taking values at once, each on its own
// connection: no value goes to two boards, and the values handed out run on
// from the first without a gap. Skipped without a server (pg_server.h).
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "identity/pools.h"
#include "identity/record.h"
#include "pg_server.h"
#include "store/store.h"

namespace {

StoreUrl pg_url(const std::string& conninfo) {
    StoreUrl url;
    url.kind = StoreUrl::Kind::kPostgres;
    url.conninfo = conninfo;
    url.named = true;
    return url;
}

Pool pool_of(const std::string& name, const std::string& form, std::uint64_t first,
             std::uint64_t last) {
    Pool pool;
    pool.name = name;
    std::string error;
    EXPECT_TRUE(parse_form(form, "", pool.form, error)) << error;
    pool.first = first;
    pool.last = last;
    pool.created = "2026-12-11T08:00:00Z";
    return pool;
}

// How board b of station s ends: most pass; some are pulled mid-burn, some
// fail before the erase and are plugged in again.
FieldState first_end(int s, int b) {
    const int n = s * 8 + b;
    return n % 7 == 3   ? FieldState::kSpoiled
           : n % 5 == 1 ? FieldState::kReleased
                        : FieldState::kIssued;
}

// One station's shift: its own connection, 8 boards, each taking a serial and a MAC.
void station(const std::string& conninfo, int s, std::vector<std::string>& failures) {
    std::string error;
    auto store = RecordStore::open(pg_url(conninfo), RecordStore::Mode::kReadWrite, error);
    if (store == nullptr) {
        failures.push_back(error);
        return;
    }
    PoolStore pools(store->sql());
    const std::vector<std::string> names = {"serial", "mac"};
    for (int b = 0; b < 8; ++b) {
        FieldState end = first_end(s, b);
        for (int attempt = 0;; ++attempt) {
            const std::string run =
                "s" + std::to_string(s) + "b" + std::to_string(b) + "a" + std::to_string(attempt);
            const ValueClaim claim{run, "u" + std::to_string(s * 8 + b), "jig" + std::to_string(s),
                                   static_cast<std::uint32_t>(b), "2026-12-11T08:00:00Z"};
            std::vector<TakenValue> taken;
            if (pools.take(names, claim, taken, error) != PoolStore::Take::kTaken) {
                failures.push_back(run + ": " + error);
                return;
            }
            std::vector<BoardField> fields;
            for (std::size_t i = 0; i < names.size(); ++i) {
                fields.push_back({names[i], taken[i].text, end});
            }
            StoreRecord record;
            record.run_id = run;
            record.time = claim.time;
            record.host = claim.host;
            record.version = "1.0.0";
            record.location = claim.location;
            record.serial = "FT" + std::to_string(s);
            record.unique_id = claim.unique_id;
            record.result = end == FieldState::kIssued ? "passed" : "failed";
            record.fields = fields_json(fields);
            record.field_states = field_states_json(fields);
            if (!store->put(record, error) || !pools.settle(record, error)) {
                failures.push_back(run + ": " + error);
                return;
            }
            if (end == FieldState::kIssued) {
                break;
            }
            end = FieldState::kIssued;  // plugged in again, and this time it passes
        }
    }
}

TEST(PoolsOnPostgres, FourStationsAtOnceNeverShareAValue) {
    REQUIRE_SERVER();
    const std::string conninfo = fresh_database("pools_line");
    {
        std::string error;
        auto store = RecordStore::open(pg_url(conninfo), RecordStore::Mode::kReadWrite, error);
        ASSERT_NE(store, nullptr) << error;
        PoolStore pools(store->sql());
        ASSERT_TRUE(pools.add(pool_of("serial", "ascii:6", 1, 999999), error)) << error;
        ASSERT_TRUE(pools.add(pool_of("mac", "mac", 0x020000000000, 0x02000000FFFF), error))
            << error;
    }
    std::vector<std::vector<std::string>> failures(4);
    std::vector<std::thread> stations;
    for (int s = 0; s < 4; ++s) {
        stations.emplace_back(station, conninfo, s, std::ref(failures[static_cast<size_t>(s)]));
    }
    for (std::thread& t : stations) {
        t.join();
    }
    for (const auto& list : failures) {
        for (const std::string& failure : list) {
            ADD_FAILURE() << failure;
        }
    }
    auto sql = connect(conninfo);
    ASSERT_NE(sql, nullptr);
    for (const char* pool : {"serial", "mac"}) {
        std::vector<SqlRow> rows;
        ASSERT_TRUE(
            sql->exec("SELECT idx, state, run_id, unique_id FROM pool_values WHERE "
                      "pool = $1 ORDER BY idx",
                      {std::string(pool)}, &rows))
            << sql->error();
        std::set<std::string> boards;
        std::map<std::string, int> states;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            EXPECT_EQ(rows[i][0].value_or(""), std::to_string(i)) << pool << ": a gap";
            const std::string state = rows[i][1].value_or("");
            ++states[state];
            if (state == "issued") {
                EXPECT_TRUE(boards.insert(rows[i][3].value_or("")).second)
                    << pool << ": a board with two values";
            }
            if (state == "spoiled") {
                // The record of the board that spoiled it says so.
                EXPECT_EQ(scalar(*sql, "SELECT field_states FROM runs WHERE run_id = $1",
                                 {rows[i][2].value_or("")}),
                          std::string("{\"serial\": \"spoiled\", \"mac\": \"spoiled\"}"));
            }
        }
        EXPECT_EQ(boards.size(), 32u) << pool;
        EXPECT_EQ(states["reserved"], 0) << pool;
        EXPECT_GT(states["spoiled"], 0) << pool;
        EXPECT_EQ(scalar(*sql, "SELECT taken FROM pools WHERE name = $1", {std::string(pool)}),
                  std::to_string(rows.size()));
    }
}

}  // namespace
