#include "line/recorder.h"

#include <cstdio>

#include "store/spool.h"

bool Recorder::open(const std::string& db, std::string& error) {
    if (!store_url(db, url_, error)) {
        return false;
    }
    if (!url_.named || url_.kind == StoreUrl::Kind::kNone) {
        return true;
    }
    store_ = RecordStore::open(url_, RecordStore::Mode::kReadWrite, error);
    if (store_ == nullptr) {
        return false;
    }
    Spool spool(spool_default_path());
    std::size_t left = 0;
    std::string ignored;
    spool.replay(
        store_url_text(url_),
        [&](const StoreRecord& record) { return store_->put(record, ignored); }, left, ignored);
    return true;
}

bool Recorder::record(const RecordView& view, const LogSource& source) {
    if (store_ == nullptr) {
        return true;
    }
    const StoreRecord record = log_store_record(view, source, store_uuid());
    std::string error;
    if (store_->put(record, error)) {
        return true;
    }
    Spool spool(spool_default_path());
    std::string why;
    if (!spool.append(store_url_text(url_), record, why)) {
        std::fprintf(stderr, "hexflash: the run's record is lost: %s; %s\n", error.c_str(),
                     why.c_str());
        return false;
    }
    std::fprintf(stderr, "hexflash: store unreachable (%s): the record waits in %s\n",
                 error.c_str(), spool.path().c_str());
    return true;
}
