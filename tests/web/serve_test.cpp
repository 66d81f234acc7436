// hexflash serve over HTTP: read-only, its own paths only, loopback unless
// told otherwise, and refusals before it listens.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "browser.h"
#include "case_name.h"
#include "process.h"
#include "scratch.h"
#include "served.h"
#include "store/store.h"

namespace {

// A store with its schema and no record yet.
std::string empty_store(const StoreScratch& scratch) {
    const std::string db = "sqlite:" + scratch.path("line.db");
    StoreUrl url;
    std::string error;
    int version = 0;
    EXPECT_TRUE(store_url(db, url, error) && RecordStore::init(url, version, error)) << error;
    return db;
}

struct Exchange {
    std::string name;
    std::string method, path;
    int status;
    std::string says;  // in the head or the body
};

class Requests : public testing::TestWithParam<Exchange> {};

TEST_P(Requests, OnlyGetAndHeadOfThePagesOwnPaths) {
    const Exchange& c = GetParam();
    StoreScratch scratch;
    Served served({HEXFLASH_EXE, "serve", "--db", empty_store(scratch), "--listen", "127.0.0.1:0"},
                  scratch.path("screen.txt"));
    ASSERT_GT(served.port(), 0) << served.screen();
    HttpAnswer answer = http(served.port(), c.method, c.path);
    EXPECT_EQ(answer.status, c.status) << answer.head;
    EXPECT_NE((answer.head + answer.body).find(c.says), std::string::npos)
        << answer.head << "\n\n"
        << answer.body.substr(0, 400);
    if (c.method == "HEAD") {
        EXPECT_EQ(answer.body, "");
    }
    EXPECT_EQ(served.stop(), 0) << served.screen();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Requests,
    testing::Values(
        Exchange{"Page", "GET", "/", 200, "id=\"tally-passed\""},
        Exchange{"PagePolicy", "GET", "/", 200, "Content-Security-Policy: default-src 'none'"},
        Exchange{"HeadOfPage", "HEAD", "/", 200, "Content-Type: text/html"},
        Exchange{"Script", "GET", "/page.js", 200, "Content-Type: text/javascript"},
        Exchange{"Style", "GET", "/page.css", 200, "Content-Type: text/css"},
        Exchange{"Figures", "GET", "/figures.json", 200, "\"tally\": {\"passed\": 0"},
        Exchange{"Search", "GET", "/search.json?q=%3Cimg%3E", 200, "\"query\": \"<img>\""},
        Exchange{"Post", "POST", "/", 405, "Allow: GET, HEAD"},
        Exchange{"Put", "PUT", "/", 405, "Allow: GET, HEAD"},
        Exchange{"Delete", "DELETE", "/figures.json", 405, "method not allowed"},
        Exchange{"Patch", "PATCH", "/page.js", 405, "method not allowed"},
        Exchange{"Options", "OPTIONS", "/", 405, "method not allowed"},
        Exchange{"PostElsewhere", "POST", "/no/such", 405, "method not allowed"},
        Exchange{"Traversal", "GET", "/../../etc/passwd", 404, "not found"},
        Exchange{"EncodedTraversal", "GET", "/%2e%2e/%2e%2e/etc/passwd", 404, "not found"},
        Exchange{"TraversalBehindAsset", "GET", "/page.js/../../../etc/passwd", 404, "not found"},
        Exchange{"NoIndexFile", "GET", "/index.html", 404, "not found"},
        Exchange{"NoOtherAsset", "GET", "/page.html", 404, "not found"},
        Exchange{"NoLongerName", "GET", "/figures.jsonx", 404, "not found"},
        Exchange{"NoStoreFile", "GET", "/line.db", 404, "not found"}),
    case_name<Exchange>);

struct Refusal {
    std::string name;
    std::vector<std::string> args;  // after hexflash; DB stands for the store
    std::string says;
};

class Refusals : public testing::TestWithParam<Refusal> {};

TEST_P(Refusals, ExitOneWithOneLineBeforeListening) {
    const Refusal& c = GetParam();
    StoreScratch scratch;
    std::vector<std::string> argv = {HEXFLASH_EXE};
    for (const std::string& arg : c.args) {
        argv.push_back(arg == "DB" ? empty_store(scratch) : arg);
    }
    ProcessResult result = run_process(argv, {}, "", 20);
    EXPECT_EQ(result.exit_status, 1) << result.err;
    EXPECT_NE(result.err.find(c.says), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("serving"), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Refusals,
    testing::Values(
        Refusal{"ListenWithoutPort",
                {"serve", "--db", "DB", "--listen", "127.0.0.1"},
                "--listen 127.0.0.1: ADDR:PORT expected"},
        Refusal{
            "PortTooHigh", {"serve", "--db", "DB", "--listen", "127.0.0.1:70000"}, "no port 70000"},
        Refusal{"NoStoreThere",
                {"serve", "--db", "sqlite:/no/such/dir/line.db", "--listen", "127.0.0.1:0"},
                "no store at /no/such/dir/line.db"},
        Refusal{"UnknownStore", {"serve", "--db", "foo:bar"}, "unknown store URL foo:bar"},
        Refusal{"NoStoreAtAll", {"serve", "--db", "none"}, "serve needs a store, not none"},
        Refusal{"ReportWithoutFile", {"report", "--db", "DB"}, "report needs --html OUT"},
        Refusal{"ReportOfNoTime",
                {"report", "--db", "DB", "--since", "noon", "--html", "/tmp/x.html"},
                "--since noon: a time as 2026-12-11"},
        Refusal{"HtmlIsTheReports",
                {"serve", "--db", "DB", "--html", "x.html"},
                "--html does not go with serve"},
        Refusal{"ListenIsServes",
                {"list", "--listen", "127.0.0.1:0"},
                "--listen does not go with list"},
        Refusal{"ServeTakesNoFile", {"serve", "x.html"}, "unexpected argument x.html"}),
    case_name<Refusal>);

// The sockets listening in the network namespace of `pid`: "ADDRESS:PORT" in
// /proc's hexadecimal, IPv6 ones marked "6:".
std::vector<std::string> listening(pid_t pid) {
    std::vector<std::string> out;
    for (const char* table : {"tcp", "tcp6"}) {
        std::ifstream file("/proc/" + std::to_string(pid) + "/net/" + table);
        std::string line;
        std::getline(file, line);  // the heading
        while (std::getline(file, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state;
            fields >> slot >> local >> remote >> state;
            if (state == "0A") {  // TCP_LISTEN
                out.push_back((table[3] == '6' ? "6:" : "") + local);
            }
        }
    }
    return out;
}

TEST(Serve, ByDefaultOnlyLoopbackListensOnPort8080) {
    if (!can_unshare_network()) {
        GTEST_SKIP() << "unshare -n is not allowed here: port 8080 is not ours to test on";
    }
    // A network of its own, where 8080 is free whatever else runs on this machine.
    StoreScratch scratch;
    const std::string db = empty_store(scratch);
    Served served({"/usr/bin/unshare", "-n", "/bin/sh", "-c",
                   "ip link set lo up && exec \"$0\" serve --db \"$1\"", HEXFLASH_EXE, db},
                  scratch.path("screen.txt"));
    ASSERT_EQ(served.port(), 8080) << served.screen();
    EXPECT_EQ(listening(served.pid()), std::vector<std::string>{"0100007F:1F90"});
    EXPECT_EQ(served.screen().find("warning"), std::string::npos) << served.screen();
    EXPECT_EQ(served.stop(), 0) << served.screen();
}

TEST(Serve, AnyOtherAddressIsServedWithAWarningThatThereIsNoLogin) {
    StoreScratch scratch;
    const std::string db = empty_store(scratch);
    std::vector<std::string> argv = {HEXFLASH_EXE, "serve", "--db", db, "--listen", "0.0.0.0:0"};
    if (can_unshare_network()) {
        argv.insert(argv.begin(), {"/usr/bin/unshare", "-n"});
    }
    Served served(argv, scratch.path("screen.txt"));
    ASSERT_GT(served.port(), 0) << served.screen();
    EXPECT_NE(served.screen().find("warning: the page has no login"), std::string::npos)
        << served.screen();
    EXPECT_EQ(served.stop(), 0);
}

}  // namespace
