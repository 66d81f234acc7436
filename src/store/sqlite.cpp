// The SQLite back end: the library loaded at run time, one connection per
// SqlConnection, each statement prepared, bound, stepped and finalised.
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "host/codepage.h"
#include "host/library.h"
#include "store/connect.h"
#include "store/sqlite_api.h"

namespace {

// How long a writer waits for another station's commit on the same file.
constexpr int kBusyMs = 10000;

bool resolve_all(const HostLibrary& library, sqlite_api::Calls& c, std::string& missing) {
    return library_resolve(library, "sqlite3_open_v2", c.open_v2, missing) &&
           library_resolve(library, "sqlite3_close_v2", c.close_v2, missing) &&
           library_resolve(library, "sqlite3_errmsg", c.errmsg, missing) &&
           library_resolve(library, "sqlite3_busy_timeout", c.busy_timeout, missing) &&
           library_resolve(library, "sqlite3_prepare_v2", c.prepare_v2, missing) &&
           library_resolve(library, "sqlite3_bind_null", c.bind_null, missing) &&
           library_resolve(library, "sqlite3_bind_int64", c.bind_int64, missing) &&
           library_resolve(library, "sqlite3_bind_double", c.bind_double, missing) &&
           library_resolve(library, "sqlite3_bind_text", c.bind_text, missing) &&
           library_resolve(library, "sqlite3_step", c.step, missing) &&
           library_resolve(library, "sqlite3_column_count", c.column_count, missing) &&
           library_resolve(library, "sqlite3_column_type", c.column_type, missing) &&
           library_resolve(library, "sqlite3_column_text", c.column_text, missing) &&
           library_resolve(library, "sqlite3_column_bytes", c.column_bytes, missing) &&
           library_resolve(library, "sqlite3_finalize", c.finalize, missing) &&
           library_resolve(library, "sqlite3_libversion_number", c.libversion_number, missing);
}

// The library, loaded once for the process; nullptr with `error` when it
// cannot be (and the same answer every time after).
const sqlite_api::Calls* sqlite_calls(std::string& error) {
    static std::once_flag once;
    static sqlite_api::Calls calls{};
    static bool loaded = false;
    static std::string why;
    std::call_once(once, [] {
        HostLibrary library;
        std::string tried;
        if (!library_open(sqlite_library_names(), library, tried)) {
            why = std::string("cannot load the SQLite library: ") + tried + "; install " +
                  sqlite_library_hint();
            return;
        }
        std::string missing;
        if (!resolve_all(library, calls, missing)) {
            why = "the SQLite library " + library.file + " lacks " + missing;
            return;
        }
        if (calls.libversion_number() < sqlite_api::kOldestVersion) {
            why = "the SQLite library " + library.file + " is older than 3.24.0";
            return;
        }
        loaded = true;
    });
    if (!loaded) {
        error = why;
        return nullptr;
    }
    return &calls;
}

class SqliteConnection final : public SqlConnection {
  public:
    SqliteConnection(const sqlite_api::Calls& calls, sqlite3* db) : c_(calls), db_(db) {}
    ~SqliteConnection() override { c_.close_v2(db_); }
    SqliteConnection(const SqliteConnection&) = delete;
    SqliteConnection& operator=(const SqliteConnection&) = delete;

    SqlDialect dialect() const override { return SqlDialect::kSqlite; }

    bool exec(const std::string& sql, const std::vector<SqlParam>& params,
              std::vector<SqlRow>* rows) override {
        sqlite3_stmt* statement = nullptr;
        const std::string text = sqlite_parameters(sql);
        if (c_.prepare_v2(db_, text.c_str(), static_cast<int>(text.size()), &statement, nullptr) !=
            sqlite_api::kOk) {
            return fail();
        }
        bool ok = bind(statement, params) && step_all(statement, rows);
        if (!ok) {
            fail();
        }
        c_.finalize(statement);
        return ok;
    }

    bool begin(SqlBegin kind) override {
        return exec(kind == SqlBegin::kWrite ? "BEGIN IMMEDIATE" : "BEGIN", {}, nullptr);
    }
    bool commit() override { return exec("COMMIT", {}, nullptr); }
    void rollback() override {
        std::string kept = error_;
        exec("ROLLBACK", {}, nullptr);
        error_ = kept;  // the reason the caller rolls back is what counts
    }
    bool alive() override { return db_ != nullptr; }
    const std::string& error() const override { return error_; }

  private:
    bool fail() {
        const char* text = c_.errmsg(db_);
        error_ = text != nullptr ? text : "SQLite error";
        return false;
    }

    bool bind(sqlite3_stmt* statement, const std::vector<SqlParam>& params) {
        for (std::size_t i = 0; i < params.size(); ++i) {
            const int at = static_cast<int>(i + 1);
            int done = std::visit(
                [&](const auto& value) {
                    using T = std::decay_t<decltype(value)>;
                    if constexpr (std::is_same_v<T, std::nullptr_t>) {
                        return c_.bind_null(statement, at);
                    } else if constexpr (std::is_same_v<T, std::int64_t>) {
                        return c_.bind_int64(statement, at, static_cast<long long>(value));
                    } else if constexpr (std::is_same_v<T, double>) {
                        return c_.bind_double(statement, at, value);
                    } else {
                        // SQLITE_TRANSIENT: the library takes its own copy.
                        auto copy = reinterpret_cast<sqlite_api::Destructor>(-1);
                        return c_.bind_text(statement, at, value.data(),
                                            static_cast<int>(value.size()), copy);
                    }
                },
                params[i]);
            if (done != sqlite_api::kOk) {
                return false;
            }
        }
        return true;
    }

    bool step_all(sqlite3_stmt* statement, std::vector<SqlRow>* rows) {
        for (;;) {
            int step = c_.step(statement);
            if (step == sqlite_api::kDone) {
                return true;
            }
            if (step != sqlite_api::kRow) {
                return false;
            }
            if (rows == nullptr) {
                continue;
            }
            SqlRow& row = rows->emplace_back();
            const int columns = c_.column_count(statement);
            for (int column = 0; column < columns; ++column) {
                if (c_.column_type(statement, column) == sqlite_api::kNull) {
                    row.emplace_back(std::nullopt);
                    continue;
                }
                const unsigned char* text = c_.column_text(statement, column);
                const int bytes = c_.column_bytes(statement, column);
                row.emplace_back(std::string(reinterpret_cast<const char*>(text),
                                             static_cast<std::size_t>(bytes)));
            }
        }
    }

    const sqlite_api::Calls& c_;
    sqlite3* db_;
    std::string error_;
};

}  // namespace

std::vector<std::string> sqlite_library_names() {
    const char* chosen = std::getenv("HEXFLASH_SQLITE_LIBRARY");
    if (chosen != nullptr && *chosen != '\0') {
        return {chosen};
    }
#if defined(_WIN32)
    return {"sqlite3.dll"};
#elif defined(__APPLE__)
    return {"libsqlite3.dylib"};
#else
    return {"libsqlite3.so.0", "libsqlite3.so"};
#endif
}

const char* sqlite_library_hint() {
#if defined(_WIN32)
    return "sqlite3.dll beside hexflash.exe (see doc/windows.md)";
#else
    return "libsqlite3.so.0 (Debian: apt install libsqlite3-0)";
#endif
}

std::string sqlite_parameters(const std::string& sql) {
    std::string out;
    out.reserve(sql.size());
    char quote = 0;
    for (std::size_t i = 0; i < sql.size(); ++i) {
        char ch = sql[i];
        if (quote != 0) {
            quote = ch == quote ? 0 : quote;
        } else if (ch == '\'' || ch == '"') {
            quote = ch;
        } else if (ch == '$' && i + 1 < sql.size() && sql[i + 1] >= '1' && sql[i + 1] <= '9') {
            ch = '?';
        }
        out += ch;
    }
    return out;
}

std::unique_ptr<SqlConnection> sqlite_connect(const std::string& path, bool read_only,
                                              std::string& error) {
    const sqlite_api::Calls* calls = sqlite_calls(error);
    if (calls == nullptr) {
        return nullptr;
    }
    const int flags = (read_only ? sqlite_api::kOpenReadOnly
                                 : sqlite_api::kOpenReadWrite | sqlite_api::kOpenCreate) |
                      sqlite_api::kOpenFullMutex;
    sqlite3* db = nullptr;
    // SQLite takes file names in UTF-8; Windows hands them over in its code page.
    const std::string name = host_text_to_utf8(path);
    if (calls->open_v2(name.c_str(), &db, flags, nullptr) != sqlite_api::kOk) {
        const char* text = db != nullptr ? calls->errmsg(db) : "out of memory";
        error = "cannot open " + path + ": " + (text != nullptr ? text : "SQLite error");
        calls->close_v2(db);
        return nullptr;
    }
    calls->busy_timeout(db, kBusyMs);
    auto connection = std::make_unique<SqliteConnection>(*calls, db);
    // FULL syncs at every commit, so that a committed record survives a power
    // cut (WAL mode, which the schema sets, lets readers go on meanwhile).
    if (!read_only && !connection->exec("PRAGMA synchronous=FULL", {}, nullptr)) {
        error = "cannot open " + path + ": " + connection->error();
        return nullptr;
    }
    return connection;
}
