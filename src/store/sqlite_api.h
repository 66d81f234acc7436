// The few calls of SQLite's C library the store makes, declared here rather
// than taken from <sqlite3.h>: the library is loaded at run time, so a build
// (the Windows one above all) needs neither its header nor its import
// library. tests/store checks each type against Debian's header.
#pragma once

// The library's own opaque handles: the same names as its header gives them,
// so that the test's comparison sees one type.
struct sqlite3;
struct sqlite3_stmt;

namespace sqlite_api {

using OpenV2 = int (*)(const char* filename, sqlite3** db, int flags, const char* vfs);
using CloseV2 = int (*)(sqlite3* db);
using Errmsg = const char* (*)(sqlite3* db);
using BusyTimeout = int (*)(sqlite3* db, int ms);
using PrepareV2 = int (*)(sqlite3* db, const char* sql, int bytes, sqlite3_stmt** statement,
                          const char** tail);
using BindNull = int (*)(sqlite3_stmt* statement, int index);
using BindInt64 = int (*)(sqlite3_stmt* statement, int index, long long value);
using BindDouble = int (*)(sqlite3_stmt* statement, int index, double value);
using Destructor = void (*)(void*);
using BindText = int (*)(sqlite3_stmt* statement, int index, const char* text, int bytes,
                         Destructor destructor);
using Step = int (*)(sqlite3_stmt* statement);
using ColumnCount = int (*)(sqlite3_stmt* statement);
using ColumnType = int (*)(sqlite3_stmt* statement, int column);
using ColumnText = const unsigned char* (*)(sqlite3_stmt* statement, int column);
using ColumnBytes = int (*)(sqlite3_stmt* statement, int column);
using Finalize = int (*)(sqlite3_stmt* statement);
using LibversionNumber = int (*)();

// The library's numbers the store uses.
inline constexpr int kOk = 0;
inline constexpr int kRow = 100;
inline constexpr int kDone = 101;
inline constexpr int kNull = 5;  // a column's type
inline constexpr int kOpenReadOnly = 0x00000001;
inline constexpr int kOpenReadWrite = 0x00000002;
inline constexpr int kOpenCreate = 0x00000004;
inline constexpr int kOpenFullMutex = 0x00010000;
// UPSERT (INSERT ... ON CONFLICT ... DO UPDATE) came with 3.24.0.
inline constexpr int kOldestVersion = 3024000;

struct Calls {
    OpenV2 open_v2;
    CloseV2 close_v2;
    Errmsg errmsg;
    BusyTimeout busy_timeout;
    PrepareV2 prepare_v2;
    BindNull bind_null;
    BindInt64 bind_int64;
    BindDouble bind_double;
    BindText bind_text;
    Step step;
    ColumnCount column_count;
    ColumnType column_type;
    ColumnText column_text;
    ColumnBytes column_bytes;
    Finalize finalize;
    LibversionNumber libversion_number;
};

}  // namespace sqlite_api
