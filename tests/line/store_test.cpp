// The line and the record store end to end: the built hexflash against the
// simulated board, recording into SQLite stores of the test's own (every run
// has XDG_STATE_HOME in its scratch folder, so no test touches a real store).
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "burn.h"
#include "case_name.h"
#include "process.h"
#include "store/connect.h"
#include "store/record_json.h"
#include "store/spool.h"
#include "store/store.h"

namespace {

using namespace std::chrono_literals;

std::string text_of(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::vector<std::string> lines_in(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

void plug(const std::string& present, const std::string& boards) {
    write_file(present + ".new", boards);
    ASSERT_EQ(std::rename((present + ".new").c_str(), present.c_str()), 0);
}

bool wait_for(const std::function<bool()>& done, std::chrono::seconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

std::string small_image(const ScratchDir& scratch, std::uint32_t seed) {
    std::string path = scratch.path("image.hex");
    srecord_image(scratch, path, pattern(3000, seed), 0x10000, 32);
    return path;
}

// The line's boards carry W25Q16JVs: each has its own unique ID.
std::string line_driver(const ScratchDir& scratch, int boards, const std::string& timing) {
    return "HEXBURN_DRIVER=sim:boards=" + std::to_string(boards) + ",timing=" + timing +
           ",chip=w25q16jv,flash=" + scratch.path("b%d.bin") +
           ",present=" + scratch.path("present");
}

std::string state_env(const ScratchDir& scratch) {
    return "XDG_STATE_HOME=" + scratch.path("state");
}

// watch as a child whose standard error goes to a file, to see the screen as it runs.
struct Watcher {
    pid_t pid = -1;
    std::string screen;

    Watcher(const std::vector<std::string>& args, std::vector<std::string> env,
            std::string screen_path)
        : screen(std::move(screen_path)) {
        std::vector<std::string> argv = {HEXFLASH_EXE, "watch"};
        argv.insert(argv.end(), args.begin(), args.end());
        pid = fork();
        if (pid == 0) {
            std::freopen(screen.c_str(), "w", stderr);
            for (std::string& variable : env) {
                putenv(variable.data());
            }
            std::vector<char*> pointers;
            for (std::string& arg : argv) {
                pointers.push_back(arg.data());
            }
            pointers.push_back(nullptr);
            execv(HEXFLASH_EXE, pointers.data());
            _exit(127);
        }
    }
    bool shows(const std::string& text) const {
        return text_of(screen).find(text) != std::string::npos;
    }
    int finish(std::chrono::seconds limit) {
        int status = 0;
        bool ended = wait_for([&] { return waitpid(pid, &status, WNOHANG) == pid; }, limit);
        if (!ended) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

// hexflash history --json as records.
std::vector<StoreRecord> history(const std::vector<std::string>& args,
                                 const std::vector<std::string>& env) {
    std::vector<std::string> argv = {HEXFLASH_EXE, "--json", "history"};
    argv.insert(argv.end(), args.begin(), args.end());
    ProcessResult result = run_process(argv, env);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    std::vector<StoreRecord> records;
    for (const std::string& line : lines_in(result.out)) {
        StoreRecord record;
        std::string error;
        EXPECT_TRUE(store_record_from_json(line, record, error)) << error << ": " << line;
        records.push_back(record);
    }
    return records;
}

// How many records the store holds now; 0 while watch is still making it.
std::size_t stored_now(const std::string& path) {
    std::string error;
    auto store = RecordStore::open(StoreUrl{StoreUrl::Kind::kSqlite, path, "", true},
                                   RecordStore::Mode::kReadOnly, error);
    std::vector<StoreRecord> all;
    return store != nullptr && store->history({}, all, error) ? all.size() : 0;
}

TEST(LineStore, EightBoardsWithNoStoreNamedGoToTheDefaultStoreEachOnce) {
    ScratchDir scratch;
    std::string image = small_image(scratch, 21);
    plug(scratch.path("present"), "");
    const std::vector<std::string> env = {line_driver(scratch, 8, "zero"), state_env(scratch)};
    ProcessResult result;
    std::thread watch([&] {
        result = run_process({HEXFLASH_EXE, "watch", image, "--count", "8"}, env, "", 120);
    });
    for (int pair = 0; pair < 4; ++pair) {
        plug(scratch.path("present"),
             std::to_string(2 * pair) + " " + std::to_string(2 * pair + 1));
        // A board's record is committed before it shows as passed.
        std::string db = scratch.path("state/hexflash/line.db");
        bool stored = wait_for(
            [&] { return stored_now(db) >= static_cast<std::size_t>(2 * (pair + 1)); }, 60s);
        EXPECT_TRUE(stored) << "pair " << pair;
        plug(scratch.path("present"), "");
    }
    watch.join();
    EXPECT_EQ(result.exit_status, 0) << result.err;
    std::vector<StoreRecord> records = history({}, {state_env(scratch)});
    ASSERT_EQ(records.size(), 8u);
    std::set<std::string> ids, runs, locations;
    for (const StoreRecord& r : records) {
        EXPECT_EQ(r.result, "passed");
        EXPECT_EQ(r.image, image);
        ids.insert(r.unique_id.value_or("none"));
        runs.insert(r.run_id);
        locations.insert(std::to_string(r.location));
    }
    EXPECT_EQ(ids.size(), 8u);
    EXPECT_EQ(ids.count("none"), 0u);
    EXPECT_EQ(runs.size(), 8u);
    EXPECT_EQ(locations.size(), 8u);
    // The spool never held any.
    EXPECT_EQ(text_of(scratch.path("state/hexflash/spool.jsonl")), "");
    // One of them by its unique ID.
    std::vector<StoreRecord> one =
        history({"--unique-id", *records[3].unique_id}, {state_env(scratch)});
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].run_id, records[3].run_id);
}

// --- one-shot commands record only into a store that is named ---------------------------

struct CommandCase {
    std::string name;
    std::vector<std::string> args;  // IMAGE stands for the image
    bool by_environment;            // HEXFLASH_DB rather than --db
    std::string result;
    bool has_image;
};

class CommandRecords : public testing::TestWithParam<CommandCase> {};

TEST_P(CommandRecords, OneRecordInTheNamedStore) {
    const CommandCase& c = GetParam();
    ScratchDir scratch;
    std::string image = small_image(scratch, 3);
    const std::string db = "sqlite:" + scratch.path("jig.db");
    std::vector<std::string> env = {
        "HEXBURN_DRIVER=sim:timing=zero,chip=w25q16jv,flash=" + scratch.path("chip.bin"),
        state_env(scratch)};
    std::vector<std::string> argv = {HEXFLASH_EXE};
    for (const std::string& arg : c.args) {
        argv.push_back(arg == "IMAGE" ? image : arg);
    }
    if (c.by_environment) {
        env.push_back("HEXFLASH_DB=" + db);
    } else {
        argv.push_back("--db");
        argv.push_back(db);
    }
    ProcessResult run = run_process(argv, env);
    EXPECT_EQ(run.exit_status, c.result == "passed" ? 0 : 3) << run.err;
    std::vector<StoreRecord> records = history({"--db", db}, {state_env(scratch)});
    ASSERT_EQ(records.size(), 1u);
    const StoreRecord& r = records[0];
    EXPECT_EQ(r.result, c.result);
    EXPECT_EQ(r.image.has_value(), c.has_image);
    EXPECT_EQ(r.sha256.has_value(), c.has_image);
    EXPECT_EQ(r.jedec_id, "ef4015");
    EXPECT_TRUE(r.unique_id.has_value());
    EXPECT_EQ(r.run_id.size(), 36u);
    // Nothing went to the default store.
    EXPECT_FALSE(std::filesystem::exists(scratch.path("state/hexflash/line.db")));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandRecords,
    testing::Values(CommandCase{"Write", {"write", "IMAGE"}, false, "passed", true},
                    CommandCase{"WriteByEnvironment", {"write", "IMAGE"}, true, "passed", true},
                    CommandCase{"AllWrite", {"--all", "write", "IMAGE"}, false, "passed", true},
                    CommandCase{"Erase", {"erase"}, false, "passed", false},
                    CommandCase{"Protect", {"protect"}, false, "passed", false},
                    CommandCase{"Unprotect", {"unprotect"}, true, "passed", false}),
    case_name<CommandCase>);

TEST(LineStore, ACommandWithNoStoreNamedRecordsNothing) {
    ScratchDir scratch;
    std::string image = small_image(scratch, 4);
    ProcessResult run = run_process(
        {HEXFLASH_EXE, "write", image},
        {"HEXBURN_DRIVER=sim:timing=zero,flash=" + scratch.path("chip.bin"), state_env(scratch)});
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_FALSE(std::filesystem::exists(scratch.path("state/hexflash")));
}

// --- db init --------------------------------------------------------------------------------

std::string schema_of(const std::string& path) {
    std::string error;
    auto sql = sqlite_connect(path, true, error);
    EXPECT_NE(sql, nullptr) << error;
    std::vector<SqlRow> rows;
    EXPECT_TRUE(
        sql->exec("SELECT name || ': ' || COALESCE(sql, '') FROM sqlite_master "
                  "ORDER BY name",
                  {}, &rows));
    std::vector<SqlRow> version;
    EXPECT_TRUE(sql->exec("PRAGMA user_version", {}, &version));
    std::string out = "version " + version.at(0).at(0).value_or("") + "\n";
    for (const SqlRow& row : rows) {
        out += row.at(0).value_or("") + "\n";
    }
    return out;
}

TEST(LineStore, DbInitTwiceIsTheSameStore) {
    ScratchDir scratch;
    const std::string path = scratch.path("state/hexflash/line.db");
    const std::string want = "schema version " + std::to_string(store_schema_version());
    ProcessResult first = run_process({HEXFLASH_EXE, "db", "init"}, {state_env(scratch)});
    EXPECT_EQ(first.exit_status, 0) << first.err;
    EXPECT_EQ(first.out, "sqlite:" + path + ": " + want + "\n");
    const std::string schema = schema_of(path);
    ProcessResult again = run_process({HEXFLASH_EXE, "db", "init", "--db", "sqlite:" + path});
    EXPECT_EQ(again.exit_status, 0) << again.err;
    EXPECT_EQ(again.out, first.out);
    EXPECT_EQ(schema_of(path), schema);
    EXPECT_NE(schema.find("runs: CREATE TABLE runs"), std::string::npos) << schema;
    EXPECT_NE(schema.find("stations: CREATE TABLE stations"), std::string::npos) << schema;
}

// --- refused before any board is touched, the store left as it is ---------------------------

struct BadCase {
    std::string name;
    std::vector<std::string> args;  // IMAGE, DB (a store the test made), DIR (the scratch folder)
    std::vector<std::string> env;
    std::string prepare;  // SQL run on DB first
    std::string says;     // in the one line on standard error
};

class BadStore : public testing::TestWithParam<BadCase> {};

TEST_P(BadStore, ExitOneWithOneLineBoardAndStoreUntouched) {
    const BadCase& c = GetParam();
    ScratchDir scratch;
    std::string image = small_image(scratch, 5);
    const std::string db = scratch.path("line.db");
    std::string error;
    {
        auto store = RecordStore::open(StoreUrl{StoreUrl::Kind::kSqlite, db, "", true},
                                       RecordStore::Mode::kReadWrite, error);
        ASSERT_NE(store, nullptr) << error;
        if (!c.prepare.empty()) {
            ASSERT_TRUE(store->sql().exec(c.prepare)) << store->sql().error();
        }
    }
    const std::string before = text_of(db);
    plug(scratch.path("present"), "0");
    std::vector<std::string> argv = {HEXFLASH_EXE};
    for (const std::string& arg : c.args) {
        argv.push_back(arg == "IMAGE" ? image
                       : arg == "DB"  ? "sqlite:" + db
                       : arg == "DIR" ? scratch.path("")
                                      : arg);
    }
    std::vector<std::string> env = c.env;
    env.push_back(line_driver(scratch, 1, "zero"));
    env.push_back(state_env(scratch));
    ProcessResult run = run_process(argv, env, "", 30);
    EXPECT_EQ(run.exit_status, 1) << run.err;
    EXPECT_EQ(lines_in(run.err).size(), 1u) << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    EXPECT_FALSE(std::filesystem::exists(scratch.path("b0.bin"))) << "a board was touched";
    EXPECT_EQ(text_of(db), before);
    EXPECT_FALSE(std::filesystem::exists(scratch.path("state/hexflash/line.db")));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadStore,
    testing::Values(
        BadCase{"UnknownUrl",
                {"watch", "IMAGE", "--db", "foo:bar"},
                {},
                "",
                "unknown store URL foo:bar"},
        BadCase{"UnknownUrlByEnvironment",
                {"watch", "IMAGE"},
                {"HEXFLASH_DB=foo:bar"},
                "",
                "HEXFLASH_DB: unknown store URL foo:bar"},
        BadCase{"MissingFolder",
                {"watch", "IMAGE", "--db", "sqlite:/no/such/dir/x.db"},
                {},
                "",
                "no folder /no/such/dir"},
        BadCase{"NewerSchema",
                {"watch", "IMAGE", "--db", "DB"},
                {},
                "PRAGMA user_version = 99",
                "newer than this hexflash's"},
        BadCase{"NewerSchemaForWrite",
                {"write", "IMAGE", "--db", "DB"},
                {},
                "PRAGMA user_version = 99",
                "newer than this hexflash's"},
        BadCase{"UnknownUrlForErase", {"erase", "--db", "foo:bar"}, {}, "", "unknown store URL"},
        BadCase{"LibraryMissing",
                {"watch", "IMAGE", "--db", "DB"},
                {"HEXFLASH_SQLITE_LIBRARY=/nonexistent/libsqlite3.so.0"},
                "",
                "/nonexistent/libsqlite3.so.0"}),
    case_name<BadCase>);

TEST(LineStore, HistoryRefusesABadTimeOrResult) {
    ScratchDir scratch;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"history", "--since", "yesterday"},
          std::vector<std::string>{"history", "--result", "good"}}) {
        std::vector<std::string> argv = {HEXFLASH_EXE};
        argv.insert(argv.end(), args.begin(), args.end());
        ProcessResult run = run_process(argv, {state_env(scratch)});
        EXPECT_EQ(run.exit_status, 1) << run.err;
        EXPECT_NE(run.err.find(args[2]), std::string::npos) << run.err;
    }
}

// --- nothing lost ----------------------------------------------------------------------------

TEST(LineStore, KilledMidBurnNoPassForTheBoardInHandAndTheStoreStillReads) {
    ScratchDir scratch;
    std::string image = scratch.path("full.hex");
    srecord_image(scratch, image, pattern(kFlashSize, 7), 0, 32);
    plug(scratch.path("present"), "0");
    Watcher watch({image}, {line_driver(scratch, 2, "typ"), state_env(scratch)},
                  scratch.path("screen.txt"));
    ASSERT_GT(watch.pid, 0);
    bool first = wait_for([&] { return watch.shows("passed in"); }, 120s);
    plug(scratch.path("present"), "0 1");
    bool burning = first && wait_for([&] { return watch.shows("0x0022 B          burning"); }, 30s);
    kill(watch.pid, SIGKILL);
    watch.finish(30s);
    ASSERT_TRUE(first && burning) << text_of(watch.screen);
    std::vector<StoreRecord> records = history({}, {state_env(scratch)});
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].location, 18u);
    EXPECT_EQ(records[0].result, "passed");
    for (const StoreRecord& r : records) {
        EXPECT_FALSE(r.location == 34u && r.result == "passed");
    }
}

TEST(LineStore, AStoreThatDoesNotAnswerSpoolsAndEveryRecordLandsOnce) {
    ScratchDir scratch;
    std::string image = small_image(scratch, 8);
    const std::string db = scratch.path("line.db");
    plug(scratch.path("present"), "");
    Watcher watch({image, "--count", "2", "--db", "sqlite:" + db},
                  {line_driver(scratch, 2, "zero"), state_env(scratch)},
                  scratch.path("screen.txt"));
    ASSERT_GT(watch.pid, 0);
    ASSERT_TRUE(wait_for([&] { return watch.shows("watching for boards"); }, 30s));
    std::string error;
    {
        // Another writer holds the store for longer than a record waits.
        auto holder = sqlite_connect(db, false, error);
        ASSERT_NE(holder, nullptr) << error;
        ASSERT_TRUE(holder->exec("BEGIN EXCLUSIVE")) << holder->error();
        plug(scratch.path("present"), "0 1");
        EXPECT_TRUE(
            wait_for([&] { return watch.shows("store unreachable: 2 records waiting"); }, 30s))
            << text_of(watch.screen);
        EXPECT_TRUE(watch.shows("record spooled")) << text_of(watch.screen);
        holder->rollback();
    }
    EXPECT_EQ(watch.finish(60s), 0) << text_of(watch.screen);
    std::vector<StoreRecord> records = history({"--db", "sqlite:" + db}, {state_env(scratch)});
    ASSERT_EQ(records.size(), 2u);
    EXPECT_NE(records[0].run_id, records[1].run_id);
    std::size_t waiting = 99;
    Spool spool(scratch.path("state/hexflash/spool.jsonl"));
    ASSERT_TRUE(spool.waiting("sqlite:" + db, waiting, error)) << error;
    EXPECT_EQ(waiting, 0u);
}

TEST(LineStore, TheSpoolLeftByAnEarlierRunIsReplayedAtTheNextStart) {
    ScratchDir scratch;
    std::string image = small_image(scratch, 9);
    const std::string db = "sqlite:" + scratch.path("state/hexflash/line.db");
    Spool spool(scratch.path("state/hexflash/spool.jsonl"));
    std::string error;
    StoreRecord earlier;
    earlier.time = "2026-12-10T08:00:00Z";
    earlier.host = "jig-1";
    earlier.version = "1.0.0";
    earlier.serial = "B";
    earlier.result = "passed";
    earlier.retries = "{\"count\": 0, \"first\": []}";
    for (const char* id :
         {"11111111-1111-4111-8111-111111111111", "22222222-2222-4222-8222-222222222222"}) {
        earlier.run_id = id;
        ASSERT_TRUE(spool.append(db, earlier, error)) << error;
        ASSERT_TRUE(spool.append("sqlite:/elsewhere.db", earlier, error)) << error;
    }
    plug(scratch.path("present"), "0");
    ProcessResult run = run_process({HEXFLASH_EXE, "watch", image, "--count", "1"},
                                    {line_driver(scratch, 1, "zero"), state_env(scratch)});
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(history({}, {state_env(scratch)}).size(), 3u);
    std::size_t waiting = 0;
    ASSERT_TRUE(spool.waiting(db, waiting, error));
    EXPECT_EQ(waiting, 0u);
    ASSERT_TRUE(spool.waiting("sqlite:/elsewhere.db", waiting, error));
    EXPECT_EQ(waiting, 2u);
}

}  // namespace
