// The page's HTML and data as the program writes them: escaping, what the
// report holds inline, and the listen address.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>

#include "case_name.h"
#include "scratch.h"
#include "store/store.h"
#include "web/figures_json.h"
#include "web/page.h"
#include "web/report_file.h"
#include "web/serve.h"

namespace {

std::size_t count_of(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos;
         at = text.find(what, at + what.size())) {
        ++count;
    }
    return count;
}

TEST(HtmlEscape, EveryMarkupCharacter) {
    EXPECT_EQ(html_escape("<img src=x>B"), "&lt;img src=x&gt;B");
    EXPECT_EQ(html_escape("a&b \"c\" 'd'"), "a&amp;b &quot;c&quot; &#39;d&#39;");
    EXPECT_EQ(html_escape("OXA2-000001 ünïcode"), "OXA2-000001 ünïcode");
}

TEST(ScriptSafe, NothingCanCloseTheScriptElement) {
    const std::string json = R"({"serial": "</script><!--<script>"})";
    const std::string safe = script_safe(json);
    EXPECT_EQ(safe.find('<'), std::string::npos);
    EXPECT_EQ(safe, R"({"serial": "\u003c/script>\u003c!--\u003cscript>"})");
}

// A report whose records carry markup in every value a board or an operator gives.
Figures hostile_figures() {
    Figures f;
    f.since = "2026-12-11T00:00:00Z";
    f.tally.passed = 9;
    f.tally.failed = 1;
    StoreRecord r;
    r.run_id = "1";
    r.time = "2026-12-11T08:00:00Z";
    r.host = "<b>jig</b>";
    r.serial = "<img src=x>B";
    r.image = "</script><script>alert(1)</script>.hex";
    r.result = "failed";
    r.message = "</style>";
    r.fields = R"({"serial": "<i>x</i>"})";
    f.records.push_back(r);
    f.per_image.push_back({*r.image, 0, f.tally});
    StationView station{{"<b>jig</b>", 18, "burning", "program", 40, "2026-12-11T07:59:50Z"}, r};
    f.stations.push_back(station);
    return f;
}

TEST(Report, HoldsItsFiguresInlineAndEscaped) {
    const Figures f = hostile_figures();
    const std::string json = figures_json(f, false, "2026-12-11T08:00:00Z");
    const std::string html = page_report(f, json, "1.0.0");
    // The tally is in the HTML itself, under the ids a reader looks for.
    EXPECT_NE(html.find("id=\"tally-passed\">9<"), std::string::npos);
    EXPECT_NE(html.find("id=\"tally-failed\">1<"), std::string::npos);
    EXPECT_NE(html.find("id=\"tally-yield\">90.0%<"), std::string::npos);
    // Two script elements (the data, the code) and one style: no value opened another.
    EXPECT_EQ(count_of(html, "<script"), 2u);
    EXPECT_EQ(count_of(html, "</script>"), 2u);
    EXPECT_EQ(count_of(html, "<style"), 1u);
    EXPECT_EQ(count_of(html, "</style>"), 1u);
    EXPECT_EQ(html.find("<img"), std::string::npos);
    EXPECT_EQ(html.find("<b>"), std::string::npos);
    // Nothing to fetch, and a policy that would refuse it anyway.
    EXPECT_EQ(html.find("http://"), std::string::npos);
    EXPECT_EQ(html.find("https://"), std::string::npos);
    EXPECT_NE(html.find("Content-Security-Policy\" content=\"default-src 'none'"),
              std::string::npos);
    EXPECT_EQ(html.find("src=\""), std::string::npos);
    EXPECT_EQ(html.find("<link rel=\"stylesheet\""), std::string::npos);
}

TEST(Report, StationAgeIsCountedFromWhenTheFiguresWereRead) {
    const Figures f = hostile_figures();
    const std::string json = figures_json(f, false, "2026-12-11T08:00:00Z");
    EXPECT_NE(json.find("\"age\": 10"), std::string::npos) << json;
    EXPECT_NE(json.find("\"until\": null"), std::string::npos);
    EXPECT_NE(json.find("\"live\": false"), std::string::npos);
    EXPECT_NE(json.find(R"("fields": "{\"serial\": \"<i>x</i>\"}")"), std::string::npos) << json;
}

TEST(LivePage, FetchesItsOwnStyleScriptAndFigures) {
    const std::string html = page_live("1.0.0");
    EXPECT_NE(html.find("<link rel=\"stylesheet\" href=\"page.css\">"), std::string::npos);
    EXPECT_NE(html.find("<script src=\"page.js\"></script>"), std::string::npos);
    EXPECT_EQ(html.find("id=\"figures\""), std::string::npos);  // no inline data
    EXPECT_EQ(html.find("{{"), std::string::npos);              // every placeholder filled
    EXPECT_EQ(html.find("<!--@"), std::string::npos);
    std::string_view body;
    const char* type = nullptr;
    ASSERT_TRUE(page_asset("/page.js", body, type));
    EXPECT_STREQ(type, "text/javascript; charset=utf-8");
    // The script goes inline into the report: nothing in it may end the element.
    EXPECT_EQ(body.find("</script"), std::string_view::npos);
    EXPECT_EQ(body.find("<!--"), std::string_view::npos);
    // Markup is built with textContent and attributes only.
    EXPECT_EQ(body.find("innerHTML"), std::string_view::npos);
    EXPECT_EQ(body.find("outerHTML"), std::string_view::npos);
    EXPECT_EQ(body.find("insertAdjacentHTML"), std::string_view::npos);
    ASSERT_TRUE(page_asset("/page.css", body, type));
    EXPECT_EQ(body.find("</style"), std::string_view::npos);
    EXPECT_FALSE(page_asset("/page.html", body, type));
    EXPECT_FALSE(page_asset("/../page.js", body, type));
}

// --- where the server listens ----------------------------------------------------

struct ListenCase {
    std::string name;
    std::string text;
    bool ok;
    std::string host;
    int port;
    bool loopback;
};

class Listen : public testing::TestWithParam<ListenCase> {};

TEST_P(Listen, AddressPortAndWhetherOnlyThisComputerReachesIt) {
    const ListenCase& c = GetParam();
    ListenAddress address;
    std::string error;
    ASSERT_EQ(parse_listen(c.text, address, error), c.ok) << error;
    if (!c.ok) {
        EXPECT_EQ(error.rfind("--listen " + c.text + ": ", 0), 0u) << error;
        return;
    }
    EXPECT_EQ(address.host, c.host);
    EXPECT_EQ(address.port, c.port);
    EXPECT_EQ(listen_is_loopback(address.host), c.loopback);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Listen,
    testing::Values(
        ListenCase{"Default", kDefaultListen, true, "127.0.0.1", 8080, true},
        ListenCase{"AnyPort", "127.0.0.1:0", true, "127.0.0.1", 0, true},
        ListenCase{"OtherLoopback", "127.1.2.3:80", true, "127.1.2.3", 80, true},
        ListenCase{"Localhost", "localhost:9000", true, "localhost", 9000, true},
        ListenCase{"V6Loopback", "[::1]:8080", true, "::1", 8080, true},
        ListenCase{"Everywhere", "0.0.0.0:8080", true, "0.0.0.0", 8080, false},
        ListenCase{"V6Everywhere", "[::]:8080", true, "::", 8080, false},
        ListenCase{"LanAddress", "192.168.1.10:8080", true, "192.168.1.10", 8080, false},
        ListenCase{"LooksLikeLoopback", "127.example.com:80", true, "127.example.com", 80, false},
        ListenCase{"HostName", "jig-3:8080", true, "jig-3", 8080, false},
        ListenCase{"HighestPort", "127.0.0.1:65535", true, "127.0.0.1", 65535, true},
        ListenCase{"PortTooHigh", "127.0.0.1:65536", false, "", 0, false},
        ListenCase{"NoPort", "127.0.0.1", false, "", 0, false},
        ListenCase{"EmptyPort", "127.0.0.1:", false, "", 0, false},
        ListenCase{"NoHost", ":8080", false, "", 0, false},
        ListenCase{"SignedPort", "127.0.0.1:-1", false, "", 0, false},
        ListenCase{"V6WithoutBrackets", "::1:8080", false, "", 0, false},
        ListenCase{"EmptyBrackets", "[]:8080", false, "", 0, false}),
    case_name<ListenCase>);

}  // namespace

// --- the report file --------------------------------------------------------------

struct ReportCase {
    std::string name;
    std::optional<std::string> since, until;
    std::string out;  // in the scratch folder; "/" starts a path of its own
    int status;
    std::string says;  // in the file, or for a refusal nothing is written
};

class ReportFile : public testing::TestWithParam<ReportCase> {};

TEST_P(ReportFile, WrittenWholeOrNotAtAll) {
    const ReportCase& c = GetParam();
    StoreScratch scratch;
    StoreUrl url;
    std::string error;
    int version = 0;
    ASSERT_TRUE(store_url("sqlite:" + scratch.path("line.db"), url, error));
    ASSERT_TRUE(RecordStore::init(url, version, error)) << error;
    const std::string out = c.out[0] == '/' ? c.out : scratch.path(c.out);
    testing::internal::CaptureStderr();
    const int status = web_report(url, {c.since, c.until, out}, "1.0.0");
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, c.status) << said;
    const std::string file = file_text(out);
    if (c.status == 0) {
        EXPECT_NE(file.find(c.says), std::string::npos);
    } else {
        EXPECT_NE(said.find(c.says), std::string::npos) << said;
        EXPECT_EQ(file, "");
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    }
    EXPECT_EQ(file_text(out + ".part"), "");  // nothing left beside it
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReportFile,
    testing::Values(ReportCase{"Period", "2026-12-11", "2026-12-12", "r.html", 0,
                               "from 2026-12-11 00:00 UTC to 2026-12-12 00:00 UTC"},
                    ReportCase{"OffsetTurnedToUtc", "2026-12-11T08:00:00+02:00", std::nullopt,
                               "r.html", 0, "from 2026-12-11 06:00 UTC to now"},
                    ReportCase{"DefaultIsTheLastDay", std::nullopt, std::nullopt, "r.html", 0,
                               "to now"},
                    ReportCase{"SinceNoTime", "yesterday", std::nullopt, "r.html", 1,
                               "--since yesterday: not a time"},
                    ReportCase{"UntilNoTime", "2026-12-11", "2026-02-30", "r.html", 1,
                               "--until 2026-02-30: not a time"},
                    ReportCase{"UntilBeforeSince", "2026-12-11", "2026-12-10", "r.html", 1,
                               "--until 2026-12-10 is not after the start"},
                    ReportCase{"NoFolder", "2026-12-11", std::nullopt, "/no/such/dir/r.html", 1,
                               "cannot write /no/such/dir/r.html"}),
    case_name<ReportCase>);
