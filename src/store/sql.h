// One connection to the record store, whichever database is behind it.
// The store's queries are written once, in the SQL both back ends take
// (parameters as $1, $2, ...; INSERT ... ON CONFLICT ... DO NOTHING/UPDATE),
// and run through this interface; a back end only connects, binds, steps
// and commits.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

// A parameter: NULL, an integer, a real or text.
using SqlParam = std::variant<std::nullptr_t, std::int64_t, double, std::string>;
// A result cell as text (integers in decimal, reals as the database prints
// them); nullopt for NULL.
using SqlCell = std::optional<std::string>;
using SqlRow = std::vector<SqlCell>;

enum class SqlDialect { kSqlite, kPostgres };

// How a transaction begins. kWrite takes the write lock at once (SQLite:
// BEGIN IMMEDIATE), so two stations taking the next value of a pool
// serialise instead of failing at commit; on PostgreSQL both are BEGIN (row
// locks, e.g. SELECT ... FOR UPDATE SKIP LOCKED, do the rest).
enum class SqlBegin { kRead, kWrite };

class SqlConnection {
  public:
    virtual ~SqlConnection() = default;
    virtual SqlDialect dialect() const = 0;
    // Runs one statement; rows (when it returns any) into *rows. False with
    // error() set when it failed (nothing is thrown).
    virtual bool exec(const std::string& sql, const std::vector<SqlParam>& params = {},
                      std::vector<SqlRow>* rows = nullptr) = 0;
    virtual bool begin(SqlBegin kind) = 0;
    virtual bool
    commit() = 0;  // on return true the rows are on the disk (SQLite: synchronous=FULL)
    virtual void rollback() = 0;
    // Whether the connection still answers: false once the server went away.
    virtual bool alive() = 0;
    virtual const std::string& error() const = 0;
};
