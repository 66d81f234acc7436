// The record store: one row per board run, a row per station, and (later) the
// pools of per-board identities, in SQLite on one PC or PostgreSQL for a
// line of many. Chosen by a URL: "sqlite:PATH", "postgresql://..." (libpq's
// PG* variables and .pgpass apply) or "none".
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "store/sql.h"

// --- where the store is ----------------------------------------------------------
struct StoreUrl {
    enum class Kind { kNone, kSqlite, kPostgres } kind = Kind::kNone;
    std::string path;      // kSqlite: the database file
    std::string conninfo;  // kPostgres: the URI as given, for libpq
    bool named = false;    // from --db or HEXFLASH_DB (not the default)
};
// --db's value, else HEXFLASH_DB, else the default sqlite:$XDG_STATE_HOME/hexflash/line.db
// (~/.local/state/hexflash/line.db). False with `error` ("unknown store URL foo:bar ...").
bool store_url(const std::string& given, StoreUrl& url, std::string& error);
// The folder of the default store and the spool ($XDG_STATE_HOME/hexflash; on
// Windows %LOCALAPPDATA%\hexflash when XDG_STATE_HOME is unset).
std::string store_state_dir();
// The URL as messages name it: "sqlite:/path/line.db", a PostgreSQL URI
// without its password.
std::string store_url_text(const StoreUrl& url);

// --- the rows ---------------------------------------------------------------------
// One board run (or one command's run on a board): the keys of watch's log line,
// a run ID, and the board's identity fields (JSON objects as text, "{}" when none).
struct StoreRecord {
    std::string run_id;  // a UUID made when the board arrived: a record sent twice is stored once
    std::string time;    // ISO 8601 UTC, "2026-12-11T08:00:00Z": when the run ended
    std::string host;
    std::string version;
    std::uint32_t location = 0;
    std::string serial;
    std::optional<std::string> chip;       // null: the part is unknown
    std::optional<std::string> jedec_id;   // "ef4015"
    std::optional<std::string> unique_id;  // hex
    std::optional<std::string> image;      // null where there is none (erase, protect...)
    std::optional<std::string> sha256;
    std::optional<std::string> erase;  // "auto", "chip", "none"
    std::string result;                // "passed", "failed", "interrupted"
    int exit_status = 0;
    std::optional<std::string> phase;
    std::optional<std::string> message;
    double seconds = 0;
    std::string retries = "0";         // the log's JSON value for retries, as text
    std::optional<bool> is_protected;  // "protected"
    std::string fields = "{}";         // {"serial": "OXA2-000001", ...}
    std::string field_states = "{}";   // {"serial": "issued", ...}
};
// "passed" at exit status 0, "interrupted" at 129, 130 or 143, else "failed".
const char* store_result(int exit_status);
// A new random (version 4) UUID in its 36-character form.
std::string store_uuid();
// `seconds` since 1970, as the store's times are written: "2026-12-11T08:00:00Z".
std::string store_time_of(long long seconds);
// Now, written the same way.
std::string store_time_now();

// A station's row, kept current by watch about once a second.
struct StoreStation {
    std::string host;
    std::uint32_t location = 0;
    std::string state;  // "waiting", "burning", "passed", "failed"
    std::string phase;  // while burning
    int percent = 0;
    std::string updated;  // ISO 8601 UTC
};

struct HistoryQuery {
    std::optional<std::string> unique_id, serial, host, result, since,
        until;                                                 // since/until ISO 8601
    std::optional<std::pair<std::string, std::string>> field;  // NAME, VALUE
    std::size_t limit = 0;                                     // 0: all
};
// A time as --since takes it, "2026-12-11" or "2026-12-11T08:00:00Z" (an
// offset, "+02:00", is turned to UTC; none means UTC), in the store's form.
// False when it is none of those.
bool store_time(const std::string& given, std::string& iso);

// --- the store ----------------------------------------------------------------------
// The schema version this program writes: that of the last upgrade it knows.
int store_schema_version();

// One open connection to the store; used by one thread at a time.
class RecordStore {
  public:
    enum class Mode { kReadWrite, kReadOnly };
    // Opens (and for kReadWrite on the default SQLite store creates, with its folder)
    // the store. Refused: a missing folder for a named sqlite: path, a library that is
    // not installed ("... install sqlite3.dll"), a refused login, a schema newer than
    // this program's. An older schema is upgraded (kReadWrite) or refused (kReadOnly).
    static std::unique_ptr<RecordStore> open(const StoreUrl& url, Mode mode, std::string& error);
    // hexflash db init: creates or upgrades the schema; may be run again at any time.
    // `version`: the schema's version afterwards.
    static bool init(const StoreUrl& url, int& version, std::string& error);

    // Commits the record; true only once it is on the disk / committed. A record
    // whose run_id is there already is left as it is (true).
    bool put(const StoreRecord& record, std::string& error);
    bool put_station(const StoreStation& station, std::string& error);
    // Newest first.
    bool history(const HistoryQuery& query, std::vector<StoreRecord>& out, std::string& error);
    bool stations(std::vector<StoreStation>& out, std::string& error);
    // For the rooms that keep their own tables in the store (identities, the page).
    SqlConnection& sql() { return *sql_; }
    const StoreUrl& url() const { return url_; }

    RecordStore(StoreUrl url, std::unique_ptr<SqlConnection> sql);

  private:
    StoreUrl url_;
    std::unique_ptr<SqlConnection> sql_;
};
