#include "hexflash/history.h"

#include <cstdio>
#include <memory>
#include <vector>

#include "store/record_json.h"

namespace {

bool open_url(const std::string& db, StoreUrl& url) {
    std::string error;
    if (!store_url(db, url, error)) {
        std::fprintf(stderr, "hexflash: %s\n", error.c_str());
        return false;
    }
    if (url.kind == StoreUrl::Kind::kNone) {
        std::fprintf(stderr, "hexflash: no store (--db none)\n");
        return false;
    }
    return true;
}

}  // namespace

int db_init_command(const std::string& db) {
    StoreUrl url;
    if (!open_url(db, url)) {
        return 1;
    }
    int version = 0;
    std::string error;
    if (!RecordStore::init(url, version, error)) {
        std::fprintf(stderr, "hexflash: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s: schema version %d\n", store_url_text(url).c_str(), version);
    return 0;
}

std::string history_line(const StoreRecord& r) {
    char head[160];
    std::snprintf(head, sizeof head, "%s  %s  0x%04x  %s  %s  %s  %s  %.1f s", r.time.c_str(),
                  r.host.c_str(), static_cast<unsigned>(r.location), r.serial.c_str(),
                  r.result.c_str(), r.chip.value_or("-").c_str(), r.unique_id.value_or("-").c_str(),
                  r.seconds);
    std::string out = head;
    if (r.image) {
        out += "  " + *r.image;
    }
    if (r.result != "passed" && (r.phase || r.message)) {
        out += "  (" + r.phase.value_or("") + (r.phase && r.message ? ": " : "") +
               r.message.value_or("") + ")";
    }
    return out;
}

int history_command(const std::string& db, const HistoryQuery& query, bool json) {
    StoreUrl url;
    if (!open_url(db, url)) {
        return 1;
    }
    std::string error;
    std::unique_ptr<RecordStore> store =
        RecordStore::open(url, RecordStore::Mode::kReadOnly, error);
    if (store == nullptr) {
        std::fprintf(stderr, "hexflash: %s\n", error.c_str());
        return 1;
    }
    std::vector<StoreRecord> records;
    if (!store->history(query, records, error)) {
        std::fprintf(stderr, "hexflash: %s: %s\n", store_url_text(url).c_str(), error.c_str());
        return 1;
    }
    for (const StoreRecord& record : records) {
        const std::string line = json ? store_record_json(record) : history_line(record);
        std::printf("%s\n", line.c_str());
    }
    return 0;
}
