// Pools of per-board values (serial numbers, MAC addresses) in the record
// store, so that one SQLite file serves a PC and one PostgreSQL database a
// line of many, and no value is handed out twice.
//
// A value's life: *reserved* for a board before anything is written;
// *issued* once the board is verified and its record committed; *spoiled*
// when the board failed or was pulled after its first erase or program
// instruction (never handed out again); *released* back to the pool when it
// failed before that. A board whose chip has a unique ID gets back the value
// the pool issued to it before (its record says "kept").
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "identity/form.h"
#include "store/sql.h"
#include "store/store.h"

struct Pool {
    std::string name;
    ValueForm form;
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    std::uint64_t taken = 0;  // numbers handed out from the first on; the next is first + taken
    std::string created;
};

struct PoolCounts {
    std::uint64_t issued = 0;
    std::uint64_t spoiled = 0;
    std::uint64_t reserved = 0;
    std::uint64_t released = 0;
    std::uint64_t left = 0;  // never handed out, or released
};

// One value's row: its state and the board it went to.
struct PoolValue {
    std::string value;
    std::string state;  // "reserved", "issued", "spoiled", "released"
    std::string unique_id;
    std::string run_id;
    std::string host;
    std::uint32_t location = 0;
    std::string reserved;  // when it was taken
    std::string updated;   // when its state last changed
    bool stale = false;    // spoiled because its station never came back
};

// The board a value is taken for.
struct ValueClaim {
    std::string run_id;
    std::string unique_id;  // hex; empty: the part has none
    std::string host;
    std::uint32_t location = 0;
    std::string time;  // now, as the store writes times
};

struct TakenValue {
    std::string pool;
    std::uint64_t number = 0;
    std::string text;   // as the record shows it
    bool kept = false;  // issued to this board before
};

// How long a value may stay reserved before it counts as its station's loss.
inline constexpr long long kReservedLimitSeconds = 3600;

class PoolStore {
  public:
    explicit PoolStore(SqlConnection& sql) : sql_(sql) {}

    // Adds `pool` (taken 0). Refused when one of that name exists.
    bool add(const Pool& pool, std::string& error);
    // The pool called `name`; `found` false when there is none.
    bool get(const std::string& name, Pool& pool, bool& found, std::string& error);
    // Every pool with its counts, by name.
    bool list(std::vector<Pool>& pools, std::vector<PoolCounts>& counts, std::string& error);
    // Value `number` of `pool`; `found` false when it was never handed out.
    bool value(const Pool& pool, std::uint64_t number, PoolValue& row, bool& found,
               std::string& error);

    enum class Take {
        kTaken,    // `out` holds a value of each pool
        kUsedUp,   // a pool has none left: nothing taken; message "pool NAME is used up (A..B)"
        kRefused,  // a pool is not there: nothing taken
        kFailed,   // the store did not answer: nothing taken, try again
    };
    // The values of `names` for one board, in one transaction: each the value
    // its pool issued to the board's unique ID before (kept), else a released
    // one, else the next never handed out; reserved for `claim`. `out` in the
    // order of `names`.
    Take take(const std::vector<std::string>& names, const ValueClaim& claim,
              std::vector<TakenValue>& out, std::string& message);

    // Brings the values of a committed record to the states it gives them
    // (field_states): issued, spoiled or released; kept ones stay issued. A
    // value the record says it issued that went to another board meanwhile
    // is noted in both records' messages.
    bool settle(const StoreRecord& record, std::string& error);

    // At a station's start: values whose records reached the store (a spool
    // replayed, a station that died after its commit) settled by them, then
    // values reserved before `cutoff` (ISO time) spoiled. `spoiled`: how many.
    bool recover(const std::string& now, const std::string& cutoff, std::uint64_t& spoiled,
                 std::string& error);

  private:
    struct Row;
    bool find_row(const std::string& pool, const std::string& value, Row& row, bool& found);
    bool settle_field(const StoreRecord& record, const std::string& name, const std::string& value,
                      const std::string& state);
    bool note_twice(const std::string& name, const std::string& value, const std::string& run_a,
                    const std::string& run_b);
    Take take_all(const std::vector<std::string>& names, const ValueClaim& claim,
                  std::vector<TakenValue>& out, std::string& message);
    bool take_one(const Pool& pool, const ValueClaim& claim, TakenValue& out, Take& result,
                  std::string& message);
    bool reserve_released(const Pool& pool, const ValueClaim& claim, TakenValue& out, bool& found);
    bool reserve_new(const Pool& pool, const ValueClaim& claim, TakenValue& out, bool& used_up);
    // " FOR UPDATE" and the like where PostgreSQL takes row locks; "" on SQLite.
    std::string lock(const char* clause) const;

    SqlConnection& sql_;
};

// Now, in seconds since 1970.
long long time_now();
