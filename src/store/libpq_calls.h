// The few libpq calls the PostgreSQL back end makes, declared here instead of
// taken from <libpq-fe.h>: the library is loaded at run time, and the Windows
// build has no header to take them from. tests/store checks each one against
// Debian's header.
#pragma once

// libpq's own struct tags (PGconn, PGresult), so that a file that also
// includes the real header sees one type, not two.
struct pg_conn;
struct pg_result;

namespace libpq {

using Oid = unsigned int;
// libpq's enums (ConnStatusType, ExecStatusType) are int-sized C enums; they
// are taken as int.
using ConnectdbParams = pg_conn* (*)(const char* const* keywords, const char* const* values,
                                     int expand_dbname);
using Status = int (*)(const pg_conn* conn);
using ErrorMessage = char* (*)(const pg_conn* conn);
using Finish = void (*)(pg_conn* conn);
using NoticeProcessor = void (*)(void* arg, const char* message);
using SetNoticeProcessor = NoticeProcessor (*)(pg_conn* conn, NoticeProcessor processor, void* arg);
using Exec = pg_result* (*)(pg_conn* conn, const char* query);
using ExecParams = pg_result* (*)(pg_conn* conn, const char* command, int count, const Oid* types,
                                  const char* const* values, const int* lengths, const int* formats,
                                  int result_format);
using ResultStatus = int (*)(const pg_result* result);
using ResultErrorField = char* (*)(const pg_result* result, int field);
using CmdStatus = char* (*)(pg_result* result);
using Ntuples = int (*)(const pg_result* result);
using Nfields = int (*)(const pg_result* result);
using GetValue = char* (*)(const pg_result* result, int row, int column);
using GetIsNull = int (*)(const pg_result* result, int row, int column);
using Clear = void (*)(pg_result* result);

// The values of libpq's enums and codes that the back end looks at.
inline constexpr int kConnectionOk = 0;          // CONNECTION_OK
inline constexpr int kEmptyQuery = 0;            // PGRES_EMPTY_QUERY
inline constexpr int kCommandOk = 1;             // PGRES_COMMAND_OK
inline constexpr int kTuplesOk = 2;              // PGRES_TUPLES_OK
inline constexpr int kDiagMessagePrimary = 'M';  // PG_DIAG_MESSAGE_PRIMARY

// Every call, resolved from the library once.
struct Calls {
    ConnectdbParams connectdb_params;
    Status status;
    ErrorMessage error_message;
    Finish finish;
    SetNoticeProcessor set_notice_processor;
    Exec exec;
    ExecParams exec_params;
    ResultStatus result_status;
    ResultErrorField result_error_field;
    CmdStatus cmd_status;
    Ntuples ntuples;
    Nfields nfields;
    GetValue get_value;
    GetIsNull get_is_null;
    Clear clear;
};

}  // namespace libpq
