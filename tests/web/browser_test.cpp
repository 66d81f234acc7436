// The page and the report in a real browser: headless Chromium reads the DOM
// once the page's scripts ran, and keeps a tab open where time matters.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "browser.h"
#include "dom.h"
#include "line.h"
#include "process.h"
#include "scratch.h"
#include "served.h"
#include "store/store.h"
#include "web/report_file.h"

namespace {

using namespace std::chrono_literals;

bool eventually(const std::function<bool()>& done, std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(100ms);
    }
    return true;
}

// Whether the store at `db` holds `count` records within 60 s.
bool wait_for_records(const std::string& db, std::size_t count) {
    StoreUrl url;
    std::string error;
    store_url(db, url, error);
    return eventually(
        [&] {
            auto store = RecordStore::open(url, RecordStore::Mode::kReadOnly, error);
            std::vector<StoreRecord> records;
            return store != nullptr && store->history({}, records, error) &&
                   records.size() >= count;
        },
        60s);
}

StoreRecord known_record(int n, const std::string& serial, const std::string& result) {
    StoreRecord r;
    r.run_id = "run-" + std::to_string(n);
    r.time = "2026-12-11T08:0" + std::to_string(n) + ":00Z";
    r.host = "jig-1";
    r.version = "1.0.0";
    r.location = 18;
    r.serial = serial;
    r.chip = "W25Q16JV";
    r.unique_id = "d0000000000000" + std::to_string(10 + n);
    r.image = "fw.hex";
    r.result = result;
    r.exit_status = result == "passed" ? 0 : 3;
    if (result != "passed") {
        r.phase = "program";
        r.message = "the board was pulled out";
    }
    return r;
}

TEST(ReportInBrowser, FindsABoardOfflineAndShowsMarkupAsText) {
    ASSERT_NE(chromium_program(), "") << "Chromium is not installed (scripts/setup.sh)";
    StoreScratch scratch;
    StoreUrl url;
    std::string error;
    ASSERT_TRUE(store_url("sqlite:" + scratch.path("line.db"), url, error));
    {
        auto store = RecordStore::open(url, RecordStore::Mode::kReadWrite, error);
        ASSERT_NE(store, nullptr) << error;
        ASSERT_TRUE(store->put(known_record(1, "B", "passed"), error));
        ASSERT_TRUE(store->put(known_record(2, "<img src=x>B", "failed"), error));
    }
    ReportRequest request{"2000-01-01", std::nullopt, scratch.path("report.html")};
    ASSERT_EQ(web_report(url, request, "1.0.0"), 0);

    DevTools browser;
    ASSERT_TRUE(browser.start(scratch.path("profile"), error)) << error;
    ASSERT_TRUE(browser.open("file://" + request.out, error)) << error;
    std::optional<std::string> rows;
    for (int i = 0; i < 50 && rows != "2"; ++i) {
        std::this_thread::sleep_for(100ms);
        rows = browser.evaluate("document.querySelectorAll('#records tbody tr').length");
    }
    ASSERT_EQ(rows, "2");
    ASSERT_TRUE(
        browser.evaluate("document.getElementById('search-text').value = '<img src=x>B';"
                         "document.querySelector('#search button').click(); true"));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(browser.evaluate("document.querySelectorAll('#found tbody tr').length"), "1");
    EXPECT_EQ(
        browser.evaluate("document.querySelector('#found tbody td:nth-child(4)').textContent"),
        "\"<img src=x>B\"");
    EXPECT_EQ(browser.evaluate("document.querySelectorAll('img').length"), "0");
}

// The store as a test reads it, read-only as the page does.
struct Reader {
    std::unique_ptr<RecordStore> store;
    explicit Reader(const std::string& db) {
        StoreUrl url;
        std::string error;
        EXPECT_TRUE(store_url(db, url, error)) << error;
        store = RecordStore::open(url, RecordStore::Mode::kReadOnly, error);
        EXPECT_NE(store, nullptr) << error;
    }
    std::vector<StoreRecord> records(const std::optional<std::string>& result = std::nullopt) {
        std::vector<StoreRecord> out;
        HistoryQuery query;
        query.result = result;
        std::string error;
        EXPECT_TRUE(store->history(query, out, error)) << error;
        return out;
    }
    std::size_t stations() {
        std::vector<StoreStation> out;
        std::string error;
        EXPECT_TRUE(store->stations(out, error)) << error;
        return out.size();
    }
};

// What the page and the report show of the line fill_line recorded.
void expect_the_shift(const std::string& dom, const std::string& what) {
    EXPECT_EQ(element_text(dom, "tally-passed"), "9") << what;
    EXPECT_EQ(element_text(dom, "tally-failed"), "1") << what;
    EXPECT_EQ(body_rows(dom, "records"), 10u) << what;
    EXPECT_GT(most_bars(dom), 0) << what;
    // The serial with markup is text, and made no element.
    EXPECT_EQ(dom.find("<img"), std::string::npos) << what;
    EXPECT_NE(element_text(dom, "records").find("&lt;img src=x&gt;B"), std::string::npos) << what;
}

TEST(PageInBrowser, ShowsTheShiftAWatchRunRecorded) {
    ASSERT_NE(chromium_program(), "") << "Chromium is not installed (scripts/setup.sh)";
    ScratchDir scratch;
    const std::string db = "sqlite:" + scratch.path("line.db");
    fill_line(scratch, db);
    Reader reader(db);
    const std::vector<StoreRecord> failed = reader.records("failed");
    ASSERT_EQ(failed.size(), 1u);
    ASSERT_TRUE(failed[0].phase && failed[0].message);

    Served served({HEXFLASH_EXE, "serve", "--db", db, "--listen", "127.0.0.1:0"},
                  scratch.path("serve.txt"));
    ASSERT_GT(served.port(), 0) << served.screen();
    const std::string url = "http://127.0.0.1:" + std::to_string(served.port()) + "/";
    std::string error;
    const std::string dom = chromium_dom({url, scratch.path("profile"), false, 5000, ""}, error);
    ASSERT_NE(dom, "") << error;
    expect_the_shift(dom, "the page");
    EXPECT_EQ(body_rows(dom, "stations"), reader.stations());
    EXPECT_GT(reader.stations(), 0u);
    const std::string records = element_html(dom, "records");
    EXPECT_NE(records.find(*failed[0].phase), std::string::npos) << records;
    EXPECT_NE(records.find(*failed[0].message), std::string::npos) << records;

    const std::string picture = std::string(HEXBURN_BUILD_DIR) + "/page.png";
    std::remove(picture.c_str());
    chromium_dom({url, scratch.path("profile-2"), false, 5000, picture}, error);
    EXPECT_GT(read_bytes(picture).size(), 10000u) << error;
    EXPECT_EQ(served.stop(), 0) << served.screen();
}

TEST(ReportInBrowser, OpensOfflineWithTheSameTally) {
    ASSERT_NE(chromium_program(), "") << "Chromium is not installed (scripts/setup.sh)";
    ScratchDir scratch;
    const std::string db = "sqlite:" + scratch.path("line.db");
    fill_line(scratch, db);
    const std::string out = scratch.path("shift.html");
    ProcessResult made = run_process(
        {HEXFLASH_EXE, "report", "--db", db, "--since", "2000-01-01", "--html", out}, {}, "", 60);
    ASSERT_EQ(made.exit_status, 0) << made.err;
    const std::string file = file_text(out);
    EXPECT_EQ(file.find("http://"), std::string::npos);
    EXPECT_EQ(file.find("https://"), std::string::npos);
    std::string error;
    const std::string dom = chromium_dom(
        {"file://" + out, scratch.path("profile"), can_unshare_network(), 5000, ""}, error);
    ASSERT_NE(dom, "") << error;
    expect_the_shift(dom, "the report");
}

// The page polls every 1.5 s: a board burned while it is open shows within
// 3 s of its record's commit. A tab stays open in real time, asked over the
// DevTools pipe how many records it shows, while the test watches the store.
TEST(PageInBrowser, ABoardThatFinishesShowsWithinThreeSeconds) {
    ASSERT_NE(chromium_program(), "") << "Chromium is not installed (scripts/setup.sh)";
    ScratchDir scratch;
    const std::string db = "sqlite:" + scratch.path("line.db");
    const std::string present = scratch.path("present");
    plug(present, "0");
    LineWatch watch({line_image(scratch), "--db", db},
                    line_env(scratch, "sim:boards=2,timing=zero,chip=w25q16jv,flash=" +
                                          scratch.path("b%d.bin") + ",present=" + present),
                    scratch.path("watch.txt"));
    ASSERT_TRUE(wait_for_records(db, 1)) << watch.screen();
    Served served({HEXFLASH_EXE, "serve", "--db", db, "--listen", "127.0.0.1:0"},
                  scratch.path("serve.txt"));
    ASSERT_GT(served.port(), 0) << served.screen();
    DevTools browser;
    std::string error;
    ASSERT_TRUE(browser.start(scratch.path("profile"), error)) << error;
    ASSERT_TRUE(browser.open("http://127.0.0.1:" + std::to_string(served.port()) + "/", error))
        << error;
    const std::string rows = "document.querySelectorAll('#records tbody tr').length";
    ASSERT_TRUE(eventually([&] { return browser.evaluate(rows) == "1"; }, 10s));

    plug(present, "0 1");
    Reader reader(db);
    using Clock = std::chrono::steady_clock;
    std::optional<Clock::time_point> committed, shown;
    const auto end = Clock::now() + 60s;
    while (!shown && Clock::now() < end) {
        if (!committed && reader.records().size() == 2) {
            committed = Clock::now();
        }
        if (browser.evaluate(rows) == "2") {
            shown = Clock::now();
        }
        std::this_thread::sleep_for(50ms);
    }
    ASSERT_TRUE(committed.has_value()) << watch.screen();
    ASSERT_TRUE(shown.has_value());
    EXPECT_LE(*shown - *committed, 3s);
    // Ctrl-C while no board burns: every board passed, status 0.
    EXPECT_EQ(watch.stop(30), 0) << watch.screen();
}

}  // namespace
