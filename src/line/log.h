// The production log of watch: one JSON line per board (JSON Lines), each
// appended whole under an exclusive lock and on the disk before the board is
// shown as passed, so a killed run leaves no torn line and two runs on one
// log take turns.
#pragma once

#include <string>

#include "board/fields.h"
#include "store/store.h"

// Who wrote a line: the same for every line of a run.
struct LogSource {
    std::string host;
    std::string version;
};
LogSource log_source(const char* version);

// One board's line, without its line end.
std::string log_line(const RecordView& view, const LogSource& source);

// The same board's record for the store: the line's keys read back (so the
// two never differ), with the run's ID.
StoreRecord log_store_record(const RecordView& view, const LogSource& source,
                             const std::string& run_id);

// Whether the log can be opened for appending (created when missing).
bool log_check(const std::string& path, std::string& error);

// Appends `line` and a line end with one write, locked, then syncs the file.
// False with `error` set when any of that failed.
bool log_append(const std::string& path, const std::string& line, std::string& error);
