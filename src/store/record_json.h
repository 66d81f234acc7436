// A stored record as one line of JSON: the log line's keys in its order, then
// run_id, fields and field_states. history --json prints it, the spool keeps
// it, and a log line reads back into a record through the same reader.
#pragma once

#include <string>
#include <string_view>

#include "store/store.h"

std::string store_record_json(const StoreRecord& record);


// Reads a record from such a line, or from a log line (no run_id, fields or
// field_states: left empty, "{}" and "{}"). Keys it does not know are
// ignored. False with `error` when the text is no object or lacks a key the
// record cannot be without.
bool store_record_from_json(std::string_view text, StoreRecord& record, std::string& error);
