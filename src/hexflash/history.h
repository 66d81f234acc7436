// hexflash's commands on the record store itself: db init and history.
#pragma once

#include <string>

#include "store/store.h"

// Creates or upgrades the store's schema; says which version it is at.
int db_init_command(const std::string& db);

// The records `query` picks, newest first: one line each, or JSON Lines.
int history_command(const std::string& db, const HistoryQuery& query, bool json);

// One record as history shows it to people:
// "2026-12-11T08:00:00Z  jig-1  0x0012  FT7XQ2B  passed  W25Q16JV  d267a8c1b3450a2e  ..."
std::string history_line(const StoreRecord& record);
