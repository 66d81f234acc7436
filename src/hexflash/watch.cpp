#include "hexflash/watch.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "hexflash/boards.h"
#include "hexflash/job.h"
#include "hexflash/log.h"
#include "hexflash/station.h"
#include "host/interrupt.h"
#include "d2xx/d2xx.h"

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
bool named(const Options& options, const Board& board) {
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

int worse(int a, int b) {
    auto rank = [](int status) { return status > 3 ? 4 : status; };
    return rank(b) > rank(a) ? b : a;
}

}  // namespace

int watch_boards(const Options& options, const char* version, bool terminal) {
    LoadedImage image;
    std::string error;
    if (!load_image(options.path, image, error)) {
        std::fprintf(stderr, "hexflash: %s\n", error.c_str());
        return 1;
    }
    // Each board's run is a write.
    Options burn_options = options;
    burn_options.command = Command::kWrite;
    Job job{&burn_options, &image};
    LogSource source = log_source(version);
    if (!options.log_path.empty() && !log_check(options.log_path, error)) {
        // Opened once first: a log that cannot be written stops the run early.
        std::fprintf(stderr, "hexflash: %s\n", error.c_str());
        return 1;
    }

    StationBoard screen(terminal, options.quiet);
    std::map<std::uint32_t, Port> ports;  // by location
    std::list<Burn> burns;
    std::uint64_t taken = 0;
    int status = 0;
    bool first = true;
    bool said_census = false;
    interrupt_arm();
    if (!options.quiet) {
        std::fprintf(stderr, "hexflash: watching for boards; Ctrl-C stops\n");
    }
    for (;;) {
        // The boards whose run is over: logged, then shown.
        for (auto it = burns.begin(); it != burns.end();) {
            if (!it->over.load()) {
                ++it;
                continue;
            }
            it->thread.join();
            BoardRecord& record = it->record;
            if (!options.log_path.empty()) {
                std::string line = log_line(burn_options, image, record, source);
                if (!log_append(options.log_path, line, error)) {
                    std::fprintf(stderr, "hexflash: %s\n", error.c_str());
                    record.exit_status = record.exit_status == 0 ? 1 : record.exit_status;
                    record.message = record.message.empty() ? error : record.message;
                }
            }
            status = worse(status, record.exit_status);
            screen.finished(it->slot, record);
            it = burns.erase(it);
        }
        bool enough = options.count != 0 && taken >= options.count;
        if ((interrupt_status() != 0 || enough) && burns.empty()) {
            break;
        }
        std::vector<Board> found;
        if (!find_boards(found)) {
            // Not a census with no board in it: nothing left, nothing arrived.
            if (!said_census) {
                std::fprintf(stderr, "hexflash: the device census failed; trying again\n");
                said_census = true;
            }
            std::this_thread::sleep_for(kPoll);
            continue;
        }
        for (auto& [location, port] : ports) {
            bool here = false;
            for (const Board& board : found) {
                here = here || (!board.busy && board.location == location);
            }
            // A board in hand may hide from the census while it is open: it
            // leaves only once its run is over.
            bool in_hand = false;
            for (const Burn& burn : burns) {
                in_hand = in_hand || burn.board.location == location;
            }
            if (port.present && !here && !in_hand) {
                port = Port{};
                screen.left(screen.station(location));
            }
        }
        for (const Board& board : found) {
            if (board.busy || !named(options, board)) {
                continue;
            }
            Port& port = ports[board.location];
            bool arrival = !port.present;
            port.present = true;
            if (arrival && first && options.new_only) {
                port.handled = true;  // there before the run: left alone
            }
            if (port.handled || enough || interrupt_status() != 0) {
                continue;
            }
            int slot = screen.station(board.location);
            FT_HANDLE handle = nullptr;
            // Opened right after the census, while its index still names the board.
            if (FT_Open(static_cast<int>(board.index), &handle) != FT_OK) {
                if (++port.open_tries < kOpenTries) {
                    continue;  // still settling, or briefly held elsewhere
                }
                BoardRecord record;
                record.board = board;
                record.result = "failed";
                record.exit_status = 1;
                record.phase = "open";
                record.message = "cannot open the device (in use?)";
                port.handled = true;
                ++taken;
                screen.arrived(slot, board.serial);
                if (!options.log_path.empty() &&
                    !log_append(options.log_path, log_line(burn_options, image, record, source),
                                error)) {
                    std::fprintf(stderr, "hexflash: %s\n", error.c_str());
                }
                status = worse(status, record.exit_status);
                screen.finished(slot, record);
                continue;
            }
            port.handled = true;
            ++taken;
            enough = options.count != 0 && taken >= options.count;
            screen.arrived(slot, board.serial);
            Burn& burn = burns.emplace_back();
            burn.slot = slot;
            burn.board = board;
            burn.thread = std::thread([&job, &screen, &burn, handle] {
                auto start = std::chrono::steady_clock::now();
                burn.record = run_opened_board(job, burn.board, handle, burn.slot, screen);
                // The line's time as the operator lived it.
                burn.record.seconds =
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                burn.over.store(true);
            });
        }
        first = false;
        std::this_thread::sleep_for(kPoll);
    }
    interrupt_disarm();
    screen.close();
    // Interrupted while no board was in hand: the boards' statuses stand.
    return status;
}
