// A line of several PCs recording into one PostgreSQL store: the built
// hexflash against simulated boards and the throw-away server of
// pg_server.h; skipped when there is none.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "burn.h"
#include "pg_server.h"
#include "process.h"

namespace {

using namespace std::chrono_literals;

std::string text_of(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::size_t line_count(const std::string& text) {
    std::size_t lines = 0;
    for (char c : text) {
        lines += c == '\n' ? 1 : 0;
    }
    return lines;
}

bool wait_for(const std::function<bool()>& done, std::chrono::seconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

// Plugs in exactly `boards` by replacing the present= file in one rename.
void plug(const std::string& present, const std::string& boards) {
    write_file(present + ".new", boards);
    ASSERT_EQ(std::rename((present + ".new").c_str(), present.c_str()), 0);
}

std::string small_image(const ScratchDir& scratch) {
    std::string path = scratch.path("image.hex");
    srecord_image(scratch, path, pattern(3000, 27), 0x10000, 32);
    return path;
}

// Eight simulated W25Q16JVs (each its own unique ID) in files of `scratch`.
std::string line_driver(const ScratchDir& scratch, const std::string& tag,
                        const std::string& more = "") {
    return "HEXBURN_DRIVER=sim:boards=8,timing=zero,chip=w25q16jv,flash=" +
           scratch.path(tag + "-b%d.bin") + more;
}

std::vector<SqlRow> rows_of(const std::string& url, const std::string& query) {
    std::vector<SqlRow> rows;
    auto sql = connect(url);
    if (sql) {
        EXPECT_TRUE(sql->exec(query, {}, &rows)) << sql->error();
    }
    return rows;
}

bool can_unshare() {
    return geteuid() == 0 && std::system("unshare --uts true 2>/dev/null") == 0;
}

TEST(PostgresLine, FourJigsEachInItsOwnNameRecordIntoOneStore) {
    REQUIRE_SERVER();
    if (!can_unshare()) {
        GTEST_SKIP() << "a host name of its own per watch needs root (unshare --uts)";
    }
    ScratchDir scratch;
    std::string image = small_image(scratch);
    // No `db init` first: four watches meet an empty database at once.
    std::string url = fresh_database("line_four");
    constexpr int kJigs = 4;
    std::vector<ProcessResult> results(kJigs);
    std::vector<std::thread> jigs;
    for (int jig = 0; jig < kJigs; ++jig) {
        jigs.emplace_back([&, jig] {
            std::string name = "jig-" + std::to_string(jig + 1);
            results[static_cast<std::size_t>(jig)] = run_process(
                {"/usr/bin/unshare", "--uts", "sh", "-c", "hostname \"$0\" && exec \"$@\"", name,
                 HEXFLASH_EXE, "watch", image, "--count", "8", "--db", url},
                {line_driver(scratch, name), "XDG_STATE_HOME=" + scratch.path(name)}, "", 120);
        });
    }
    for (std::thread& jig : jigs) {
        jig.join();
    }
    for (const ProcessResult& result : results) {
        EXPECT_EQ(result.exit_status, 0) << result.err;
    }
    std::vector<SqlRow> rows = rows_of(url, "SELECT host, location, unique_id, result FROM runs");
    EXPECT_EQ(rows.size(), 32u);
    std::set<std::tuple<SqlCell, SqlCell, SqlCell>> boards;
    std::map<std::string, int> per_host;
    for (const SqlRow& row : rows) {
        ASSERT_EQ(row.size(), 4u);
        boards.insert({row[0], row[1], row[2]});
        per_host[row[0].value_or("null")] += 1;
        EXPECT_EQ(row[3], SqlCell("passed"));
        EXPECT_TRUE(row[2].has_value());
    }
    EXPECT_EQ(boards.size(), 32u);
    for (int jig = 1; jig <= kJigs; ++jig) {
        std::string name = "jig-" + std::to_string(jig);
        EXPECT_EQ(per_host[name], 8) << name;
        ProcessResult history =
            run_process({HEXFLASH_EXE, "history", "--db", url, "--host", name, "--json"});
        EXPECT_EQ(history.exit_status, 0) << history.err;
        EXPECT_EQ(line_count(history.out), 8u) << history.out;
        std::size_t named = 0;
        for (std::size_t at = history.out.find("\"host\": \"" + name + "\"");
             at != std::string::npos; at = history.out.find("\"host\": \"" + name + "\"", at + 1)) {
            ++named;
        }
        EXPECT_EQ(named, 8u) << history.out;
        EXPECT_EQ(text_of(scratch.path(name + "/hexflash/spool.jsonl")), "") << name;
    }
}

// Boards keep arriving two at a time; the server stops after the first pair
// and starts again two pairs later.
TEST(PostgresLine, TheServerStoppedMidShiftLosesNoRecord) {
    REQUIRE_SERVER();
    ScratchDir scratch;
    std::string image = small_image(scratch);
    std::string url = fresh_database("line_stop");
    std::string present = scratch.path("present");
    std::string log = scratch.path("line.jsonl");
    std::string spool = scratch.path("state/hexflash/spool.jsonl");
    plug(present, "");
    ProcessResult result;
    std::thread watch([&] {
        result =
            run_process({HEXFLASH_EXE, "watch", image, "--count", "8", "--db", url, "--log", log},
                        {line_driver(scratch, "stop", ",present=" + present),
                         "XDG_STATE_HOME=" + scratch.path("state")},
                        "", 120);
    });
    for (std::size_t pair = 0; pair < 4; ++pair) {
        if (pair == 1) {
            cluster("stop -m fast");
        }
        if (pair == 3) {
            cluster("start");
        }
        plug(present, std::to_string(2 * pair) + " " + std::to_string(2 * pair + 1));
        bool burned = wait_for([&] { return line_count(text_of(log)) >= 2 * (pair + 1); }, 60s);
        EXPECT_TRUE(burned) << "pair " << pair;
        if (pair == 2) {
            // The log's line is written first, the spool's a moment after.
            EXPECT_TRUE(wait_for([&] { return line_count(text_of(spool)) == 4; }, 20s))
                << "two pairs burned while it was down: " << text_of(spool);
        }
        plug(present, "");
        if (!burned) {
            break;
        }
    }
    watch.join();
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_NE(result.err.find("store unreachable"), std::string::npos) << result.err;
    EXPECT_EQ(line_count(text_of(log)), 8u);
    std::vector<SqlRow> rows =
        rows_of(url,
                "SELECT count(*), count(DISTINCT run_id), count(DISTINCT location), "
                "count(DISTINCT unique_id) FROM runs WHERE result = 'passed'");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0], (SqlRow{SqlCell("8"), SqlCell("8"), SqlCell("8"), SqlCell("8")}));
    EXPECT_EQ(text_of(spool), "");
}

// A refused login stops the command before any board is touched, in one line
// that does not show the password.
TEST(PostgresLine, ARefusedPasswordEndsTheCommandBeforeAnyBoard) {
    REQUIRE_SERVER();
    ScratchDir scratch;
    std::string image = small_image(scratch);
    std::string url = "postgresql://" + env("PGUSER") +
                      ":Not-The-Pa55word@localhost:" + env("PGPORT") + "/postgres";
    const std::vector<std::vector<std::string>> commands = {
        {"watch", image, "--count", "1", "--db", url},
        {"write", image, "--db", url},
        {"history", "--db", url},
        {"db", "init", "--db", url},
    };
    for (const std::vector<std::string>& command : commands) {
        std::vector<std::string> argv = {HEXFLASH_EXE};
        argv.insert(argv.end(), command.begin(), command.end());
        std::string trace = scratch.path("trace-" + command[0] + ".txt");
        ProcessResult result =
            run_process(argv,
                        {line_driver(scratch, "refused", ",trace=" + trace),
                         "XDG_STATE_HOME=" + scratch.path("state"), "HEXFLASH_DB="},
                        "", 30);
        EXPECT_EQ(result.exit_status, 1) << command[0] << ": " << result.err;
        EXPECT_EQ(line_count(result.err), 1u) << command[0] << ": " << result.err;
        EXPECT_NE(result.err.find("password authentication failed"), std::string::npos)
            << command[0] << ": " << result.err;
        EXPECT_EQ(result.err.find("Not-The-Pa55word"), std::string::npos) << result.err;
        EXPECT_EQ(text_of(trace).find("FT_Open"), std::string::npos) << text_of(trace);
    }
}

}  // namespace
