// The throw-away PostgreSQL cluster that tests/store/with_postgres.sh starts
// (pg_virtualenv sets PGHOST, PGPORT, PGUSER, PGPASSWORD, PGDATABASE and
// PGVERSION), and what the tests do with it.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "store/connect.h"
#include "store/postgres.h"

inline bool have_server() {
    return std::getenv("PGHOST") != nullptr && std::getenv("PGPORT") != nullptr &&
           std::getenv("PGVERSION") != nullptr;
}

#define REQUIRE_SERVER()                                                                 \
    if (!have_server()) {                                                                \
        GTEST_SKIP() << "no PostgreSQL server (run under tests/store/with_postgres.sh)"; \
    }

inline std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

inline std::unique_ptr<SqlConnection> connect(const std::string& conninfo = "postgresql://",
                                              bool read_only = false) {
    std::string error;
    auto sql = postgres_connect(conninfo, read_only, error);
    EXPECT_NE(sql, nullptr) << conninfo << ": " << error;
    return sql;
}

// The one cell of a one-row, one-column answer ("<null>" for NULL).
inline std::string scalar(SqlConnection& sql, const std::string& query,
                          const std::vector<SqlParam>& params = {}) {
    std::vector<SqlRow> rows;
    if (!sql.exec(query, params, &rows)) {
        return "<error: " + sql.error() + ">";
    }
    if (rows.size() != 1 || rows[0].size() != 1) {
        return "<" + std::to_string(rows.size()) + " rows>";
    }
    return rows[0][0].value_or("<null>");
}

// A new, empty database on the server, and the URL of the store in it.
inline std::string fresh_database(const std::string& name) {
    auto admin = connect();
    if (!admin) {
        return "";
    }
    EXPECT_TRUE(admin->exec("DROP DATABASE IF EXISTS " + name + " WITH (FORCE)")) << admin->error();
    EXPECT_TRUE(admin->exec("CREATE DATABASE " + name)) << admin->error();
    return "postgresql:///" + name;
}

// Stops or starts the cluster pg_virtualenv made ("stop -m fast", "start"):
// it is named "regress", and pg_ctlcluster finds it through the
// PG_CLUSTER_CONF_ROOT that pg_virtualenv exports.
inline void cluster(const std::string& action) {
    std::string command = "pg_ctlcluster " + env("PGVERSION") + " regress " + action;
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}
