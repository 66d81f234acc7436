// The record store's PostgreSQL back end: SqlConnection over libpq, which is
// loaded at run time (libpq.so.5, libpq.dll).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "store/sql.h"

// Connects with a libpq connection URI (or key=value string), passed through
// as it is: libpq's PG* variables, .pgpass and PGPASSFILE fill in what it
// leaves out. `read_only`: the session refuses to write. Null with `error`
// (one line, never the password) when the library is missing or the server
// refuses.
std::unique_ptr<SqlConnection> postgres_connect(const std::string& conninfo, bool read_only,
                                                std::string& error);

// The files tried, in order: HEXFLASH_LIBPQ_LIBRARY when set, else the
// platform's (libpq.so.5; libpq.dll).
std::vector<std::string> postgres_library_names();
// What to install when none of them loads, for the message.
const char* postgres_library_hint();

// `text` with the password of `conninfo` (as written, or percent-decoded)
// replaced by "***": for any message that might quote the connection string.
std::string pg_hide_password(std::string text, const std::string& conninfo);

// libpq's messages (several lines, tabs, a trailing newline) as one line.
std::string pg_one_line(const std::string& text);
