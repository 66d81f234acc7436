// The PostgreSQL back end's helpers (postgres_connect itself is declared in
// store/connect.h beside the other back ends).
#pragma once

#include <string>
#include <vector>

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
