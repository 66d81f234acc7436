#include "line/watch.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "board/boards.h"
#include "board/fields.h"
#include "d2xx/d2xx.h"
#include "host/interrupt.h"
#include "line/log.h"
#include "line/station.h"
#include "store/writer.h"

namespace {

// How often the census is taken: a board is seen within a quarter second.
constexpr auto kPoll = std::chrono::milliseconds(250);
// A board that arrives but will not open is tried this many polls.
constexpr int kOpenTries = 8;

// How long watch goes on trying the store before it exits.
constexpr auto kLastTries = std::chrono::seconds(10);

struct Burn {
    int slot = 0;
    Board board;
    std::string run_id;  // made when the board arrived
    BoardRecord record;
    bool spooled = false;  // its record waits in the spool
    std::atomic<bool> over{false};
    std::thread thread;
};

struct Port {
    bool present = false;  // in the last census
    bool handled = false;  // this arrival was burned (or left alone)
    int open_tries = 0;
};

// --device in watch: a serial or a location (as list shows it, or with @):
// the port of a station, which stays when boards come and go.
bool named(const WatchOptions& options, const Board& board) {
    if (options.devices.empty()) {
        return true;
    }
    char location[16];
    std::snprintf(location, sizeof location, "0x%04x", static_cast<unsigned>(board.location));
    for (const std::string& selector : options.devices) {
        const std::string_view bare = !selector.empty() && selector[0] == '@'
                                          ? std::string_view(selector).substr(1)
                                          : std::string_view(selector);
        if (selector == board.serial || bare == location ||
            bare == std::to_string(board.location)) {
            return true;
        }
    }
    return false;
}

void complain(const std::string& error) {
    std::fprintf(stderr, "hexflash: %s\n", error.c_str());
}

// One watch run: the census polled, each arrival burned on its own thread,
// each run over logged and shown.
class Line {
  public:
    // `store`: open on `url`, or nullptr for no store.
    Line(const WatchOptions& options, const LoadedImage& image, LogSource source, bool terminal,
         const StoreUrl& url, std::unique_ptr<RecordStore> store)
        : options_(options),
          burn_(options.burn),
          image_(image),
          source_(std::move(source)),
          screen_(terminal, options.quiet) {
        burn_.task = Task::kWrite;  // each board's run is a write
        if (store != nullptr) {
            // The station table on a connection of its own (opened by the
            // feed itself when this one cannot be had now).
            std::string ignored;
            feed_ = std::make_unique<StationFeed>(
                url, RecordStore::open(url, RecordStore::Mode::kReadWrite, ignored));
            writer_ =
                std::make_unique<StoreWriter>(url, std::move(store), Spool(spool_default_path()));
        }
    }

    int run() {
        interrupt_arm();
        if (!options_.quiet) {
            std::fprintf(stderr, "hexflash: watching for boards; Ctrl-C stops\n");
        }
        for (;;) {
            collect();
            enough_ = options_.count != 0 && taken_ >= options_.count;
            if ((interrupt_status() != 0 || enough_) && burns_.empty()) {
                break;
            }
            std::vector<Board> found;
            if (!find_boards(found)) {
                // Not a census with no board in it: nothing left, nothing arrived.
                if (!said_census_) {
                    complain("the device census failed; trying again");
                    said_census_ = true;
                }
                std::this_thread::sleep_for(kPoll);
                continue;
            }
            departures(found);
            arrivals(found);
            first_ = false;
            publish();
            std::this_thread::sleep_for(kPoll);
        }
        interrupt_disarm();
        last_tries();
        screen_.close();
        // Interrupted while no board was in hand: the boards' statuses stand.
        return status_;
    }

  private:
    // The boards whose run is over: logged, then shown.
    void collect() {
        for (auto it = burns_.begin(); it != burns_.end();) {
            if (!it->over.load()) {
                ++it;
                continue;
            }
            it->thread.join();
            status_ = worse_status(status_, it->record.exit_status);
            screen_.finished(it->slot, it->record, it->spooled);
            it = burns_.erase(it);
        }
    }

    // On the board's thread, once its run is over: the log's line, then the
    // store's record (committed, or else spooled) before the board is shown.
    void keep(Burn& burn) const {
        BoardRecord& record = burn.record;
        std::string error;
        if (!log(record, error)) {
            complain(error);
            fail(record, error);
        }
        if (writer_ == nullptr) {
            return;
        }
        const RecordView view{burn_, &image_, record, true};
        switch (writer_->record(log_store_record(view, source_, burn.run_id), error)) {
            case StoreWriter::Outcome::kCommitted:
                break;
            case StoreWriter::Outcome::kSpooled:
                burn.spooled = true;
                break;
            case StoreWriter::Outcome::kLost:
                error = "the record is lost: " + error;
                complain(error);
                fail(record, error);
                break;
        }
    }

    static void fail(BoardRecord& record, const std::string& error) {
        record.exit_status = record.exit_status == 0 ? 1 : record.exit_status;
        record.message = record.message.empty() ? error : record.message;
    }

    // What the store's readers see of the line: the stations, and how many
    // records wait for the store.
    void publish() {
        if (writer_ == nullptr) {
            return;
        }
        screen_.store_waiting(writer_->waiting());
        for (StoreStation& station : screen_.snapshot()) {
            station.host = source_.host;
            feed_->set(station);
        }
    }

    // Before exit: the spool emptied into the store if it answers within kLastTries.
    void last_tries() {
        if (writer_ == nullptr) {
            return;
        }
        const auto end = std::chrono::steady_clock::now() + kLastTries;
        for (publish(); writer_->waiting() != 0 && std::chrono::steady_clock::now() < end;
             publish()) {
            std::this_thread::sleep_for(kPoll);
        }
        const auto rest = std::max(std::chrono::steady_clock::duration::zero(),
                                   end - std::chrono::steady_clock::now());
        const std::size_t left =
            writer_->finish(std::chrono::duration_cast<std::chrono::milliseconds>(rest));
        publish();
        feed_.reset();  // the stations' last states written
        if (left != 0) {
            complain("store unreachable: " + std::to_string(left) + " record" +
                     (left == 1 ? "" : "s") + " left in the spool " + spool_default_path() +
                     "; the next start stores them");
        }
    }

    // Appends the record's line to the log, when there is one.
    bool log(const BoardRecord& record, std::string& error) const {
        const RecordView view{burn_, &image_, record, true};
        return options_.log_path.empty() ||
               log_append(options_.log_path, log_line(view, source_), error);
    }

    void departures(const std::vector<Board>& found) {
        for (auto& [location, port] : ports_) {
            bool here = false;
            for (const Board& board : found) {
                here = here || (!board.busy && board.location == location);
            }
            // A board in hand may hide from the census while it is open: it
            // leaves only once its run is over.
            bool in_hand = false;
            for (const Burn& burn : burns_) {
                in_hand = in_hand || burn.board.location == location;
            }
            if (port.present && !here && !in_hand) {
                port = Port{};
                screen_.left(screen_.station(location));
            }
        }
    }

    void arrivals(const std::vector<Board>& found) {
        for (const Board& board : found) {
            if (board.busy || !named(options_, board)) {
                continue;
            }
            Port& port = ports_[board.location];
            bool arrival = !port.present;
            port.present = true;
            if (arrival && first_ && options_.new_only) {
                port.handled = true;  // there before the run: left alone
            }
            if (port.handled || enough_ || interrupt_status() != 0) {
                continue;
            }
            int slot = screen_.station(board.location);
            FT_HANDLE handle = nullptr;
            // Opened right after the census, while its index still names the board.
            if (FT_Open(static_cast<int>(board.index), &handle) == FT_OK) {
                start(board, port, slot, handle);
            } else if (++port.open_tries >= kOpenTries) {
                unopened(board, port, slot);
            }  // else still settling, or briefly held elsewhere
        }
    }

    void start(const Board& board, Port& port, int slot, FT_HANDLE handle) {
        port.handled = true;
        ++taken_;
        enough_ = options_.count != 0 && taken_ >= options_.count;
        screen_.arrived(slot, board.serial);
        Burn& burn = burns_.emplace_back();
        burn.slot = slot;
        burn.board = board;
        burn.run_id = store_uuid();
        const Job job{&burn_, &image_};
        burn.thread = std::thread([this, job, &burn, handle] {
            auto start = std::chrono::steady_clock::now();
            burn.record = run_opened_board(job, burn.board, handle, burn.slot, screen_);
            // The line's time as the operator lived it.
            burn.record.seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            keep(burn);
            burn.over.store(true);
        });
    }

    // A board that would not open in all its tries: failed, and kept like
    // any other on a thread of its own (a store may be slow to take it).
    void unopened(const Board& board, Port& port, int slot) {
        port.handled = true;
        ++taken_;
        screen_.arrived(slot, board.serial);
        Burn& burn = burns_.emplace_back();
        burn.slot = slot;
        burn.board = board;
        burn.run_id = store_uuid();
        burn.record = unopened_record(board, false);
        burn.thread = std::thread([this, &burn] {
            keep(burn);
            burn.over.store(true);
        });
    }

    const WatchOptions& options_;
    JobOptions burn_;
    const LoadedImage& image_;
    const LogSource source_;
    StationBoard screen_;
    std::map<std::uint32_t, Port> ports_;  // by location
    std::list<Burn> burns_;
    std::uint64_t taken_ = 0;
    int status_ = 0;
    bool first_ = true;
    bool enough_ = false;  // --count boards taken
    bool said_census_ = false;
    std::unique_ptr<StationFeed> feed_;    // with a store: the station table
    std::unique_ptr<StoreWriter> writer_;  // with a store: the records
};

// The store watch records into: the one named, else the default one. False
// (after saying why) when a named store is refused; the default one that
// cannot be had is said once, and the line goes on without it.
bool open_store(const WatchOptions& options, StoreUrl& url, std::unique_ptr<RecordStore>& store) {
    std::string error;
    if (!store_url(options.db, url, error)) {
        complain(error);
        return false;
    }
    if (url.kind == StoreUrl::Kind::kNone) {
        return true;
    }
    store = RecordStore::open(url, RecordStore::Mode::kReadWrite, error);
    if (store == nullptr && url.named) {
        complain(error);
        return false;
    }
    if (store == nullptr) {
        complain("no record store: " + error + "; going on without one");
    }
    return true;
}

}  // namespace

int watch_boards(const WatchOptions& options, const char* version, bool terminal) {
    LoadedImage image;
    std::string error;
    if (!load_image(options.burn.path, image, error)) {
        complain(error);
        return 1;
    }
    LogSource source = log_source(version);
    if (!options.log_path.empty() && !log_check(options.log_path, error)) {
        // Opened once first: a log that cannot be written stops the run early.
        complain(error);
        return 1;
    }
    StoreUrl url;
    std::unique_ptr<RecordStore> store;
    if (!open_store(options, url, store)) {
        return 1;
    }
    return Line(options, image, std::move(source), terminal, url, std::move(store)).run();
}
