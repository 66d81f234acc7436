#include "web/page.h"

#include <cstdio>
#include <map>

#include "web_assets.h"

namespace {

std::string_view asset(const unsigned char* bytes, std::size_t size) {
    return {reinterpret_cast<const char*>(bytes), size};
}

const std::string_view kHtml = asset(kWebPageHtml, kWebPageHtmlSize);
const std::string_view kCss = asset(kWebPageCss, kWebPageCssSize);
const std::string_view kJs = asset(kWebPageJs, kWebPageJsSize);

// The report may load nothing at all: no style, script, image or font from
// anywhere, only what it holds.
const char kReportPolicy[] =
    "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
    "style-src 'unsafe-inline'; script-src 'unsafe-inline'; img-src data:\">";

// The template's {{name}} take escaped text, its <!--@name--> whole blocks.
std::string fill(std::string_view tmpl, const std::map<std::string, std::string>& text,
                 const std::map<std::string, std::string>& blocks) {
    std::string out;
    std::size_t at = 0;
    while (at < tmpl.size()) {
        const std::size_t value = tmpl.find("{{", at);
        const std::size_t block = tmpl.find("<!--@", at);
        const std::size_t next = std::min(value, block);
        if (next == std::string_view::npos) {
            break;
        }
        const bool is_block = next == block;
        const std::string_view close = is_block ? "-->" : "}}";
        const std::size_t open_length = is_block ? 5 : 2;
        const std::size_t end = tmpl.find(close, next);
        if (end == std::string_view::npos) {
            break;
        }
        out.append(tmpl.substr(at, next - at));
        const std::string name(tmpl.substr(next + open_length, end - next - open_length));
        const auto& values = is_block ? blocks : text;
        auto found = values.find(name);
        if (found != values.end()) {
            out += is_block ? found->second : html_escape(found->second);
        }
        at = end + close.size();
    }
    out.append(tmpl.substr(std::min(at, tmpl.size())));
    return out;
}

// "2026-12-11T08:00:00Z" as "2026-12-11 08:00 UTC".
std::string readable(const std::string& iso) {
    if (iso.size() < 16) {
        return iso;
    }
    return iso.substr(0, 10) + " " + iso.substr(11, 5) + " UTC";
}

std::string yield_text(const Tally& tally) {
    if (tally.total() == 0) {
        return "–";
    }
    char text[16];
    std::snprintf(text, sizeof text, "%.1f%%",
                  100.0 * static_cast<double>(tally.passed) / static_cast<double>(tally.total()));
    return text;
}

}  // namespace

std::string html_escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string script_safe(std::string json) {
    std::string out;
    out.reserve(json.size());
    for (char c : json) {
        if (c == '<') {
            out += "\\u003c";
        } else {
            out += c;
        }
    }
    return out;
}

std::string page_live(const std::string& version) {
    return fill(kHtml,
                {{"title", "The line"},
                 {"period", "the shift: the last 8 hours"},
                 {"status", "loading…"},
                 {"passed", "–"},
                 {"failed", "–"},
                 {"interrupted", "–"},
                 {"yield", "–"},
                 {"version", version}},
                {{"style", "<link rel=\"stylesheet\" href=\"page.css\">"},
                 {"script", "<script src=\"page.js\"></script>"}});
}

bool page_asset(std::string_view path, std::string_view& body, const char*& content_type) {
    if (path == "/page.css") {
        body = kCss;
        content_type = "text/css; charset=utf-8";
        return true;
    }
    if (path == "/page.js") {
        body = kJs;
        content_type = "text/javascript; charset=utf-8";
        return true;
    }
    return false;
}

std::string page_report(const Figures& figures, const std::string& figures_json,
                        const std::string& version) {
    const std::string until = figures.until ? readable(*figures.until) : "now";
    return fill(kHtml,
                {{"title", "The line: a report"},
                 {"period", "from " + readable(figures.since) + " to " + until},
                 {"status", "made " + readable(store_time_now())},
                 {"passed", std::to_string(figures.tally.passed)},
                 {"failed", std::to_string(figures.tally.failed)},
                 {"interrupted", std::to_string(figures.tally.interrupted)},
                 {"yield", yield_text(figures.tally)},
                 {"version", version}},
                {{"head", kReportPolicy},
                 {"style", "<style>\n" + std::string(kCss) + "</style>"},
                 {"data", "<script type=\"application/json\" id=\"figures\">" +
                              script_safe(figures_json) + "</script>"},
                 {"script", "<script>\n" + std::string(kJs) + "</script>"}});
}
