#include "identity/issuer.h"

#include <chrono>
#include <thread>
#include <utility>

std::unique_ptr<FieldIssuer> FieldIssuer::prepare(const std::vector<FieldSpec>& fields,
                                                  const StoreUrl& url, const LoadedImage& image,
                                                  std::uint32_t chip_size, std::string& note,
                                                  std::string& error) {
    note.clear();
    std::unique_ptr<RecordStore> store =
        RecordStore::open(url, RecordStore::Mode::kReadWrite, error);
    if (store == nullptr) {
        error = "the fields' pools are in the store: " + error;
        return nullptr;
    }
    PoolStore pools(store->sql());
    std::vector<Pool> found;
    std::vector<FieldPlace> places;
    for (const FieldSpec& field : fields) {
        Pool pool;
        bool there = false;
        if (!pools.get(field.name, pool, there, error)) {
            error = store_url_text(url) + ": " + error;
            return nullptr;
        }
        if (!there) {
            error = "no pool " + field.name + " in " + store_url_text(url) + " (hexflash pool add)";
            return nullptr;
        }
        places.push_back({field.name, field.address, form_size(pool.form)});
        found.push_back(pool);
    }
    if (!check_fields(places, chip_size, error)) {
        return nullptr;
    }
    note = fields_over_image(places, *image.map);
    std::uint64_t spoiled = 0;
    const long long now = time_now();
    if (!pools.recover(store_time_of(now), store_time_of(now - kReservedLimitSeconds), spoiled,
                       error)) {
        error = store_url_text(url) + ": " + error;
        return nullptr;
    }
    if (spoiled != 0) {
        // Appended piece by piece: g++ 12 sees a false overlap in "\n" + text.
        if (!note.empty()) {
            note += '\n';
        }
        note += std::to_string(spoiled);
        note += spoiled == 1 ? " value" : " values";
        note += " reserved over an hour ago by a station that never came back: spoiled";
    }
    return std::make_unique<FieldIssuer>(fields, std::move(found), url, std::move(store));
}

FieldIssuer::FieldIssuer(std::vector<FieldSpec> fields, std::vector<Pool> pools, StoreUrl url,
                         std::unique_ptr<RecordStore> store)
    : fields_(std::move(fields)),
      pools_(std::move(pools)),
      url_(std::move(url)),
      store_(std::move(store)) {}

bool FieldIssuer::try_take(const ValueClaim& claim, BoardValues& values, std::string& message,
                           PoolStore::Take& result) {
    std::lock_guard<std::mutex> hold(mutex_);
    result = PoolStore::Take::kFailed;
    if (store_ == nullptr) {
        store_ = RecordStore::open(url_, RecordStore::Mode::kReadWrite, message);
        if (store_ == nullptr) {
            return false;
        }
    }
    std::vector<std::string> names;
    for (const FieldSpec& field : fields_) {
        names.push_back(field.name);
    }
    result = PoolStore(store_->sql()).take(names, claim, values.values, message);
    if (result == PoolStore::Take::kFailed && !store_->sql().alive()) {
        store_.reset();  // the server went away: a new connection next time
    }
    return result == PoolStore::Take::kTaken;
}

PoolStore::Take FieldIssuer::take(const ValueClaim& claim, BoardValues& values,
                                  std::string& message, const std::function<bool()>& stop,
                                  const std::function<void(const std::string&)>& waiting,
                                  std::chrono::milliseconds retry) {
    constexpr std::chrono::milliseconds kSlice(50);
    for (;;) {
        PoolStore::Take result = PoolStore::Take::kFailed;
        if (try_take(claim, values, message, result) || result != PoolStore::Take::kFailed) {
            return result;
        }
        waiting("waiting for the store: " + message);
        for (auto waited = std::chrono::milliseconds(0); waited < retry; waited += kSlice) {
            if (stop()) {
                return PoolStore::Take::kFailed;
            }
            std::this_thread::sleep_for(kSlice);
        }
    }
}

LoadedImage FieldIssuer::board_image(const LoadedImage& shared, const BoardValues& values,
                                     bool raw) const {
    LoadedImage image = copy_image(shared);
    std::vector<FieldBytes> bytes;
    for (std::size_t i = 0; i < fields_.size() && i < values.values.size(); ++i) {
        bytes.push_back({fields_[i].address, value_bytes(pools_[i].form, values.values[i].number)});
    }
    apply_fields(image, bytes, raw);
    return image;
}

std::vector<BoardField> FieldIssuer::outcome(const BoardValues& values, bool passed,
                                             bool chip_changed) const {
    std::vector<BoardField> out;
    for (const TakenValue& value : values.values) {
        out.push_back({value.pool, value.text, field_outcome(value.kept, passed, chip_changed)});
    }
    return out;
}

bool settle_record(RecordStore& store, const StoreRecord& record, std::string& error) {
    return PoolStore(store.sql()).settle(record, error);
}
