// The database behind a store URL. sql_connect is the one place a URL's kind
// becomes a connection; each back end has its own door below it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "store/sql.h"
#include "store/store.h"

std::unique_ptr<SqlConnection> sql_connect(const StoreUrl& url, bool read_only, std::string& error);

// SQLite: the file at `path` (created when missing unless `read_only`), in
// WAL mode with synchronous=FULL and a busy timeout, so that the stations of
// one PC take turns at the same file and a commit is on the disk.
std::unique_ptr<SqlConnection> sqlite_connect(const std::string& path, bool read_only,
                                              std::string& error);
// PostgreSQL through libpq: `conninfo` as the user gave it.
std::unique_ptr<SqlConnection> postgres_connect(const std::string& conninfo, bool read_only,
                                                std::string& error);

// The files the SQLite back end tries, in order: HEXFLASH_SQLITE_LIBRARY when
// set, else the platform's (libsqlite3.so.0; sqlite3.dll).
std::vector<std::string> sqlite_library_names();
// What to install when none of them loads, for the message.
const char* sqlite_library_hint();

// $N as SQLite writes a numbered parameter, ?N; text in quotes is left alone.
std::string sqlite_parameters(const std::string& sql);
