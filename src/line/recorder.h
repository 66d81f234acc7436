// The store a one-shot command (write, erase, protect, unprotect) records its
// boards' runs in: only one named by --db or HEXFLASH_DB, opened before any
// board is touched so that a store that cannot be had stops the run first.
#pragma once

#include <memory>
#include <string>

#include "board/fields.h"
#include "line/log.h"
#include "store/store.h"

class Recorder {
  public:
    // No store named: records nothing (true). A named store that is refused:
    // false with `error`. Records an earlier run left in the spool for this
    // store are stored now.
    bool open(const std::string& db, std::string& error);
    bool active() const { return store_ != nullptr; }
    // Commits the run's record, or else spools it (saying so on standard
    // error). False when it could be neither.
    bool record(const RecordView& view, const LogSource& source);

  private:
    StoreUrl url_;
    std::unique_ptr<RecordStore> store_;
};
