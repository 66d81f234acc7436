// Records and stations on their way to the store, off the callers' threads:
// a store that answers slowly, or not at all, never holds up a burn.
//
// A record is committed at once when the store answers; otherwise it goes
// to the spool, and the writer tries the store again every second, replaying
// the spool in order as soon as it answers.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "store/spool.h"
#include "store/store.h"

class StoreWriter {
  public:
    enum class Outcome { kCommitted, kSpooled, kLost };
    // How long a record waits for its commit before it is spooled instead.
    static constexpr std::chrono::milliseconds kCommitWait{3000};
    // How often a store that did not answer is tried again.
    static constexpr std::chrono::milliseconds kRetry{1000};

    // `store`: the connection opened at start (nullptr: the store did not
    // answer then; the writer keeps trying `url`).
    StoreWriter(StoreUrl url, std::unique_ptr<RecordStore> store, Spool spool);
    ~StoreWriter();
    StoreWriter(const StoreWriter&) = delete;
    StoreWriter& operator=(const StoreWriter&) = delete;

    // From any thread: returns once `record` is committed, or else spooled
    // (kLost, with `error`, when even the spool could not be written).
    Outcome record(const StoreRecord& record, std::string& error);
    // Records of this store waiting in the spool.
    std::size_t waiting() const;
    // Tries to empty the spool for up to `limit`, then stops the writer.
    // Returns how many records still wait.
    std::size_t finish(std::chrono::milliseconds limit);

  private:
    struct Job {
        StoreRecord record;
        bool done = false;
        bool committed = false;
        bool abandoned = false;  // the caller spooled it itself
    };
    void run();
    bool connect();
    void replay();
    void count_waiting();

    const StoreUrl url_;
    const std::string name_;  // store_url_text(url_), the spool's key
    Spool spool_;
    std::unique_ptr<RecordStore> store_;  // the worker's alone
    std::chrono::steady_clock::time_point next_try_{};

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::deque<std::shared_ptr<Job>> jobs_;
    std::size_t waiting_ = 0;
    bool stopping_ = false;
    std::thread worker_;
};

// The station table, kept current about once a second on a connection and a
// thread of its own: set() only notes the station's state.
class StationFeed {
  public:
    StationFeed(StoreUrl url, std::unique_ptr<RecordStore> store,
                std::chrono::milliseconds period = std::chrono::milliseconds(1000));
    ~StationFeed();
    StationFeed(const StationFeed&) = delete;
    StationFeed& operator=(const StationFeed&) = delete;

    void set(const StoreStation& station);

  private:
    void run();

    const StoreUrl url_;
    const std::chrono::milliseconds period_;
    std::unique_ptr<RecordStore> store_;  // the feed's thread's alone
    std::mutex mutex_;
    std::condition_variable wake_;
    std::map<std::pair<std::string, std::uint32_t>, StoreStation> stations_;
    bool stopping_ = false;
    std::thread worker_;
};
