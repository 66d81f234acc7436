// The PostgreSQL back end against a real server (pg_server.h); skipped when
// there is none.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "pg_server.h"
#include "scratch.h"
#include "store/postgres.h"

namespace {

TEST(Postgres, ValuesComeBackAsTheyWent) {
    REQUIRE_SERVER();
    auto sql = connect();
    ASSERT_TRUE(sql);
    EXPECT_EQ(sql->dialect(), SqlDialect::kPostgres);
    ASSERT_TRUE(sql->exec("DROP TABLE IF EXISTS pg_values"));
    ASSERT_TRUE(sql->exec(
        "CREATE TABLE pg_values (n SERIAL, i BIGINT, r DOUBLE PRECISION, t TEXT, k INTEGER)"));
    struct Case {
        const char* column;
        SqlParam value;
        SqlCell cell;
    };
    const Case cases[] = {
        {"i", std::int64_t{0}, "0"},
        {"i", std::int64_t{-9223372036854775807 - 1}, "-9223372036854775808"},
        {"i", std::int64_t{9223372036854775807}, "9223372036854775807"},
        {"k", std::int64_t{143}, "143"},
        {"r", 0.1, "0.1"},
        {"r", 12.25, "12.25"},
        {"r", -1e-7, "-1e-07"},
        {"r", 1e300, "1e+300"},
        {"t", std::string("OXA2-000001"), "OXA2-000001"},
        {"t", std::string(""), ""},  // empty text is not NULL
        {"t", std::string("it's a \"quote\", a \\ and $1"), "it's a \"quote\", a \\ and $1"},
        {"t", std::string("two\nlines\ttab"), "two\nlines\ttab"},
        {"t", std::string("Grüße ✓ 检查"), "Grüße ✓ 检查"},
        {"t", std::string("{\"serial\": \"A-1\"}"), "{\"serial\": \"A-1\"}"},
        {"t", nullptr, std::nullopt},
        {"i", nullptr, std::nullopt},
        {"r", nullptr, std::nullopt},
    };
    for (const Case& c : cases) {
        std::string column = c.column;
        std::vector<SqlRow> rows;
        ASSERT_TRUE(
            sql->exec("INSERT INTO pg_values (" + column + ") VALUES ($1) RETURNING " + column,
                      {c.value}, &rows))
            << sql->error();
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(rows[0][0], c.cell) << column << " " << c.cell.value_or("NULL");
    }
    // Read back by value: the text form of a parameter compares as the column's type.
    EXPECT_EQ(scalar(*sql, "SELECT count(*) FROM pg_values WHERE r = $1", {0.1}), "1");
    EXPECT_EQ(
        scalar(*sql, "SELECT count(*) FROM pg_values WHERE t = $1", {std::string("Grüße ✓ 检查")}),
        "1");
    EXPECT_EQ(scalar(*sql, "SELECT count(*) FROM pg_values WHERE t IS NULL"), "11");
}

TEST(Postgres, RowsAndNullCells) {
    REQUIRE_SERVER();
    auto sql = connect();
    ASSERT_TRUE(sql);
    std::vector<SqlRow> rows = {{SqlCell("stale")}};
    ASSERT_TRUE(
        sql->exec("SELECT * FROM (VALUES (1, NULL, 'a'), (2, 'x', NULL)) AS v "
                  "WHERE column1 >= $1 ORDER BY column1",
                  {std::int64_t{1}}, &rows));
    const std::vector<SqlRow> expected = {
        {SqlCell("1"), std::nullopt, SqlCell("a")},
        {SqlCell("2"), SqlCell("x"), std::nullopt},
    };
    EXPECT_EQ(rows, expected);
    ASSERT_TRUE(sql->exec("SELECT 1 WHERE false", {}, &rows));
    EXPECT_TRUE(rows.empty());
}

TEST(Postgres, FailuresSayWhyInOneLineAndTheConnectionGoesOn) {
    REQUIRE_SERVER();
    auto sql = connect();
    ASSERT_TRUE(sql);
    struct Case {
        const char* query;
        std::vector<SqlParam> params;
        const char* reason;
    };
    const Case cases[] = {
        {"SELECT * FROM no_such_table", {}, "relation \"no_such_table\" does not exist"},
        {"SELECT * FROM no_such_table WHERE a = $1", {std::int64_t{1}}, "no_such_table"},
        {"SELEKT 1", {}, "syntax error at or near \"SELEKT\""},
        {"SELECT $1::integer", {std::string("twelve")}, "invalid input syntax for type integer"},
        {"SELECT 1; SELECT 2", {std::int64_t{1}}, "cannot insert multiple commands"},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(sql->exec(c.query, c.params)) << c.query;
        EXPECT_NE(sql->error().find(c.reason), std::string::npos) << sql->error();
        EXPECT_EQ(sql->error().find('\n'), std::string::npos) << sql->error();
        EXPECT_TRUE(sql->alive());
        EXPECT_EQ(scalar(*sql, "SELECT 7"), "7");
    }
}

TEST(Postgres, ATransactionCommitsWholeOrNotAtAll) {
    REQUIRE_SERVER();
    auto sql = connect();
    ASSERT_TRUE(sql);
    // A script without parameters runs whole.
    ASSERT_TRUE(sql->exec("DROP TABLE IF EXISTS pg_tx; CREATE TABLE pg_tx (id TEXT PRIMARY KEY)"))
        << sql->error();
    auto insert = [&](const char* id) { return sql->exec("INSERT INTO pg_tx VALUES ($1)", {id}); };

    ASSERT_TRUE(sql->begin(SqlBegin::kWrite));
    ASSERT_TRUE(insert("a"));
    EXPECT_TRUE(sql->commit());

    ASSERT_TRUE(sql->begin(SqlBegin::kRead));
    ASSERT_TRUE(insert("b"));
    sql->rollback();

    // A statement failed inside: COMMIT rolls back, and must say so.
    ASSERT_TRUE(sql->begin(SqlBegin::kWrite));
    ASSERT_TRUE(insert("c"));
    EXPECT_FALSE(insert("a"));
    EXPECT_FALSE(sql->commit());
    EXPECT_NE(sql->error().find("rolled back"), std::string::npos) << sql->error();

    // Sent twice, stored once.
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(sql->exec("INSERT INTO pg_tx VALUES ($1) ON CONFLICT (id) DO NOTHING", {"d"}));
    }
    EXPECT_EQ(scalar(*sql, "SELECT string_agg(id, ',' ORDER BY id) FROM pg_tx"), "a,d");
}

TEST(Postgres, TheServersNoticesStayOffTheScreen) {
    REQUIRE_SERVER();
    auto sql = connect();
    ASSERT_TRUE(sql);
    testing::internal::CaptureStderr();
    EXPECT_TRUE(sql->exec("CREATE TABLE IF NOT EXISTS pg_quiet (a INTEGER)"));
    EXPECT_TRUE(sql->exec("CREATE TABLE IF NOT EXISTS pg_quiet (a INTEGER)"));
    EXPECT_TRUE(sql->exec("DROP TABLE IF EXISTS pg_no_such_table"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(Postgres, AReadOnlyConnectionRefusesToWrite) {
    REQUIRE_SERVER();
    auto writer = connect();
    ASSERT_TRUE(writer);
    ASSERT_TRUE(writer->exec("DROP TABLE IF EXISTS pg_ro; CREATE TABLE pg_ro (a INTEGER)"));
    auto reader = connect("postgresql://", true);
    ASSERT_TRUE(reader);
    EXPECT_EQ(scalar(*reader, "SELECT count(*) FROM pg_ro"), "0");
    EXPECT_FALSE(reader->exec("INSERT INTO pg_ro VALUES (1)"));
    EXPECT_NE(reader->error().find("read-only"), std::string::npos) << reader->error();
}

TEST(Postgres, LoginsAsLibpqMakesThem) {
    REQUIRE_SERVER();
    const std::string server = "localhost:" + env("PGPORT");
    struct Case {
        std::string conninfo;
        const char* refusal;  // nullptr: connects
    };
    const Case cases[] = {
        {"postgresql://", nullptr},  // all from PGHOST, PGPORT, PGUSER, PGPASSWORD
        {"postgresql://" + server + "/postgres", nullptr},
        {"host=localhost dbname=postgres", nullptr},
        {"postgresql://" + env("PGUSER") + ":wrong-Pa55@" + server + "/postgres",
         "password authentication failed for user"},
        {"postgresql://nobody:x@" + server + "/postgres",
         "password authentication failed for user \"nobody\""},
        {"postgresql://" + server + "/no_such_db", "database \"no_such_db\" does not exist"},
        {"postgresql://localhost:1/postgres", "Connection refused"},
        {"postgresql://" + server + "/postgres?no_such_option=1",
         "invalid URI query parameter: \"no_such_option\""},
    };
    for (const Case& c : cases) {
        std::string error;
        auto sql = postgres_connect(c.conninfo, false, error);
        if (c.refusal == nullptr) {
            EXPECT_NE(sql, nullptr) << c.conninfo << ": " << error;
            continue;
        }
        EXPECT_EQ(sql, nullptr) << c.conninfo;
        EXPECT_NE(error.find(c.refusal), std::string::npos) << c.conninfo << ": " << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        EXPECT_EQ(error.find("wrong-Pa55"), std::string::npos) << error;
    }
}

TEST(Postgres, ThePasswordFileServesWhenNoneIsGiven) {
    REQUIRE_SERVER();
    StoreScratch scratch;
    const std::string file = scratch.path("pgpass");
    {
        std::ofstream out(file);
        out << "localhost:" << env("PGPORT") << ":*:" << env("PGUSER") << ":" << env("PGPASSWORD")
            << "\n";
    }
    chmod(file.c_str(), 0600);  // libpq ignores a file others may read
    ScopedEnv no_password("PGPASSWORD", std::nullopt);
    {
        ScopedEnv pass_file("PGPASSFILE", file.c_str());
        std::string error;
        EXPECT_NE(postgres_connect("postgresql://", false, error), nullptr) << error;
    }
    {
        ScopedEnv pass_file("PGPASSFILE", scratch.path("none"));
        std::string error;
        EXPECT_EQ(postgres_connect("postgresql://", false, error), nullptr);
        EXPECT_NE(error.find("no password supplied"), std::string::npos) << error;
    }
}

TEST(Postgres, ALostSessionIsNoticedAndANewOneServes) {
    REQUIRE_SERVER();
    auto sql = connect();
    auto admin = connect();
    ASSERT_TRUE(sql && admin);
    ASSERT_TRUE(sql->alive());
    std::string pid = scalar(*sql, "SELECT pg_backend_pid()");
    ASSERT_EQ(scalar(*admin, "SELECT pg_terminate_backend($1)", {std::stoll(pid)}), "t");
    EXPECT_FALSE(sql->alive());
    EXPECT_FALSE(sql->exec("SELECT 1"));
    EXPECT_FALSE(sql->error().empty());
    EXPECT_EQ(sql->error().find('\n'), std::string::npos) << sql->error();
    EXPECT_FALSE(sql->alive());
    auto again = connect();
    ASSERT_TRUE(again);
    EXPECT_EQ(scalar(*again, "SELECT 1"), "1");
}

TEST(Postgres, TheServerStoppedAndStartedAgain) {
    REQUIRE_SERVER();
    auto sql = connect();
    ASSERT_TRUE(sql);
    ASSERT_TRUE(sql->exec("DROP TABLE IF EXISTS pg_stop; CREATE TABLE pg_stop (a INTEGER)"));
    ASSERT_TRUE(sql->exec("INSERT INTO pg_stop VALUES (1)"));
    cluster("stop -m fast");
    EXPECT_FALSE(sql->alive());
    EXPECT_FALSE(sql->exec("INSERT INTO pg_stop VALUES (2)"));
    std::string error;
    EXPECT_EQ(postgres_connect("postgresql://", false, error), nullptr);
    EXPECT_NE(error.find("Connection refused"), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    cluster("start");
    EXPECT_FALSE(sql->alive());  // a connection does not come back by itself
    auto again = connect();
    ASSERT_TRUE(again);
    EXPECT_TRUE(again->alive());
    EXPECT_EQ(scalar(*again, "SELECT string_agg(a::text, ',') FROM pg_stop"), "1");
}

}  // namespace
