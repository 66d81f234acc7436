// A command's fields for every board it burns: checked once before any
// board is touched, then a board's values taken from the store, laid over
// its own copy of the image, and what became of them for its record.
// Shared by the boards' threads.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "identity/fields.h"
#include "identity/pools.h"
#include "identity/record.h"
#include "image/image_file.h"
#include "store/store.h"

// One board's values, in the order of the command's fields.
struct BoardValues {
    std::vector<TakenValue> values;
};

class FieldIssuer {
  public:
    // Reads each field's pool from the store at `url`, checks that every
    // field lies inside `chip_size` bytes and over no other, and settles what
    // stations left behind (reservations over an hour old are spoiled).
    // nullptr with `error` ("no pool serial in the store ...") when the
    // fields cannot be burned. `note`: what to say once at the start (fields
    // over image data, values spoiled).
    static std::unique_ptr<FieldIssuer> prepare(const std::vector<FieldSpec>& fields,
                                                const StoreUrl& url, const LoadedImage& image,
                                                std::uint32_t chip_size, std::string& note,
                                                std::string& error);

    FieldIssuer(std::vector<FieldSpec> fields, std::vector<Pool> pools, StoreUrl url,
                std::unique_ptr<RecordStore> store);

    // Takes a value of every field's pool for the board `claim` names. While
    // the store does not answer it waits, calling `waiting` with why about
    // every `retry`, until `stop` says to give up (kFailed then).
    PoolStore::Take take(const ValueClaim& claim, BoardValues& values, std::string& message,
                         const std::function<bool()>& stop,
                         const std::function<void(const std::string&)>& waiting,
                         std::chrono::milliseconds retry = std::chrono::milliseconds(2000));

    // The board's image: `shared` with its values laid over it.
    LoadedImage board_image(const LoadedImage& shared, const BoardValues& values, bool raw) const;

    // The record's fields and their states after the board's run.
    std::vector<BoardField> outcome(const BoardValues& values, bool passed,
                                    bool chip_changed) const;

  private:
    bool try_take(const ValueClaim& claim, BoardValues& values, std::string& message,
                  PoolStore::Take& result);

    const std::vector<FieldSpec> fields_;
    const std::vector<Pool> pools_;  // the fields' pools, in the same order
    const StoreUrl url_;
    std::mutex mutex_;                    // one board at a time on the connection
    std::unique_ptr<RecordStore> store_;  // nullptr: to be opened again
};

// Settles a committed record's values in the store it went to (the record
// writer calls it after each commit, a replayed spool's included).
bool settle_record(RecordStore& store, const StoreRecord& record, std::string& error);
