// The SQLite back end declares its own prototypes of the calls it makes (it
// loads the library at run time): each must be the very type Debian's header
// gives, or a call would pass its arguments wrongly.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <type_traits>

#include "store/sqlite_api.h"

namespace {

using namespace sqlite_api;

static_assert(std::is_same_v<decltype(&sqlite3_open_v2), OpenV2>);
static_assert(std::is_same_v<decltype(&sqlite3_close_v2), CloseV2>);
static_assert(std::is_same_v<decltype(&sqlite3_errmsg), Errmsg>);
static_assert(std::is_same_v<decltype(&sqlite3_busy_timeout), BusyTimeout>);
static_assert(std::is_same_v<decltype(&sqlite3_prepare_v2), PrepareV2>);
static_assert(std::is_same_v<decltype(&sqlite3_bind_null), BindNull>);
static_assert(std::is_same_v<decltype(&sqlite3_bind_int64), BindInt64>);
static_assert(std::is_same_v<decltype(&sqlite3_bind_double), BindDouble>);
static_assert(std::is_same_v<decltype(&sqlite3_bind_text), BindText>);
static_assert(std::is_same_v<decltype(&sqlite3_step), Step>);
static_assert(std::is_same_v<decltype(&sqlite3_column_count), ColumnCount>);
static_assert(std::is_same_v<decltype(&sqlite3_column_type), ColumnType>);
static_assert(std::is_same_v<decltype(&sqlite3_column_text), ColumnText>);
static_assert(std::is_same_v<decltype(&sqlite3_column_bytes), ColumnBytes>);
static_assert(std::is_same_v<decltype(&sqlite3_finalize), Finalize>);
static_assert(std::is_same_v<decltype(&sqlite3_libversion_number), LibversionNumber>);
static_assert(std::is_same_v<sqlite3_destructor_type, Destructor>);

static_assert(kOk == SQLITE_OK && kRow == SQLITE_ROW && kDone == SQLITE_DONE);
static_assert(kNull == SQLITE_NULL);
static_assert(kOpenReadOnly == SQLITE_OPEN_READONLY && kOpenReadWrite == SQLITE_OPEN_READWRITE &&
              kOpenCreate == SQLITE_OPEN_CREATE && kOpenFullMutex == SQLITE_OPEN_FULLMUTEX);

TEST(SqliteApi, TheTransientDestructorIsTheHeadersOwn) {
    // The back end passes SQLITE_TRANSIENT as -1 cast to the destructor type.
    EXPECT_EQ(reinterpret_cast<Destructor>(-1), SQLITE_TRANSIENT);
}

}  // namespace
