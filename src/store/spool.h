// The records a store could not take yet: one JSON line each in
// $XDG_STATE_HOME/hexflash/spool.jsonl, every line written whole under an
// exclusive lock and synced, so that a record the store missed is on the
// disk before its board is let go. Each line names its store: a spool
// shared by the watches of one PC gives each store back only its own.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "store/store.h"

// Where the spool lives by default: store_state_dir()/spool.jsonl.
std::string spool_default_path();

class Spool {
  public:
    explicit Spool(std::string path) : path_(std::move(path)) {}
    const std::string& path() const { return path_; }

    // Appends `record` for the store `store` (store_url_text). Makes the
    // folder when it is missing.
    bool append(const std::string& store, const StoreRecord& record, std::string& error);

    // How many records wait for `store`.
    bool waiting(const std::string& store, std::size_t& count, std::string& error);

    // Offers the records waiting for `store` to `put`, oldest first; those it
    // takes leave the spool. It stops at the first `put` refuses, so that the
    // order holds. `left`: how many still wait for `store`.
    bool replay(const std::string& store, const std::function<bool(const StoreRecord&)>& put,
                std::size_t& left, std::string& error);

  private:
    std::string path_;
};
