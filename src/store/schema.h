// The store's schema as an ordered list of upgrades: version N is the list's
// Nth entry, its statements run in one transaction that also sets the
// version (SQLite: PRAGMA user_version; PostgreSQL: hexflash_schema). A
// later version is one more entry at the end of the list in schema.cpp.
#pragma once

#include <string>
#include <vector>

#include "store/sql.h"

struct SchemaStatement {
    const char* sql;                 // both dialects...
    const char* postgres = nullptr;  // ...unless PostgreSQL needs its own
};

struct SchemaUpgrade {
    std::vector<SchemaStatement> statements;
};

// Every upgrade, version 1 first.
const std::vector<SchemaUpgrade>& schema_upgrades();

// The store's version now: 0 for an empty database. False with `error`.
bool schema_read_version(SqlConnection& sql, int& version, std::string& error);

// Brings the schema up to the program's version, one transaction per
// upgrade. Refuses (and leaves as it is) a store whose version is newer.
// `version`: the version afterwards.
bool schema_upgrade(SqlConnection& sql, int& version, std::string& error);

// The message for a store newer than this program.
std::string schema_too_new(int version);
