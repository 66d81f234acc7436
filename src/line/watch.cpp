#include "line/watch.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <list>
#include <map>
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

namespace {

// How often the census is taken: a board is seen within a quarter second.
constexpr auto kPoll = std::chrono::milliseconds(250);
// A board that arrives but will not open is tried this many polls.
constexpr int kOpenTries = 8;

struct Burn {
    int slot = 0;
    Board board;
    BoardRecord record;
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
    Line(const WatchOptions& options, const LoadedImage& image, LogSource source, bool terminal)
        : options_(options),
          burn_(options.burn),
          image_(image),
          source_(std::move(source)),
          screen_(terminal, options.quiet) {
        burn_.task = Task::kWrite;  // each board's run is a write
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
            std::this_thread::sleep_for(kPoll);
        }
        interrupt_disarm();
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
            BoardRecord& record = it->record;
            std::string error;
            if (!log(record, error)) {
                complain(error);
                record.exit_status = record.exit_status == 0 ? 1 : record.exit_status;
                record.message = record.message.empty() ? error : record.message;
            }
            status_ = worse_status(status_, record.exit_status);
            screen_.finished(it->slot, record);
            it = burns_.erase(it);
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
        const Job job{&burn_, &image_};
        burn.thread = std::thread([job, &screen = screen_, &burn, handle] {
            auto start = std::chrono::steady_clock::now();
            burn.record = run_opened_board(job, burn.board, handle, burn.slot, screen);
            // The line's time as the operator lived it.
            burn.record.seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            burn.over.store(true);
        });
    }

    // A board that would not open in all its tries: failed, logged and shown at once.
    void unopened(const Board& board, Port& port, int slot) {
        BoardRecord record = unopened_record(board, false);
        port.handled = true;
        ++taken_;
        screen_.arrived(slot, board.serial);
        std::string error;
        if (!log(record, error)) {
            complain(error);
        }
        status_ = worse_status(status_, record.exit_status);
        screen_.finished(slot, record);
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
};

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
    return Line(options, image, std::move(source), terminal).run();
}
