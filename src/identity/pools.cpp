#include "identity/pools.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <numeric>
#include <utility>

#include "identity/record.h"

namespace {

// A transaction that rolls back unless committed.
class Transaction {
  public:
    Transaction(SqlConnection& sql, SqlBegin kind) : sql_(sql), open_(sql.begin(kind)) {}
    ~Transaction() {
        if (open_) {
            sql_.rollback();
        }
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    bool open() const { return open_; }
    bool commit() {
        open_ = false;
        if (!sql_.commit()) {
            sql_.rollback();
            return false;
        }
        return true;
    }

  private:
    SqlConnection& sql_;
    bool open_;
};

std::uint64_t to_u64(const SqlCell& cell) {
    return cell ? std::strtoull(cell->c_str(), nullptr, 10) : 0;
}

std::string text(const SqlCell& cell) {
    return cell.value_or("");
}

SqlParam as_param(std::uint64_t value) {
    return static_cast<std::int64_t>(value);
}

const char* const kPoolColumns = "name, form, prefix, first_value, last_value, taken, created";

bool pool_from_row(const SqlRow& row, Pool& pool) {
    std::string ignored;
    pool.name = text(row[0]);
    pool.first = to_u64(row[3]);
    pool.last = to_u64(row[4]);
    pool.taken = to_u64(row[5]);
    pool.created = text(row[6]);
    return parse_form(text(row[1]), text(row[2]), pool.form, ignored);
}

// Values never handed out, and those released: what the pool can still give.
std::uint64_t values_left(const Pool& pool, std::uint64_t released) {
    const std::uint64_t span = pool.last - pool.first;  // one less than the values
    if (pool.taken > span) {
        return released;
    }
    const std::uint64_t fresh = span - pool.taken;
    const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    return fresh >= max - released ? max : fresh + 1 + released;
}

}  // namespace

struct PoolStore::Row {
    std::uint64_t idx = 0;
    std::string state;
    std::string run_id;
    bool stale = false;
};

std::string PoolStore::lock(const char* clause) const {
    return sql_.dialect() == SqlDialect::kPostgres ? std::string(" ") + clause : std::string();
}

bool PoolStore::add(const Pool& pool, std::string& error) {
    Transaction t(sql_, SqlBegin::kWrite);
    bool found = false;
    Pool there;
    if (!t.open() || !get(pool.name, there, found, error)) {
        error = error.empty() ? sql_.error() : error;
        return false;
    }
    if (found) {
        error = "pool " + pool.name + " exists already (" + form_text(there.form) + ", " +
                value_text(there.form, there.first) + ".." + value_text(there.form, there.last) +
                ")";
        return false;
    }
    if (!sql_.exec(std::string("INSERT INTO pools (") + kPoolColumns +
                       ") VALUES ($1, $2, $3, $4, $5, 0, $6)",
                   {pool.name, form_text(pool.form), pool.form.prefix, std::to_string(pool.first),
                    std::to_string(pool.last), pool.created}) ||
        !t.commit()) {
        error = sql_.error();
        return false;
    }
    return true;
}

bool PoolStore::get(const std::string& name, Pool& pool, bool& found, std::string& error) {
    std::vector<SqlRow> rows;
    found = false;
    if (!sql_.exec(std::string("SELECT ") + kPoolColumns + " FROM pools WHERE name = $1", {name},
                   &rows)) {
        error = sql_.error();
        return false;
    }
    if (rows.empty()) {
        return true;
    }
    if (!pool_from_row(rows[0], pool)) {
        error = "pool " + name + ": unknown form " + text(rows[0][1]);
        return false;
    }
    found = true;
    return true;
}

bool PoolStore::list(std::vector<Pool>& pools, std::vector<PoolCounts>& counts,
                     std::string& error) {
    std::vector<SqlRow> rows;
    std::vector<SqlRow> states;
    if (!sql_.exec(std::string("SELECT ") + kPoolColumns + " FROM pools ORDER BY name", {},
                   &rows) ||
        !sql_.exec("SELECT pool, state, COUNT(*) FROM pool_values GROUP BY pool, state", {},
                   &states)) {
        error = sql_.error();
        return false;
    }
    for (const SqlRow& row : rows) {
        Pool pool;
        if (!pool_from_row(row, pool)) {
            continue;
        }
        PoolCounts c;
        for (const SqlRow& s : states) {
            if (text(s[0]) != pool.name) {
                continue;
            }
            const std::string state = text(s[1]);
            const std::uint64_t n = to_u64(s[2]);
            (state == "issued"     ? c.issued
             : state == "spoiled"  ? c.spoiled
             : state == "reserved" ? c.reserved
                                   : c.released) += n;
        }
        c.left = values_left(pool, c.released);
        pools.push_back(pool);
        counts.push_back(c);
    }
    return true;
}

bool PoolStore::value(const Pool& pool, std::uint64_t number, PoolValue& row, bool& found,
                      std::string& error) {
    std::vector<SqlRow> rows;
    found = false;
    if (number < pool.first || number > pool.last) {
        return true;
    }
    if (!sql_.exec("SELECT value, state, unique_id, run_id, host, location, reserved, updated, "
                   "stale FROM pool_values WHERE pool = $1 AND idx = $2",
                   {pool.name, as_param(number - pool.first)}, &rows)) {
        error = sql_.error();
        return false;
    }
    if (rows.empty()) {
        return true;
    }
    const SqlRow& r = rows[0];
    row = PoolValue{text(r[0]), text(r[1]), text(r[2]),
                    text(r[3]), text(r[4]), static_cast<std::uint32_t>(to_u64(r[5])),
                    text(r[6]), text(r[7]), to_u64(r[8]) != 0};
    found = true;
    return true;
}

// --- taking values ------------------------------------------------------------------

PoolStore::Take PoolStore::take(const std::vector<std::string>& names, const ValueClaim& claim,
                                std::vector<TakenValue>& out, std::string& message) {
    const Take result = take_all(names, claim, out, message);
    if (result != Take::kTaken) {
        out.clear();  // rolled back: the board holds none of them, not even the ones before
    }
    return result;
}

PoolStore::Take PoolStore::take_all(const std::vector<std::string>& names, const ValueClaim& claim,
                                    std::vector<TakenValue>& out, std::string& message) {
    out.assign(names.size(), TakenValue{});
    // Pools are locked in the order of their names, whatever order a station
    // gives them in, so that two stations never wait for each other.
    std::vector<std::size_t> order(names.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return names[a] < names[b]; });
    Transaction t(sql_, SqlBegin::kWrite);
    if (!t.open()) {
        message = sql_.error();
        return Take::kFailed;
    }
    for (std::size_t i : order) {
        Pool pool;
        bool found = false;
        if (!get(names[i], pool, found, message)) {
            return Take::kFailed;
        }
        if (!found) {
            message = "no pool " + names[i] + " in the store";
            return Take::kRefused;
        }
        Take result = Take::kTaken;
        if (!take_one(pool, claim, out[i], result, message)) {
            return result;
        }
    }
    if (!t.commit()) {
        message = sql_.error();
        return Take::kFailed;
    }
    return Take::kTaken;
}

bool PoolStore::take_one(const Pool& pool, const ValueClaim& claim, TakenValue& out, Take& result,
                         std::string& message) {
    out.pool = pool.name;
    std::vector<SqlRow> rows;
    result = Take::kFailed;
    if (!claim.unique_id.empty() &&
        !sql_.exec("SELECT idx FROM pool_values WHERE pool = $1 AND unique_id = $2 AND "
                   "state = 'issued' ORDER BY idx LIMIT 1",
                   {pool.name, claim.unique_id}, &rows)) {
        message = sql_.error();
        return false;
    }
    bool found = !rows.empty();
    if (found) {
        out.number = pool.first + to_u64(rows[0][0]);
        out.kept = true;
    } else if (!reserve_released(pool, claim, out, found)) {
        message = sql_.error();
        return false;
    }
    bool used_up = false;
    if (!found && !reserve_new(pool, claim, out, used_up)) {
        if (used_up) {
            result = Take::kUsedUp;
            message = "pool " + pool.name + " is used up (" + value_text(pool.form, pool.first) +
                      ".." + value_text(pool.form, pool.last) + ")";
        } else {
            message = sql_.error();
        }
        return false;
    }
    out.text = value_text(pool.form, out.number);
    result = Take::kTaken;
    return true;
}

bool PoolStore::reserve_released(const Pool& pool, const ValueClaim& claim, TakenValue& out,
                                 bool& found) {
    std::vector<SqlRow> rows;
    found = false;
    // Another station holding a released value for its board is passed by.
    if (!sql_.exec("SELECT idx FROM pool_values WHERE pool = $1 AND state = 'released' "
                   "ORDER BY idx LIMIT 1" +
                       lock("FOR UPDATE SKIP LOCKED"),
                   {pool.name}, &rows)) {
        return false;
    }
    if (rows.empty()) {
        return true;
    }
    const std::uint64_t idx = to_u64(rows[0][0]);
    if (!sql_.exec("UPDATE pool_values SET state = 'reserved', unique_id = $3, run_id = $4, "
                   "host = $5, location = $6, reserved = $7, updated = $7, stale = 0 "
                   "WHERE pool = $1 AND idx = $2",
                   {pool.name, as_param(idx), claim.unique_id, claim.run_id, claim.host,
                    static_cast<std::int64_t>(claim.location), claim.time})) {
        return false;
    }
    out.number = pool.first + idx;
    found = true;
    return true;
}

bool PoolStore::reserve_new(const Pool& pool, const ValueClaim& claim, TakenValue& out,
                            bool& used_up) {
    std::vector<SqlRow> rows;
    used_up = false;
    // The pool's row, locked on PostgreSQL: the stations taking new values
    // of one pool take turns at it (SQLite's BEGIN IMMEDIATE did that already).
    if (!sql_.exec("SELECT taken FROM pools WHERE name = $1" + lock("FOR UPDATE"), {pool.name},
                   &rows) ||
        rows.empty()) {
        return false;
    }
    const std::uint64_t idx = to_u64(rows[0][0]);
    if (idx > pool.last - pool.first) {
        used_up = true;
        return false;
    }
    out.number = pool.first + idx;
    return sql_.exec("UPDATE pools SET taken = taken + 1 WHERE name = $1", {pool.name}) &&
           sql_.exec(
               "INSERT INTO pool_values (pool, idx, value, state, unique_id, run_id, "
               "host, location, reserved, updated, stale) "
               "VALUES ($1, $2, $3, 'reserved', $4, $5, $6, $7, $8, $8, 0)",
               {pool.name, as_param(idx), value_text(pool.form, out.number), claim.unique_id,
                claim.run_id, claim.host, static_cast<std::int64_t>(claim.location), claim.time});
}

// --- settling by records --------------------------------------------------------------

bool PoolStore::find_row(const std::string& pool, const std::string& value, Row& row, bool& found) {
    std::vector<SqlRow> rows;
    if (!sql_.exec("SELECT idx, state, run_id, stale FROM pool_values WHERE pool = $1 AND "
                   "value = $2",
                   {pool, value}, &rows)) {
        return false;
    }
    found = !rows.empty();
    if (found) {
        row = Row{to_u64(rows[0][0]), text(rows[0][1]), text(rows[0][2]), to_u64(rows[0][3]) != 0};
    }
    return true;
}

bool PoolStore::note_twice(const std::string& name, const std::string& value,
                           const std::string& run_a, const std::string& run_b) {
    // Each record names the other run; a record noted before is left as it is.
    for (const auto& [run, other] : {std::pair(run_a, run_b), std::pair(run_b, run_a)}) {
        const std::string note =
            name + " " + value + " went to another board too (run " + other + ")";
        if (!sql_.exec("UPDATE runs SET message = CASE WHEN message IS NULL OR message = '' "
                       "THEN $1 ELSE message || '; ' || $1 END "
                       "WHERE run_id = $2 AND (message IS NULL OR message NOT LIKE $3)",
                       {note, run, "%" + note + "%"})) {
            return false;
        }
    }
    return true;
}

bool PoolStore::settle_field(const StoreRecord& record, const std::string& name,
                             const std::string& value, const std::string& state) {
    if (state == "kept") {
        return true;  // issued to this board by an earlier run, and staying so
    }
    Row row;
    bool found = false;
    if (!find_row(name, value, row, found)) {
        return false;
    }
    if (!found) {
        return true;  // not this store's value (a pool made again since)
    }
    if (row.run_id == record.run_id) {
        const bool open = row.state == "reserved" || (row.state == "spoiled" && row.stale);
        return !open || sql_.exec(
                            "UPDATE pool_values SET state = $3, stale = 0, updated = $4 "
                            "WHERE pool = $1 AND idx = $2",
                            {name, as_param(row.idx), state, record.time});
    }
    if (state != "issued") {
        return true;  // spoiled or released here, and gone on to another board: as it should
    }
    if (row.state == "released") {
        // Handed back while this board kept it: it is this board's.
        return sql_.exec(
            "UPDATE pool_values SET state = 'issued', stale = 0, updated = $3, "
            "run_id = $4, unique_id = $5, host = $6, location = $7 "
            "WHERE pool = $1 AND idx = $2",
            {name, as_param(row.idx), record.time, record.run_id, record.unique_id.value_or(""),
             record.host, static_cast<std::int64_t>(record.location)});
    }
    return note_twice(name, value, record.run_id, row.run_id);
}

bool PoolStore::settle(const StoreRecord& record, std::string& error) {
    std::vector<std::pair<std::string, std::string>> fields;
    std::vector<std::pair<std::string, std::string>> states;
    if (!read_string_object(record.fields, fields) ||
        !read_string_object(record.field_states, states)) {
        error = "run " + record.run_id + ": fields that are no JSON object of strings";
        return false;
    }
    if (states.empty()) {
        return true;
    }
    Transaction t(sql_, SqlBegin::kWrite);
    if (!t.open()) {
        error = sql_.error();
        return false;
    }
    for (const auto& named : states) {
        const std::string& name = named.first;
        auto field = std::find_if(fields.begin(), fields.end(),
                                  [&](const auto& pair) { return pair.first == name; });
        if (field != fields.end() && !settle_field(record, name, field->second, named.second)) {
            error = sql_.error();
            return false;
        }
    }
    if (!t.commit()) {
        error = sql_.error();
        return false;
    }
    return true;
}

bool PoolStore::recover(const std::string& now, const std::string& cutoff, std::uint64_t& spoiled,
                        std::string& error) {
    std::vector<SqlRow> rows;
    spoiled = 0;
    if (!sql_.exec("SELECT DISTINCT r.run_id, r.time, r.host, r.location, r.unique_id, r.fields, "
                   "r.field_states FROM pool_values v JOIN runs r ON r.run_id = v.run_id "
                   "WHERE v.state = 'reserved' OR (v.state = 'spoiled' AND v.stale = 1)",
                   {}, &rows)) {
        error = sql_.error();
        return false;
    }
    for (const SqlRow& row : rows) {
        StoreRecord record;
        record.run_id = text(row[0]);
        record.time = text(row[1]);
        record.host = text(row[2]);
        record.location = static_cast<std::uint32_t>(to_u64(row[3]));
        record.unique_id = row[4];
        record.fields = text(row[5]);
        record.field_states = text(row[6]);
        if (!settle(record, error)) {
            return false;
        }
    }
    std::vector<SqlRow> count;
    Transaction t(sql_, SqlBegin::kWrite);
    if (!t.open() ||
        !sql_.exec("SELECT COUNT(*) FROM pool_values WHERE state = 'reserved' AND reserved < $1",
                   {cutoff}, &count) ||
        !sql_.exec("UPDATE pool_values SET state = 'spoiled', stale = 1, updated = $2 "
                   "WHERE state = 'reserved' AND reserved < $1",
                   {cutoff, now}) ||
        !t.commit()) {
        error = sql_.error();
        return false;
    }
    spoiled = count.empty() ? 0 : to_u64(count[0][0]);
    return true;
}

// --- times ----------------------------------------------------------------------------

long long time_now() {
    return static_cast<long long>(std::time(nullptr));
}
