// The store's plain parts: which store a command line names, the times
// --since takes, a run's result, run IDs, and SQLite's parameters.
#include <gtest/gtest.h>

#include <optional>
#include <regex>
#include <set>
#include <string>

#include "case_name.h"
#include "scratch.h"
#include "store/connect.h"
#include "store/store.h"

namespace {

// --- which store ------------------------------------------------------------------

struct UrlCase {
    std::string name;
    std::string given;                       // --db
    std::optional<std::string> environment;  // HEXFLASH_DB
    bool ok;
    StoreUrl::Kind kind;
    std::string where;  // path or conninfo; for the default, the path below XDG_STATE_HOME
    bool named;
    std::string error;  // the start of the message
};

class StoreUrlChoice : public testing::TestWithParam<UrlCase> {};

TEST_P(StoreUrlChoice, OptionThenEnvironmentThenDefault) {
    const UrlCase& c = GetParam();
    ScopedEnv db("HEXFLASH_DB", c.environment);
    ScopedEnv state("XDG_STATE_HOME", "/state");
    StoreUrl url;
    std::string error;
    ASSERT_EQ(store_url(c.given, url, error), c.ok) << error;
    if (!c.ok) {
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
        return;
    }
    EXPECT_EQ(url.kind, c.kind);
    EXPECT_EQ(url.kind == StoreUrl::Kind::kPostgres ? url.conninfo : url.path, c.where);
    EXPECT_EQ(url.named, c.named);
}

const StoreUrl::Kind kSqlite = StoreUrl::Kind::kSqlite;
const StoreUrl::Kind kPostgres = StoreUrl::Kind::kPostgres;
const StoreUrl::Kind kNone = StoreUrl::Kind::kNone;

INSTANTIATE_TEST_SUITE_P(
    Cases, StoreUrlChoice,
    testing::Values(UrlCase{"Default", "", std::nullopt, true, kSqlite, "/state/hexflash/line.db",
                            false, ""},
                    UrlCase{"EmptyEnvironmentIsUnset", "", "", true, kSqlite,
                            "/state/hexflash/line.db", false, ""},
                    UrlCase{"SqliteOption", "sqlite:/tmp/x.db", std::nullopt, true, kSqlite,
                            "/tmp/x.db", true, ""},
                    UrlCase{"RelativeSqlite", "sqlite:line.db", std::nullopt, true, kSqlite,
                            "line.db", true, ""},
                    UrlCase{"OptionOverEnvironment", "sqlite:/a.db", "sqlite:/b.db", true, kSqlite,
                            "/a.db", true, ""},
                    UrlCase{"Environment", "", "sqlite:/b.db", true, kSqlite, "/b.db", true, ""},
                    UrlCase{"Postgresql", "postgresql://line@db.example/line", std::nullopt, true,
                            kPostgres, "postgresql://line@db.example/line", true, ""},
                    UrlCase{"PostgresShortScheme", "postgres:///line", std::nullopt, true,
                            kPostgres, "postgres:///line", true, ""},
                    UrlCase{"NoneOption", "none", "sqlite:/b.db", true, kNone, "", true, ""},
                    UrlCase{"NoneEnvironment", "", "none", true, kNone, "", true, ""},
                    UrlCase{"UnknownScheme", "foo:bar", std::nullopt, false, kNone, "", false,
                            "unknown store URL foo:bar"},
                    UrlCase{"BarePath", "/tmp/x.db", std::nullopt, false, kNone, "", false,
                            "unknown store URL /tmp/x.db"},
                    UrlCase{"SqliteWithoutPath", "sqlite:", std::nullopt, false, kNone, "", false,
                            "store URL sqlite: names no file"},
                    UrlCase{"BadEnvironmentSaysWhere", "", "mysql://x", false, kNone, "", false,
                            "HEXFLASH_DB: unknown store URL mysql://x"}),
    case_name<UrlCase>);

TEST(StoreStateDir, XdgThenHomeAndARelativeXdgIsIgnored) {
    {
        ScopedEnv state("XDG_STATE_HOME", "/xdg");
        EXPECT_EQ(store_state_dir(), "/xdg/hexflash");
    }
    ScopedEnv home("HOME", "/home/op");
    for (std::optional<std::string> unusable :
         {std::optional<std::string>(), std::optional<std::string>("relative/dir"),
          std::optional<std::string>("")}) {
        ScopedEnv state("XDG_STATE_HOME", unusable);
        EXPECT_EQ(store_state_dir(), "/home/op/.local/state/hexflash");
    }
}

struct TextCase {
    std::string name;
    StoreUrl url;
    std::string text;
};

class StoreUrlText : public testing::TestWithParam<TextCase> {};

TEST_P(StoreUrlText, NeverShowsAPassword) {
    EXPECT_EQ(store_url_text(GetParam().url), GetParam().text);
}

StoreUrl postgres(const std::string& conninfo) {
    StoreUrl url;
    url.kind = StoreUrl::Kind::kPostgres;
    url.conninfo = conninfo;
    return url;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StoreUrlText,
    testing::Values(TextCase{"Sqlite", {kSqlite, "/x/line.db", "", true}, "sqlite:/x/line.db"},
                    TextCase{"None", {}, "none"},
                    TextCase{"NoUser", postgres("postgresql://db/line"), "postgresql://db/line"},
                    TextCase{"UserOnly", postgres("postgresql://op@db/line"),
                             "postgresql://op@db/line"},
                    TextCase{"UserAndPassword", postgres("postgresql://op:s3cret@db:5432/line"),
                             "postgresql://op@db:5432/line"},
                    TextCase{"PasswordInQuery", postgres("postgresql://op@db/line?password=s3cret"),
                             "postgresql://op@db/line"},
                    TextCase{"AtSignInPassword", postgres("postgresql://op:a@b@db/line"),
                             "postgresql://op@db/line"}),
    case_name<TextCase>);

// --- times ------------------------------------------------------------------------

struct TimeCase {
    std::string name;
    std::string given;
    std::string iso;  // empty: refused
};

class StoreTime : public testing::TestWithParam<TimeCase> {};

TEST_P(StoreTime, IsoDatesAndTimesInUtc) {
    const TimeCase& c = GetParam();
    std::string iso = "untouched";
    EXPECT_EQ(store_time(c.given, iso), !c.iso.empty());
    if (!c.iso.empty()) {
        EXPECT_EQ(iso, c.iso);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StoreTime,
    testing::Values(
        TimeCase{"Date", "2026-12-11", "2026-12-11T00:00:00Z"},
        TimeCase{"DateTimeZ", "2026-12-11T08:00:00Z", "2026-12-11T08:00:00Z"},
        TimeCase{"NoSeconds", "2026-12-11T08:05Z", "2026-12-11T08:05:00Z"},
        TimeCase{"NoZoneIsUtc", "2026-12-11T08:00:00", "2026-12-11T08:00:00Z"},
        TimeCase{"SpaceForT", "2026-12-11 08:00:00Z", "2026-12-11T08:00:00Z"},
        TimeCase{"EastOffset", "2026-12-11T10:00:00+02:00", "2026-12-11T08:00:00Z"},
        TimeCase{"OffsetAcrossMidnight", "2026-01-01T00:30:00+0100", "2025-12-31T23:30:00Z"},
        TimeCase{"WestOffset", "2026-12-11T20:00:00-05:00", "2026-12-12T01:00:00Z"},
        TimeCase{"LeapDay", "2028-02-29", "2028-02-29T00:00:00Z"},
        TimeCase{"NoLeapDay", "2026-02-29", ""}, TimeCase{"CenturyNotLeap", "2100-02-29", ""},
        TimeCase{"Month13", "2026-13-01", ""}, TimeCase{"Day0", "2026-12-00", ""},
        TimeCase{"Hour24", "2026-12-11T24:00:00Z", ""},
        TimeCase{"Minute60", "2026-12-11T08:60Z", ""},
        TimeCase{"TrailingText", "2026-12-11T08:00:00Zjunk", ""},
        TimeCase{"DateThenJunk", "2026-12-11x", ""}, TimeCase{"ShortYear", "26-12-11", ""},
        TimeCase{"Empty", "", ""}, TimeCase{"Words", "yesterday", ""}),
    case_name<TimeCase>);

// --- a run's result, its ID -----------------------------------------------------------

TEST(StoreResult, PassedAtZeroInterruptedBySignalElseFailed) {
    const std::pair<int, std::string> cases[] = {
        {0, "passed"},        {1, "failed"},        {2, "failed"},        {3, "failed"},
        {128, "failed"},      {129, "interrupted"}, {130, "interrupted"}, {131, "failed"},
        {143, "interrupted"}, {137, "failed"},      {-1, "failed"}};
    for (const auto& [status, result] : cases) {
        EXPECT_EQ(store_result(status), result) << status;
    }
}

TEST(StoreUuid, VersionFourEachDistinct) {
    const std::regex form("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    std::set<std::string> seen;
    for (int i = 0; i < 2000; ++i) {
        std::string id = store_uuid();
        ASSERT_TRUE(std::regex_match(id, form)) << id;
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 2000u);
}

TEST(StoreTimeNow, InTheStoresForm) {
    const std::regex form("20[0-9]{2}-[01][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:[0-5][0-9]Z");
    EXPECT_TRUE(std::regex_match(store_time_now(), form)) << store_time_now();
}

// --- SQLite's parameters ----------------------------------------------------------------

TEST(SqliteParameters, NumberedOutsideQuotesOnly) {
    const std::pair<std::string, std::string> cases[] = {
        {"SELECT $1", "SELECT ?1"},
        {"VALUES ($1, $2, $10)", "VALUES (?1, ?2, ?10)"},
        {"WHERE a = '$1'", "WHERE a = '$1'"},
        {"json_extract(f, '$.\"' || $1 || '\"')", "json_extract(f, '$.\"' || ?1 || '\"')"},
        {"SELECT \"$2\" FROM t", "SELECT \"$2\" FROM t"},
        {"SELECT 'it''s $1', $2", "SELECT 'it''s $1', ?2"},
        {"SELECT $ , $a, $0", "SELECT $ , $a, $0"},
    };
    for (const auto& [given, wanted] : cases) {
        EXPECT_EQ(sqlite_parameters(given), wanted) << given;
    }
}

}  // namespace
