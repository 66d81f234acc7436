#include "store/writer.h"

#include <vector>

StoreWriter::StoreWriter(StoreUrl url, std::unique_ptr<RecordStore> store, Spool spool)
    : url_(std::move(url)),
      name_(store_url_text(url_)),
      spool_(std::move(spool)),
      store_(std::move(store)) {
    count_waiting();
    worker_ = std::thread([this] { run(); });
}

StoreWriter::~StoreWriter() {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (worker_.joinable()) {
        worker_.join();
    }
}

StoreWriter::Outcome StoreWriter::record(const StoreRecord& record, std::string& error) {
    auto job = std::make_shared<Job>();
    job->record = record;
    std::unique_lock<std::mutex> hold(mutex_);
    if (!stopping_) {
        jobs_.push_back(job);
        wake_.notify_all();
        done_.wait_for(hold, kCommitWait, [&] { return job->done; });
    }
    if (job->committed) {
        return Outcome::kCommitted;
    }
    job->abandoned = true;
    hold.unlock();
    // Spooled here, on the caller's thread: the spool is a local file.
    if (!spool_.append(name_, record, error)) {
        return Outcome::kLost;
    }
    count_waiting();
    wake_.notify_all();
    return Outcome::kSpooled;
}

std::size_t StoreWriter::waiting() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return waiting_;
}

std::size_t StoreWriter::finish(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    {
        std::unique_lock<std::mutex> hold(mutex_);
        done_.wait_until(hold, end, [&] { return jobs_.empty() && waiting_ == 0; });
        stopping_ = true;
    }
    wake_.notify_all();
    if (worker_.joinable()) {
        worker_.join();
    }
    return waiting();
}

void StoreWriter::count_waiting() {
    std::size_t count = 0;
    std::string error;
    if (spool_.waiting(name_, count, error)) {
        std::lock_guard<std::mutex> hold(mutex_);
        waiting_ = count;
    }
    done_.notify_all();
}

// A connection again, at most once per kRetry.
bool StoreWriter::connect() {
    if (store_ != nullptr) {
        return true;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now < next_try_) {
        return false;
    }
    next_try_ = now + kRetry;
    std::string error;
    store_ = RecordStore::open(url_, RecordStore::Mode::kReadWrite, error);
    return store_ != nullptr;
}

void StoreWriter::replay() {
    std::size_t left = 0;
    std::string error;
    bool refused = false;
    spool_.replay(
        name_,
        [&](const StoreRecord& record) {
            refused = !store_->put(record, error);
            return !refused;
        },
        left, error);
    if (refused) {
        store_.reset();  // a fresh connection next time
    }
    count_waiting();
}

void StoreWriter::run() {
    std::unique_lock<std::mutex> hold(mutex_);
    for (;;) {
        wake_.wait_for(hold, kRetry, [&] { return stopping_ || !jobs_.empty(); });
        const bool stop = stopping_;
        std::shared_ptr<Job> job;
        if (!jobs_.empty()) {
            job = jobs_.front();
            jobs_.pop_front();
        }
        const bool spooled = waiting_ != 0;
        hold.unlock();
        if ((spooled || job != nullptr) && connect() && spooled) {
            replay();
        }
        bool committed = false;
        if (job != nullptr && !job->abandoned && store_ != nullptr && waiting() == 0) {
            std::string error;
            committed = store_->put(job->record, error);
            if (!committed) {
                store_.reset();
            }
        }
        hold.lock();
        if (job != nullptr) {
            job->done = true;
            job->committed = committed;
            done_.notify_all();
        }
        if (stop && jobs_.empty()) {
            return;
        }
    }
}

// --- the station table ----------------------------------------------------------------

StationFeed::StationFeed(StoreUrl url, std::unique_ptr<RecordStore> store,
                         std::chrono::milliseconds period)
    : url_(std::move(url)), period_(period), store_(std::move(store)) {
    worker_ = std::thread([this] { run(); });
}

StationFeed::~StationFeed() {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (worker_.joinable()) {
        worker_.join();
    }
}

void StationFeed::set(const StoreStation& station) {
    std::lock_guard<std::mutex> hold(mutex_);
    stations_[{station.host, station.location}] = station;
}

void StationFeed::run() {
    std::unique_lock<std::mutex> hold(mutex_);
    for (;;) {
        // One more round after the stop, so that the last states are written.
        const bool stop = stopping_;
        std::vector<StoreStation> now;
        for (const auto& [key, station] : stations_) {
            now.push_back(station);
        }
        hold.unlock();
        std::string error;
        if (store_ == nullptr) {
            store_ = RecordStore::open(url_, RecordStore::Mode::kReadWrite, error);
        }
        if (store_ != nullptr && !now.empty()) {
            // Every station in one commit, stamped now: the page sees the line alive.
            const std::string stamp = store_time_now();
            bool ok = store_->sql().begin(SqlBegin::kWrite);
            for (StoreStation& station : now) {
                station.updated = stamp;
                ok = ok && store_->put_station(station, error);
            }
            ok = ok && store_->sql().commit();
            if (!ok) {
                store_->sql().rollback();
                store_.reset();
            }
        }
        hold.lock();
        if (stop) {
            return;
        }
        wake_.wait_for(hold, period_, [&] { return stopping_; });
    }
}
