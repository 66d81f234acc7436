#include "web/report_file.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "web/figures.h"
#include "web/figures_json.h"
#include "web/page.h"

namespace {

constexpr long long kDefaultSeconds = 24 * 3600;
// A report is mailed: past this many its table stops (the figures count all).
constexpr std::size_t kMostRecords = 10000;

int fail(const std::string& message) {
    std::fprintf(stderr, "hexflash: %s\n", message.c_str());
    return 1;
}

bool time_option(const char* name, const std::optional<std::string>& given,
                 std::optional<std::string>& iso, std::string& error) {
    if (!given) {
        return true;
    }
    std::string value;
    if (!store_time(*given, value)) {
        error = std::string(name) + " " + *given +
                ": not a time (2026-12-11, 2026-12-11T08:00:00Z or with an offset, +02:00)";
        return false;
    }
    iso = value;
    return true;
}

// Written beside OUT and renamed over it: a mail never takes half a report.
bool write_whole(const std::string& path, const std::string& text, std::string& error) {
    const std::string part = path + ".part";
    {
        std::ofstream file(part, std::ios::binary | std::ios::trunc);
        file << text;
        file.close();
        if (!file) {
            error = "cannot write " + path;
            std::remove(part.c_str());
            return false;
        }
    }
    std::error_code ec;
    std::filesystem::rename(part, path, ec);
    if (ec) {
        error = "cannot write " + path + ": " + ec.message();
        std::remove(part.c_str());
        return false;
    }
    return true;
}

}  // namespace

int web_report(const StoreUrl& url, const ReportRequest& request, const std::string& version) {
    std::string error;
    std::optional<std::string> since;
    std::optional<std::string> until;
    if (!time_option("--since", request.since, since, error) ||
        !time_option("--until", request.until, until, error)) {
        return fail(error);
    }
    const std::string now = store_time_now();
    FigureQuery query;
    query.since = since.value_or(figures_iso(figures_seconds(now).value_or(0) - kDefaultSeconds));
    query.until = until;
    query.records = kMostRecords;
    if (until && *until <= query.since) {
        return fail("--until " + *request.until + " is not after the start of the period");
    }
    std::unique_ptr<RecordStore> store =
        RecordStore::open(url, RecordStore::Mode::kReadOnly, error);
    if (store == nullptr) {
        return fail(error);
    }
    Figures figures;
    if (!figures_read(*store, query, figures, error)) {
        return fail(store_url_text(url) + ": " + error);
    }
    const std::string html = page_report(figures, figures_json(figures, false, now), version);
    if (!write_whole(request.out, html, error)) {
        return fail(error);
    }
    std::fprintf(stderr,
                 "hexflash: %s: %llu passed, %llu failed, %llu interrupted, written to %s\n",
                 store_url_text(url).c_str(), static_cast<unsigned long long>(figures.tally.passed),
                 static_cast<unsigned long long>(figures.tally.failed),
                 static_cast<unsigned long long>(figures.tally.interrupted), request.out.c_str());
    return 0;
}
