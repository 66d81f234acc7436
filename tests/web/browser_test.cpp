// The page and the report in a real browser: headless Chromium reads the DOM
// once the page's scripts ran, and keeps a tab open where time matters.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "browser.h"
#include "dom.h"
#include "scratch.h"
#include "store/store.h"
#include "web/report_file.h"

namespace {

using namespace std::chrono_literals;

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

}  // namespace
