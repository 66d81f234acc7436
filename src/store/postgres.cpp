#include "store/postgres.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "host/library.h"
#include "store/connect.h"
#include "store/libpq_calls.h"

namespace {

bool resolve_all(const HostLibrary& library, libpq::Calls& pq, std::string& missing) {
    return library_resolve(library, "PQconnectdbParams", pq.connectdb_params, missing) &&
           library_resolve(library, "PQstatus", pq.status, missing) &&
           library_resolve(library, "PQerrorMessage", pq.error_message, missing) &&
           library_resolve(library, "PQfinish", pq.finish, missing) &&
           library_resolve(library, "PQsetNoticeProcessor", pq.set_notice_processor, missing) &&
           library_resolve(library, "PQexec", pq.exec, missing) &&
           library_resolve(library, "PQexecParams", pq.exec_params, missing) &&
           library_resolve(library, "PQresultStatus", pq.result_status, missing) &&
           library_resolve(library, "PQresultErrorField", pq.result_error_field, missing) &&
           library_resolve(library, "PQcmdStatus", pq.cmd_status, missing) &&
           library_resolve(library, "PQntuples", pq.ntuples, missing) &&
           library_resolve(library, "PQnfields", pq.nfields, missing) &&
           library_resolve(library, "PQgetvalue", pq.get_value, missing) &&
           library_resolve(library, "PQgetisnull", pq.get_is_null, missing) &&
           library_resolve(library, "PQclear", pq.clear, missing);
}

// The library, loaded on first use and never unloaded; null with `error`
// when it cannot be (and the same answer every time after).
const libpq::Calls* libpq_calls(std::string& error) {
    struct Loaded {
        libpq::Calls calls{};
        std::string error;
    };
    static const Loaded loaded = [] {
        Loaded result;
        HostLibrary library;
        std::string tried;
        std::string missing;
        if (!library_open(postgres_library_names(), library, tried)) {
            result.error = "cannot load the PostgreSQL client library: " + tried + "; install " +
                           postgres_library_hint();
        } else if (!resolve_all(library, result.calls, missing)) {
            result.error = "the PostgreSQL client library " + library.file + " lacks " + missing;
        }
        return result;
    }();
    error = loaded.error;
    return loaded.error.empty() ? &loaded.calls : nullptr;
}

// libpq prints the server's notices (NOTICE: relation exists, skipping) on
// stderr unless told otherwise; the store has no use for them.
void ignore_notice(void*, const char*) {}

std::string param_text(const SqlParam& param) {
    if (const auto* integer = std::get_if<std::int64_t>(&param)) {
        return std::to_string(*integer);
    }
    if (const auto* real = std::get_if<double>(&param)) {
        // The shortest text that reads back as the same double.
        char buffer[32];
        auto end = std::to_chars(buffer, buffer + sizeof buffer, *real).ptr;
        return std::string(buffer, end);
    }
    return std::get<std::string>(param);
}

class PgConnection final : public SqlConnection {
  public:
    PgConnection(const libpq::Calls& pq, pg_conn* conn, std::string conninfo)
        : pq_(pq), conn_(conn), conninfo_(std::move(conninfo)) {}
    ~PgConnection() override { pq_.finish(conn_); }
    PgConnection(const PgConnection&) = delete;
    PgConnection& operator=(const PgConnection&) = delete;

    SqlDialect dialect() const override { return SqlDialect::kPostgres; }

    bool exec(const std::string& sql, const std::vector<SqlParam>& params,
              std::vector<SqlRow>* rows) override {
        Result result = run(sql, params);
        if (!succeeded(result.get())) {
            return false;
        }
        if (rows != nullptr) {
            collect(result.get(), *rows);
        }
        return true;
    }

    bool begin(SqlBegin) override { return exec("BEGIN", {}, nullptr); }

    bool commit() override {
        Result result = run("COMMIT", {});
        if (!succeeded(result.get())) {
            return false;
        }
        // COMMIT of a transaction in which a statement failed succeeds, but
        // rolls back: its tag says which.
        if (std::strcmp(pq_.cmd_status(result.get()), "COMMIT") != 0) {
            error_ = "the transaction was rolled back: a statement in it had failed";
            return false;
        }
        return true;
    }

    void rollback() override {
        // The reason the caller rolls back stays in error().
        Result result = run("ROLLBACK", {});
    }

    bool alive() override {
        if (pq_.status(conn_) != libpq::kConnectionOk) {
            return false;
        }
        // libpq learns that the server went away only from a call that
        // fails: an empty query asks at the cost of one round trip.
        Result probe(pq_.exec(conn_, ""), pq_.clear);
        return pq_.status(conn_) == libpq::kConnectionOk;
    }

    const std::string& error() const override { return error_; }

  private:
    using Result = std::unique_ptr<pg_result, libpq::Clear>;

    Result run(const std::string& sql, const std::vector<SqlParam>& params) {
        if (params.empty()) {
            // The simple protocol: a script of several statements runs whole.
            return Result(pq_.exec(conn_, sql.c_str()), pq_.clear);
        }
        std::vector<std::string> texts(params.size());
        std::vector<const char*> values(params.size(), nullptr);
        for (std::size_t i = 0; i < params.size(); ++i) {
            if (!std::holds_alternative<std::nullptr_t>(params[i])) {
                texts[i] = param_text(params[i]);
                values[i] = texts[i].c_str();
            }
        }
        // No types: the server takes each from where the parameter stands.
        return Result(pq_.exec_params(conn_, sql.c_str(), static_cast<int>(params.size()), nullptr,
                                      values.data(), nullptr, nullptr, 0),
                      pq_.clear);
    }

    bool succeeded(const pg_result* result) {
        int status = result != nullptr ? pq_.result_status(result) : -1;
        if (status == libpq::kCommandOk || status == libpq::kTuplesOk ||
            status == libpq::kEmptyQuery) {
            return true;
        }
        const char* primary = result != nullptr
                                  ? pq_.result_error_field(result, libpq::kDiagMessagePrimary)
                                  : nullptr;
        std::string text = primary != nullptr ? primary : pq_.error_message(conn_);
        error_ = pg_hide_password(pg_one_line(text), conninfo_);
        if (error_.empty()) {
            error_ = "the server gave no reason";
        }
        return false;
    }

    void collect(const pg_result* result, std::vector<SqlRow>& rows) const {
        rows.clear();
        int count = pq_.ntuples(result);
        int columns = pq_.nfields(result);
        rows.reserve(static_cast<std::size_t>(count));
        for (int row = 0; row < count; ++row) {
            SqlRow& cells = rows.emplace_back();
            cells.reserve(static_cast<std::size_t>(columns));
            for (int column = 0; column < columns; ++column) {
                if (pq_.get_is_null(result, row, column) != 0) {
                    cells.emplace_back(std::nullopt);
                } else {
                    cells.emplace_back(pq_.get_value(result, row, column));
                }
            }
        }
    }

    const libpq::Calls& pq_;
    pg_conn* conn_;
    std::string conninfo_;
    std::string error_;
};

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::string percent_decoded(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        int high = i + 2 < text.size() && text[i] == '%' ? hex_digit(text[i + 1]) : -1;
        int low = high >= 0 ? hex_digit(text[i + 2]) : -1;
        if (low >= 0) {
            out += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

bool is_uri(const std::string& conninfo) {
    return conninfo.rfind("postgresql://", 0) == 0 || conninfo.rfind("postgres://", 0) == 0;
}

// The URI's user:password@ part, as libpq finds it: up to the first '@'
// that comes before any '/'.
void uri_password(const std::string& uri, std::vector<std::string>& secrets) {
    std::size_t start = uri.find("://") + 3;
    std::size_t at = uri.find_first_of("@/", start);
    if (at == std::string::npos || uri[at] != '@') {
        return;
    }
    std::size_t colon = uri.find(':', start);
    if (colon < at) {
        secrets.push_back(uri.substr(colon + 1, at - colon - 1));
    }
}

// Every "password=VALUE" (a URI's query, or the key=value form, where the
// value may stand in quotes).
void keyword_passwords(const std::string& conninfo, std::vector<std::string>& secrets) {
    const std::string key = "password";
    for (std::size_t at = conninfo.find(key); at != std::string::npos;
         at = conninfo.find(key, at + 1)) {
        std::size_t i = conninfo.find_first_not_of(' ', at + key.size());
        if (i == std::string::npos || conninfo[i] != '=') {
            continue;
        }
        i = conninfo.find_first_not_of(' ', i + 1);
        if (i == std::string::npos) {
            continue;
        }
        std::size_t end =
            conninfo[i] == '\'' ? conninfo.find('\'', i + 1) : conninfo.find_first_of(" &", i);
        std::size_t first = conninfo[i] == '\'' ? i + 1 : i;
        secrets.push_back(conninfo.substr(first, std::min(end, conninfo.size()) - first));
    }
}

}  // namespace

std::string pg_one_line(const std::string& text) {
    std::string line;
    for (char c : text) {
        bool space = c == ' ' || c == '\n' || c == '\r' || c == '\t';
        if (!space) {
            line += c;
        } else if (!line.empty() && line.back() != ' ') {
            line += ' ';
        }
    }
    while (!line.empty() && line.back() == ' ') {
        line.pop_back();
    }
    return line;
}

std::string pg_hide_password(std::string text, const std::string& conninfo) {
    std::vector<std::string> secrets;
    if (is_uri(conninfo)) {
        uri_password(conninfo, secrets);
    }
    keyword_passwords(conninfo, secrets);
    std::size_t written = secrets.size();
    for (std::size_t i = 0; i < written; ++i) {
        secrets.push_back(percent_decoded(secrets[i]));
    }
    // The longest first, so that no part of one is left behind by a shorter.
    std::sort(secrets.begin(), secrets.end(),
              [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    for (const std::string& secret : secrets) {
        for (std::size_t at = secret.empty() ? std::string::npos : text.find(secret);
             at != std::string::npos; at = text.find(secret, at + 3)) {
            text.replace(at, secret.size(), "***");
        }
    }
    return text;
}

std::vector<std::string> postgres_library_names() {
    const char* chosen = std::getenv("HEXFLASH_LIBPQ_LIBRARY");
    if (chosen != nullptr && *chosen != '\0') {
        return {chosen};
    }
#if defined(_WIN32)
    return {"libpq.dll"};
#elif defined(__APPLE__)
    return {"libpq.5.dylib"};
#else
    return {"libpq.so.5"};
#endif
}

const char* postgres_library_hint() {
#if defined(_WIN32)
    return "libpq.dll and the DLLs it needs beside hexflash.exe (see doc/windows.md)";
#else
    return "libpq.so.5 (Debian: apt install libpq5)";
#endif
}

std::unique_ptr<SqlConnection> postgres_connect(const std::string& conninfo, bool read_only,
                                                std::string& error) {
    const libpq::Calls* pq = libpq_calls(error);
    if (pq == nullptr) {
        return nullptr;
    }
    // Defaults that the connection string may override (it is read last):
    // text in UTF-8 whatever the database's encoding, the program's name in
    // pg_stat_activity, and bounds on the wait for a server that does not
    // answer: to connect (unless PGCONNECT_TIMEOUT sets one), and on a
    // connection whose network went away (keepalives, unacknowledged data),
    // so that a writer learns within seconds, not the system's minutes.
    std::vector<const char*> keys = {"client_encoding",  "fallback_application_name",
                                     "keepalives_idle",  "keepalives_interval",
                                     "keepalives_count", "tcp_user_timeout"};
    std::vector<const char*> values = {"UTF8", "hexflash", "5", "2", "3", "10000"};
    if (std::getenv("PGCONNECT_TIMEOUT") == nullptr) {
        keys.push_back("connect_timeout");
        values.push_back("10");
    }
    keys.push_back("dbname");
    values.push_back(conninfo.c_str());
    keys.push_back(nullptr);
    values.push_back(nullptr);
    pg_conn* conn = pq->connectdb_params(keys.data(), values.data(), 1);
    if (conn == nullptr) {
        error = "out of memory connecting to PostgreSQL";
        return nullptr;
    }
    if (pq->status(conn) != libpq::kConnectionOk) {
        error = pg_hide_password(pg_one_line(pq->error_message(conn)), conninfo);
        pq->finish(conn);
        return nullptr;
    }
    pq->set_notice_processor(conn, ignore_notice, nullptr);
    std::unique_ptr<SqlConnection> connection = std::make_unique<PgConnection>(*pq, conn, conninfo);
    if (read_only && !connection->exec("SET default_transaction_read_only = on")) {
        error = connection->error();
        return nullptr;
    }
    return connection;
}
