#include "store/schema.h"

#include <cstdlib>

#include "store/store.h"

namespace {

// Times are ISO 8601 UTC text, so that they sort and compare as text in both
// databases. protected is 0 or 1 (no boolean: the two databases bind it
// differently). seq orders runs that ended in the same second.
const char* const kRunsSqlite = R"(CREATE TABLE runs (
    seq INTEGER PRIMARY KEY,
    run_id TEXT NOT NULL UNIQUE,
    time TEXT NOT NULL,
    host TEXT NOT NULL,
    version TEXT NOT NULL,
    location BIGINT NOT NULL,
    serial TEXT NOT NULL,
    chip TEXT,
    jedec_id TEXT,
    unique_id TEXT,
    image TEXT,
    sha256 TEXT,
    erase TEXT,
    result TEXT NOT NULL,
    exit_status INTEGER NOT NULL,
    phase TEXT,
    message TEXT,
    seconds DOUBLE PRECISION NOT NULL,
    retries TEXT NOT NULL,
    protected INTEGER,
    fields TEXT NOT NULL DEFAULT '{}',
    field_states TEXT NOT NULL DEFAULT '{}'
))";

const char* const kRunsPostgres = R"(CREATE TABLE runs (
    seq BIGINT GENERATED ALWAYS AS IDENTITY,
    run_id TEXT PRIMARY KEY,
    time TEXT NOT NULL,
    host TEXT NOT NULL,
    version TEXT NOT NULL,
    location BIGINT NOT NULL,
    serial TEXT NOT NULL,
    chip TEXT,
    jedec_id TEXT,
    unique_id TEXT,
    image TEXT,
    sha256 TEXT,
    erase TEXT,
    result TEXT NOT NULL,
    exit_status INTEGER NOT NULL,
    phase TEXT,
    message TEXT,
    seconds DOUBLE PRECISION NOT NULL,
    retries TEXT NOT NULL,
    protected INTEGER,
    fields TEXT NOT NULL DEFAULT '{}',
    field_states TEXT NOT NULL DEFAULT '{}'
))";

// Appending an upgrade: one more entry at the end. Never change one that a
// store may have applied.
const std::vector<SchemaUpgrade> kUpgrades = {
    // 1: the runs and the stations.
    {{
        {kRunsSqlite, kRunsPostgres},
        {"CREATE INDEX runs_time ON runs (time)"},
        {"CREATE INDEX runs_unique_id ON runs (unique_id)"},
        {"CREATE INDEX runs_serial ON runs (serial)"},
        {"CREATE INDEX runs_host_time ON runs (host, time)"},
        {R"(CREATE TABLE stations (
    host TEXT NOT NULL,
    location BIGINT NOT NULL,
    state TEXT NOT NULL,
    phase TEXT NOT NULL,
    percent INTEGER NOT NULL,
    updated TEXT NOT NULL,
    PRIMARY KEY (host, location)
))"},
    }},
    // 2: pools of per-board values (serial numbers, MACs) and each value
    // handed out: its state, the board's unique ID, its run and station.
    // Numbers are decimal text (a be:8 pool reaches 2^64 - 1); idx is a
    // value's offset from the pool's first.
    {{
        {R"(CREATE TABLE pools (
    name TEXT PRIMARY KEY,
    form TEXT NOT NULL,
    prefix TEXT NOT NULL,
    first_value TEXT NOT NULL,
    last_value TEXT NOT NULL,
    taken BIGINT NOT NULL,
    created TEXT NOT NULL
))"},
        {R"(CREATE TABLE pool_values (
    pool TEXT NOT NULL REFERENCES pools (name),
    idx BIGINT NOT NULL,
    value TEXT NOT NULL,
    state TEXT NOT NULL,
    unique_id TEXT NOT NULL,
    run_id TEXT NOT NULL,
    host TEXT NOT NULL,
    location BIGINT NOT NULL,
    reserved TEXT NOT NULL,
    updated TEXT NOT NULL,
    stale INTEGER NOT NULL,
    PRIMARY KEY (pool, idx)
))"},
        {"CREATE UNIQUE INDEX pool_values_value ON pool_values (pool, value)"},
        {"CREATE INDEX pool_values_board ON pool_values (pool, unique_id)"},
        {"CREATE INDEX pool_values_state ON pool_values (pool, state, idx)"},
        {"CREATE INDEX pool_values_run ON pool_values (run_id)"},
        {"CREATE INDEX pool_values_reserved ON pool_values (state, reserved)"},
    }},
};

bool read_int(const std::vector<SqlRow>& rows, int& value) {
    if (rows.empty() || rows[0].empty() || !rows[0][0]) {
        return false;
    }
    value = std::atoi(rows[0][0]->c_str());
    return true;
}

bool write_version(SqlConnection& sql, int version) {
    if (sql.dialect() == SqlDialect::kSqlite) {
        // A pragma takes no parameter.
        return sql.exec("PRAGMA user_version = " + std::to_string(version));
    }
    return sql.exec("DELETE FROM hexflash_schema") &&
           sql.exec("INSERT INTO hexflash_schema (version) VALUES ($1)",
                    {static_cast<std::int64_t>(version)});
}

// One upgrade in its own transaction. `done`: the store was at the program's
// version already (or newer: `error` set then).
bool upgrade_step(SqlConnection& sql, int& version, bool& done, std::string& error) {
    const int latest = store_schema_version();
    if (!sql.begin(SqlBegin::kWrite)) {
        error = sql.error();
        return false;
    }
    const bool postgres = sql.dialect() == SqlDialect::kPostgres;
    if (!schema_read_version(sql, version, error)) {
        sql.rollback();
        return false;
    }
    if (version >= latest) {
        sql.rollback();
        done = true;
        if (version > latest) {
            error = schema_too_new(version);
            return false;
        }
        return true;
    }
    if (postgres &&
        !sql.exec("CREATE TABLE IF NOT EXISTS hexflash_schema (version INTEGER NOT NULL)")) {
        error = sql.error();
        sql.rollback();
        return false;
    }
    for (const SchemaStatement& statement :
         kUpgrades[static_cast<std::size_t>(version)].statements) {
        const char* text =
            postgres && statement.postgres != nullptr ? statement.postgres : statement.sql;
        if (!sql.exec(text)) {
            error = "schema version " + std::to_string(version + 1) + ": " + sql.error();
            sql.rollback();
            return false;
        }
    }
    if (!write_version(sql, version + 1) || !sql.commit()) {
        error = sql.error();
        sql.rollback();
        return false;
    }
    ++version;
    return true;
}

// PostgreSQL: stores opened at once (the watches of a line starting
// together) take turns, by a lock of the session that needs no right on any
// table, taken before the transaction begins so that the transaction sees
// what the one before made. Only an upgrade creates anything, so that a role
// that may only record opens a store that is up to date.
bool upgrade_once(SqlConnection& sql, int& version, bool& done, std::string& error) {
    if (sql.dialect() != SqlDialect::kPostgres) {
        return upgrade_step(sql, version, done, error);
    }
    const char* const key = "hashtext('hexflash_schema')";
    if (!sql.exec(std::string("SELECT pg_advisory_lock(") + key + ")")) {
        error = sql.error();
        return false;
    }
    const bool ok = upgrade_step(sql, version, done, error);
    sql.exec(std::string("SELECT pg_advisory_unlock(") + key + ")");
    return ok;
}

}  // namespace

const std::vector<SchemaUpgrade>& schema_upgrades() {
    return kUpgrades;
}

int store_schema_version() {
    return static_cast<int>(kUpgrades.size());
}

std::string schema_too_new(int version) {
    return "the store's schema is version " + std::to_string(version) + ", newer than this " +
           "hexflash's " + std::to_string(store_schema_version()) + ": left as it is";
}

bool schema_read_version(SqlConnection& sql, int& version, std::string& error) {
    std::vector<SqlRow> rows;
    version = 0;
    if (sql.dialect() == SqlDialect::kSqlite) {
        if (!sql.exec("PRAGMA user_version", {}, &rows) || !read_int(rows, version)) {
            error = sql.error().empty() ? "cannot read the schema's version" : sql.error();
            return false;
        }
        return true;
    }
    if (!sql.exec("SELECT to_regclass('hexflash_schema') IS NOT NULL", {}, &rows) || rows.empty() ||
        rows[0].empty()) {
        error = sql.error();
        return false;
    }
    const std::string there = rows[0][0].value_or("f");
    if (there != "t" && there != "true" && there != "1") {
        return true;
    }
    rows.clear();
    if (!sql.exec("SELECT max(version) FROM hexflash_schema", {}, &rows)) {
        error = sql.error();
        return false;
    }
    read_int(rows, version);  // NULL: no row yet, version 0
    return true;
}

bool schema_upgrade(SqlConnection& sql, int& version, std::string& error) {
    // A newer store is refused before anything about it is changed.
    if (!schema_read_version(sql, version, error)) {
        return false;
    }
    if (version > store_schema_version()) {
        error = schema_too_new(version);
        return false;
    }
    // SQLite: the write-ahead log lets readers (history, the page) go on
    // while a station commits. It stays set in the file.
    std::vector<SqlRow> mode;
    if (sql.dialect() == SqlDialect::kSqlite && !sql.exec("PRAGMA journal_mode=WAL", {}, &mode)) {
        error = sql.error();
        return false;
    }
    for (;;) {
        bool done = false;
        if (!upgrade_once(sql, version, done, error)) {
            return false;
        }
        if (done) {
            return true;
        }
    }
}
