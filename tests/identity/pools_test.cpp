// Pools in a store: values handed out in order and never twice, kept by a
// board that comes back, spoiled or released by how its run ended, and put
// right by records that reach the store late. On SQLite here; the PostgreSQL
// tests build the same cases against a throw-away server.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "case_name.h"
#include "identity/pools.h"
#include "identity/record.h"
#include "scratch.h"
#include "store/store.h"
#if defined(POOLS_ON_POSTGRES)
#include "pg_server.h"
#endif

namespace {

const char* const kNow = "2026-12-11T08:00:00Z";

class Pools : public testing::Test {
  protected:
    void SetUp() override {
        StoreUrl url;
        url.named = true;
#if defined(POOLS_ON_POSTGRES)
        REQUIRE_SERVER();
        url.kind = StoreUrl::Kind::kPostgres;
        url.conninfo = fresh_database("pools");
#else
        url.kind = StoreUrl::Kind::kSqlite;
        url.path = scratch_.path("line.db");
#endif
        std::string error;
        store_ = RecordStore::open(url, RecordStore::Mode::kReadWrite, error);
        ASSERT_NE(store_, nullptr) << error;
        pools_ = std::make_unique<PoolStore>(store_->sql());
        add("serial", "ascii:6", "OXA2-", "1", "999999");
        add("mac", "mac", "", "02:00:00:00:00:00", "02:00:00:00:ff:ff");
    }

    void add(const std::string& name, const std::string& form_text, const std::string& prefix,
             const std::string& first, const std::string& last) {
        Pool pool;
        pool.name = name;
        std::string error;
        ASSERT_TRUE(parse_form(form_text, prefix, pool.form, error)) << error;
        ASSERT_TRUE(parse_value(pool.form, first, pool.first, error)) << error;
        ASSERT_TRUE(parse_value(pool.form, last, pool.last, error)) << error;
        pool.created = kNow;
        ASSERT_TRUE(pools_->add(pool, error)) << error;
    }

    static ValueClaim claim(const std::string& run, const std::string& unique_id,
                            const char* time = kNow) {
        return ValueClaim{run, unique_id, "jig1", 3, time};
    }

    // Takes values of `names` for a board; "!" and the message when refused.
    std::vector<std::string> take(const std::vector<std::string>& names, const ValueClaim& c,
                                  bool* kept = nullptr) {
        std::vector<TakenValue> out;
        std::string message;
        PoolStore::Take result = pools_->take(names, c, out, message);
        if (result != PoolStore::Take::kTaken) {
            // Nothing taken is nothing for the board's record either.
            EXPECT_TRUE(out.empty()) << message;
            return {"!" + message};
        }
        std::vector<std::string> texts;
        for (const TakenValue& v : out) {
            texts.push_back(v.text);
            if (kept != nullptr) {
                *kept = v.kept;
            }
        }
        return texts;
    }

    // The board's record, committed, then its values settled by it.
    void finish(const ValueClaim& c, const std::vector<std::string>& names,
                const std::vector<std::string>& values, FieldState state) {
        std::vector<BoardField> fields;
        for (std::size_t i = 0; i < names.size(); ++i) {
            fields.push_back({names[i], values[i], state});
        }
        StoreRecord record = record_of(c, fields);
        std::string error;
        ASSERT_TRUE(store_->put(record, error)) << error;
        ASSERT_TRUE(pools_->settle(record, error)) << error;
    }

    static StoreRecord record_of(const ValueClaim& c, const std::vector<BoardField>& fields) {
        StoreRecord record;
        record.run_id = c.run_id;
        record.time = c.time;
        record.host = c.host;
        record.version = "1.0.0";
        record.location = c.location;
        record.serial = "FT1";
        if (!c.unique_id.empty()) {
            record.unique_id = c.unique_id;
        }
        record.result = "passed";
        record.fields = fields_json(fields);
        record.field_states = field_states_json(fields);
        return record;
    }

    PoolCounts counts(const std::string& name) {
        std::vector<Pool> pools;
        std::vector<PoolCounts> all;
        std::string error;
        EXPECT_TRUE(pools_->list(pools, all, error)) << error;
        for (std::size_t i = 0; i < pools.size(); ++i) {
            if (pools[i].name == name) {
                return all[i];
            }
        }
        ADD_FAILURE() << "no pool " << name;
        return {};
    }

    PoolValue row(const std::string& name, const std::string& value) {
        Pool pool;
        bool found = false;
        std::string error;
        EXPECT_TRUE(pools_->get(name, pool, found, error) && found) << error;
        std::uint64_t number = 0;
        EXPECT_TRUE(parse_value(pool.form, value, number, error)) << error;
        PoolValue out;
        EXPECT_TRUE(pools_->value(pool, number, out, found, error)) << error;
        return found ? out : PoolValue{};
    }

    std::string message_of(const std::string& run) {
        HistoryQuery query;
        std::vector<StoreRecord> records;
        std::string error;
        EXPECT_TRUE(store_->history(query, records, error)) << error;
        for (const StoreRecord& r : records) {
            if (r.run_id == run) {
                return r.message.value_or("");
            }
        }
        return "(no record)";
    }

    StoreScratch scratch_;
    std::unique_ptr<RecordStore> store_;
    std::unique_ptr<PoolStore> pools_;
};

const std::vector<std::string> kLine = {"serial", "mac"};

TEST_F(Pools, NameIsUniqueAndListed) {
    Pool again;
    again.name = "serial";
    std::string error;
    ASSERT_TRUE(parse_form("be:2", "", again.form, error));
    again.last = 10;
    EXPECT_FALSE(pools_->add(again, error));
    EXPECT_EQ(error, "pool serial exists already (ascii:6, OXA2-000001..OXA2-999999)");
    const PoolCounts serial = counts("serial");
    EXPECT_EQ(serial.left, 999999u);
    EXPECT_EQ(counts("mac").left, 65536u);
    EXPECT_EQ(serial.issued + serial.spoiled + serial.reserved + serial.released, 0u);
}

TEST_F(Pools, EightBoardsDistinctInOrder) {
    for (int i = 0; i < 8; ++i) {
        const ValueClaim c =
            claim("run" + std::to_string(i), "d5e1a7c04b00000" + std::to_string(i));
        const std::vector<std::string> got = take(kLine, c);
        const std::vector<std::string> want = {"OXA2-00000" + std::to_string(i + 1),
                                               "02:00:00:00:00:0" + std::to_string(i)};
        ASSERT_EQ(got, want);
        finish(c, kLine, got, FieldState::kIssued);
    }
    EXPECT_EQ(counts("serial").issued, 8u);
    EXPECT_EQ(counts("serial").left, 999999u - 8);
    const PoolValue third = row("serial", "OXA2-000003");
    EXPECT_EQ(third.state, "issued");
    EXPECT_EQ(third.unique_id, "d5e1a7c04b000002");
    EXPECT_EQ(third.run_id, "run2");
    EXPECT_EQ(third.host, "jig1");
    EXPECT_EQ(third.location, 3u);
}

TEST_F(Pools, SameBoardKeepsItsValuesWithoutCountingThemAgain) {
    const ValueClaim first = claim("run1", "aa01");
    const std::vector<std::string> values = take(kLine, first);
    finish(first, kLine, values, FieldState::kIssued);
    take(kLine, claim("run2", "aa02"));  // another board between
    bool kept = false;
    EXPECT_EQ(take(kLine, claim("run3", "aa01"), &kept), values);
    EXPECT_TRUE(kept);
    EXPECT_EQ(counts("serial").issued, 1u);
    EXPECT_EQ(counts("serial").reserved, 1u);
    EXPECT_EQ(counts("serial").left, 999999u - 2);
}

TEST_F(Pools, WithoutAUniqueIdANewValueEachTime) {
    const ValueClaim a = claim("run1", "");
    const std::vector<std::string> first = take(kLine, a);
    finish(a, kLine, first, FieldState::kIssued);
    bool kept = true;
    const std::vector<std::string> second = take(kLine, claim("run2", ""), &kept);
    EXPECT_FALSE(kept);
    EXPECT_NE(second, first);
    EXPECT_EQ(second[0], "OXA2-000002");
}

struct EndCase {
    std::string name;
    FieldState state;
    std::string next;   // the serial the next board gets
    std::string after;  // the first board's value's state afterwards
    bool back_again;    // the same board comes back to its old value
};

class PoolRunEnd : public Pools, public testing::WithParamInterface<EndCase> {};

TEST_P(PoolRunEnd, NextBoardAndTheSameBoardAgain) {
    const EndCase& c = GetParam();
    const ValueClaim first = claim("run1", "aa01");
    const std::vector<std::string> values = take(kLine, first);
    finish(first, kLine, values, c.state);
    EXPECT_EQ(row("serial", values[0]).state, c.after);
    const std::vector<std::string> next = take(kLine, claim("run2", "aa02"));
    EXPECT_EQ(next[0], c.next);
    bool kept = false;
    const std::vector<std::string> again = take(kLine, claim("run3", "aa01"), &kept);
    EXPECT_EQ(kept, c.back_again);
    EXPECT_EQ(again == values, c.back_again);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PoolRunEnd,
    testing::Values(EndCase{"Issued", FieldState::kIssued, "OXA2-000002", "issued", true},
                    EndCase{"Spoiled", FieldState::kSpoiled, "OXA2-000002", "spoiled", false},
                    EndCase{"Released", FieldState::kReleased, "OXA2-000001", "released", false}),
    case_name<EndCase>);

TEST_F(Pools, SpoiledNeverHandedOutAgain) {
    const ValueClaim pulled = claim("run1", "aa01");
    finish(pulled, kLine, take(kLine, pulled), FieldState::kSpoiled);
    for (int i = 2; i <= 5; ++i) {
        EXPECT_EQ(take({"serial"}, claim("run" + std::to_string(i), ""))[0],
                  "OXA2-00000" + std::to_string(i));
    }
    EXPECT_EQ(counts("serial").spoiled, 1u);
}

TEST_F(Pools, ReservedValuesAreNotHandedOutTwice) {
    EXPECT_EQ(take({"serial"}, claim("run1", "aa01"))[0], "OXA2-000001");
    EXPECT_EQ(take({"serial"}, claim("run2", "aa02"))[0], "OXA2-000002");
    EXPECT_EQ(counts("serial").reserved, 2u);
}

TEST_F(Pools, UsedUpTakesNothingFromAnyPool) {
    add("tiny", "be:1", "", "1", "3");
    const std::vector<std::string> both = {"serial", "tiny"};
    for (int i = 1; i <= 3; ++i) {
        EXPECT_EQ(take(both, claim("run" + std::to_string(i), "")).size(), 2u);
    }
    for (int i = 4; i <= 5; ++i) {
        EXPECT_EQ(take(both, claim("run" + std::to_string(i), "")),
                  std::vector<std::string>{"!pool tiny is used up (1..3)"});
    }
    EXPECT_EQ(counts("serial").reserved, 3u);  // the used-up boards took no serial
    EXPECT_EQ(counts("tiny").left, 0u);
    // A value released comes back to the next board.
    finish(claim("run2", ""), {"tiny"}, {"2"}, FieldState::kReleased);
    EXPECT_EQ(counts("tiny").left, 1u);
    EXPECT_EQ(take({"tiny"}, claim("run6", "")), std::vector<std::string>{"2"});
}

TEST_F(Pools, UnknownPoolIsRefused) {
    EXPECT_EQ(take({"serial", "nope"}, claim("run1", "")),
              std::vector<std::string>{"!no pool nope in the store"});
    EXPECT_EQ(counts("serial").reserved, 0u);
}

TEST_F(Pools, StartSettlesLateRecordsAndSpoilsTheAbandoned) {
    // Board 1 passed but its record sat in a spool; board 2's station died
    // mid-burn; board 3 is being burned now.
    const ValueClaim spooled = claim("run1", "aa01", "2026-12-11T06:00:00Z");
    const std::vector<std::string> v1 = take(kLine, spooled);
    const ValueClaim died = claim("run2", "aa02", "2026-12-11T06:30:00Z");
    const std::vector<std::string> v2 = take(kLine, died);
    const std::vector<std::string> v3 = take(kLine, claim("run3", "aa03", "2026-12-11T07:30:00Z"));
    std::string error;
    StoreRecord late = record_of(
        spooled, {{"serial", v1[0], FieldState::kIssued}, {"mac", v1[1], FieldState::kIssued}});
    ASSERT_TRUE(store_->put(late, error)) << error;
    std::uint64_t spoiled = 0;
    ASSERT_TRUE(pools_->recover(kNow, "2026-12-11T07:00:00Z", spoiled, error)) << error;
    EXPECT_EQ(spoiled, 2u);  // board 2's serial and MAC
    EXPECT_EQ(row("serial", v1[0]).state, "issued");
    EXPECT_EQ(row("mac", v1[1]).state, "issued");
    EXPECT_EQ(row("serial", v2[0]).state, "spoiled");
    EXPECT_TRUE(row("serial", v2[0]).stale);
    EXPECT_EQ(row("serial", v3[0]).state, "reserved");
    // Board 2 had in fact passed: its record, replayed after the hour, wins.
    ASSERT_TRUE(store_->put(record_of(died, {{"serial", v2[0], FieldState::kIssued}}), error));
    ASSERT_TRUE(pools_->recover(kNow, "2026-12-11T07:00:00Z", spoiled, error)) << error;
    EXPECT_EQ(row("serial", v2[0]).state, "issued");
    EXPECT_FALSE(row("serial", v2[0]).stale);
    EXPECT_EQ(row("mac", v2[1]).state, "spoiled");  // its record does not name it
    EXPECT_EQ(take(kLine, claim("run4", "aa04")),
              (std::vector<std::string>{"OXA2-000004", "02:00:00:00:00:03"}));
}

TEST_F(Pools, ValueThatWentToTwoBoardsIsSaidInBothRecords) {
    const ValueClaim a = claim("run1", "aa01");
    const std::vector<std::string> v = take({"serial"}, a);
    finish(a, {"serial"}, v, FieldState::kIssued);
    // A record from elsewhere (a store put back from a backup, a spool from
    // another store) claims the same value for another board.
    const ValueClaim b = claim("run2", "bb02");
    finish(b, {"serial"}, v, FieldState::kIssued);
    EXPECT_EQ(message_of("run1"), "serial OXA2-000001 went to another board too (run run2)");
    EXPECT_EQ(message_of("run2"), "serial OXA2-000001 went to another board too (run run1)");
    // Settling again notes nothing more.
    std::string error;
    ASSERT_TRUE(pools_->settle(record_of(b, {{"serial", v[0], FieldState::kIssued}}), error));
    EXPECT_EQ(message_of("run2"), "serial OXA2-000001 went to another board too (run run1)");
    EXPECT_EQ(row("serial", v[0]).run_id, "run1");
}

TEST_F(Pools, ReleasedValueAnotherRecordIssuedBecomesItsOwn) {
    const ValueClaim a = claim("run1", "aa01");
    const std::vector<std::string> v = take({"serial"}, a);
    finish(a, {"serial"}, v, FieldState::kReleased);
    finish(claim("run2", "bb02"), {"serial"}, v, FieldState::kIssued);
    EXPECT_EQ(row("serial", v[0]).state, "issued");
    EXPECT_EQ(row("serial", v[0]).unique_id, "bb02");
    EXPECT_EQ(message_of("run2"), "");
}

TEST_F(Pools, ShowsAValueNeverHandedOutAsAbsent) {
    EXPECT_EQ(row("serial", "OXA2-000001").state, "");
    take({"serial"}, claim("run1", "aa01"));
    EXPECT_EQ(row("serial", "1").state, "reserved");
}

}  // namespace
