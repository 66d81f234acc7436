#include "hexflash/hexflash.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "board/boards.h"
#include "board/fields.h"
#include "board/job.h"
#include "hexflash/history.h"
#include "hexflash/options.h"
#include "hexflash/pool.h"
#include "hexflash/report.h"
#include "host/interrupt.h"
#include "image/image_file.h"
#include "json/json.h"
#include "line/log.h"
#include "line/recorder.h"
#include "line/watch.h"
#include "web/report_file.h"
#include "web/serve.h"

#if defined(_WIN32)
#include <io.h>

#include "host/windows_api.h"
#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

#ifndef HEXFLASH_VERSION
#define HEXFLASH_VERSION "0"
#endif

namespace {

// Every line of it starts with the program's name, a table's lines too.
void complain(const std::string& message) {
    std::string out;
    std::size_t at = 0;
    do {
        std::size_t end = message.find('\n', at);
        out += "hexflash: " + message.substr(at, end == std::string::npos ? end : end - at) + "\n";
        at = end == std::string::npos ? end : end + 1;
    } while (at != std::string::npos && at < message.size());
    std::fputs(out.c_str(), stderr);
}

// read's file for each board: OUT itself for one board; with several, OUT
// tagged before its extension with the board's serial as USB tools show it,
// or its number where that serial is blank or shared (fw-FT7XQ2.hex, fw-1.hex).
std::vector<std::string> outputs(const std::string& path, const std::vector<Board>& boards) {
    std::vector<std::string> out;
    std::size_t slash = path.find_last_of("/\\");
    std::size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash) ||
        dot == (slash == std::string::npos ? 0 : slash + 1)) {
        dot = path.size();
    }
    for (const Board& board : boards) {
        if (boards.size() == 1) {
            out.push_back(path);
            continue;
        }
        std::string serial = board.serial;
        if (!serial.empty() && serial.back() == 'B') {
            serial.pop_back();
        }
        std::size_t same = 0;
        for (const Board& other : boards) {
            same += other.serial == board.serial ? 1 : 0;
        }
        std::string tag = serial.empty() || same > 1 ? std::to_string(board.number) : serial;
        out.push_back(path.substr(0, dot) + "-" + tag + path.substr(dot));
    }
    return out;
}

// The command line's share of one board's run.
JobOptions job_options(const Options& options) {
    static constexpr struct {
        Command command;
        Task task;
    } kTasks[] = {
        {Command::kId, Task::kId},
        {Command::kWrite, Task::kWrite},
        {Command::kVerify, Task::kVerify},
        {Command::kRead, Task::kRead},
        {Command::kErase, Task::kErase},
        {Command::kProtect, Task::kProtect},
        {Command::kUnprotect, Task::kUnprotect},
    };
    JobOptions job;
    for (const auto& pair : kTasks) {
        if (pair.command == options.command) {
            job.task = pair.task;
        }
    }
    job.clock_hz = options.clock_hz;
    job.path = options.path;
    job.erase = options.erase;
    job.keep_rest = options.keep_rest;
    job.force = options.force;
    job.unprotect = options.unprotect;
    job.raw = options.raw;
    job.protect = options.protect;
    job.lock = options.lock;
    return job;
}

WatchOptions watch_options(const Options& options) {
    WatchOptions watch;
    watch.burn = job_options(options);
    watch.devices = options.devices;
    watch.quiet = options.quiet;
    watch.new_only = options.new_only;
    watch.count = options.count;
    watch.log_path = options.log_path;
    watch.db = options.db;
    watch.fields = options.fields;
    return watch;
}

// A failure before any board was touched: its message, and with --json its record.
int refuse(const Options& options, const LoadedImage* image, const std::string& message) {
    complain(message);
    if (options.json) {
        BoardRecord record;
        record.result = "refused";
        record.exit_status = 1;
        record.message = message;
        const JobOptions job = job_options(options);
        std::printf("%s\n", json_record(RecordView{job, image, record, false}).c_str());
    }
    return 1;
}

int list(const Options& options) {
    std::vector<Board> boards;
    std::uint32_t others = 0;
    bool census = find_boards(boards, &others);
    if (options.json) {
        std::string out = "{\"devices\": [";
        for (std::size_t i = 0; i < boards.size(); ++i) {
            const Board& b = boards[i];
            out += std::string(i == 0 ? "\n  " : ",\n  ") +
                   JsonObject()
                       .add("index", json_number(b.index))
                       .add("number", json_number(b.number))
                       .add("serial", host_json_string(b.serial))
                       .add("description", host_json_string(b.description))
                       .add("location", json_number(b.location))
                       .add("busy", json_bool(b.busy))
                       .line();
        }
        std::printf("%s%s]}\n", out.c_str(), boards.empty() ? "" : "\n");
    } else if (!boards.empty()) {
        std::printf("%s\n", board_table(boards).c_str());
    }
    if (!census || boards.empty()) {
        complain(census ? "no FT2232H interface B found\n" + no_board_hint(boards, others)
                        : "the device census failed");
        return 1;
    }
    return 0;
}

// Whether standard error is a terminal that takes the cursor sequences the
// progress lines are redrawn with (Windows 10's console once asked to).
bool progress_terminal() {
    if (isatty(fileno(stderr)) == 0) {
        return false;
    }
#if defined(_WIN32)
    HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    return GetConsoleMode(console, &mode) != 0 &&
           SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
#else
    return true;
#endif
}

// A command on one board or several: write, verify, read, erase, id,
// protect, unprotect.
class BoardCommand {
  public:
    explicit BoardCommand(const Options& options) : options_(options), job_(job_options(options)) {}

    int run() {
        if (options_.lock && !options_.quiet) {
            complain(
                "--lock sets SRWD: while W# is held low the protection can no longer be changed "
                "on this board");
        }
        std::string error;
        // The image is read and checked whole before any board is touched.
        const bool with_image =
            options_.command == Command::kWrite || options_.command == Command::kVerify;
        ImageForm form{options_.format, options_.base, options_.base_given, options_.raw};
        if (with_image && !load_image(options_.path, image_, error, form)) {
            return refuse(options_, nullptr, error);
        }
        shown_ = with_image ? &image_ : nullptr;
        const bool records =
            options_.command == Command::kWrite || options_.command == Command::kErase ||
            options_.command == Command::kProtect || options_.command == Command::kUnprotect;
        const bool fields = !options_.fields.empty();
        if (records && !recorder_.open(options_.db, error, fields)) {
            return refuse(options_, shown_, error);
        }
        if (fields && !prepare_fields(error)) {
            return refuse(options_, shown_, error);
        }
        if (!choose_boards(error)) {
            return refuse(options_, shown_, error);
        }
        if (options_.command == Command::kRead && !choose_files(error)) {
            return refuse(options_, nullptr, error);
        }
        run_boards();
        return report();
    }

  private:
    // --field: the pools found in the recorder's store and the fields checked
    // against the chip and each other; what they lie over said once.
    bool prepare_fields(std::string& error) {
        std::string note;
        fields_ = FieldIssuer::prepare(options_.fields, recorder_.url(), image_, IMAGE_CHIP_SIZE,
                                       note, error);
        if (fields_ != nullptr && !note.empty() && !options_.quiet) {
            complain(note);
        }
        return fields_ != nullptr;
    }

    // The boards the options name, and their labels; false with `error` set.
    bool choose_boards(std::string& error) {
        std::uint32_t others = 0;
        if (!find_boards(found_, &others)) {
            error = "the device census failed";
            return false;
        }
        const bool none_free =
            std::none_of(found_.begin(), found_.end(), [](const Board& b) { return !b.busy; });
        if (none_free && (options_.all || options_.devices.empty())) {
            error = "no FT2232H interface B found\n" + no_board_hint(found_, others);
            return false;
        }
        if (options_.all) {
            boards_ = found_;
        } else if (!select_boards(found_, options_.devices, boards_, error)) {
            return false;
        }
        for (const Board& board : boards_) {
            // Named as among every board found, so that "board 1" is list's 1.
            labels_.push_back(board_label(board, found_));
        }
        return true;
    }

    // read: each board's file, each checked before the whole chip is read into it.
    bool choose_files(std::string& error) {
        files_ = outputs(options_.path, boards_);
        return std::all_of(files_.begin(), files_.end(),
                           [&](const std::string& file) { return check_writable(file, error); });
    }

    void run_boards() {
        Display display(labels_, progress_terminal(), options_.quiet);
        records_.resize(boards_.size());
        for (std::size_t i = 0; i < boards_.size(); ++i) {
            run_ids_.push_back(store_uuid());  // the record's ID, and its values' claim
        }
        auto run_one = [&](std::size_t i) {
            const Job job{&job_, &image_, fields_.get(), run_ids_[i], source_.host};
            records_[i] = run_board(job, boards_[i], static_cast<int>(i), display,
                                    files_.empty() ? "" : files_[i]);
            display.finish(static_cast<int>(i), records_[i].result);
        };
        interrupt_arm();
        if (boards_.size() == 1) {
            run_one(0);
        } else {
            // One thread per board, each with its own handle and link.
            std::vector<std::thread> threads;
            for (std::size_t i = 0; i < boards_.size(); ++i) {
                threads.emplace_back(run_one, i);
            }
            for (std::thread& thread : threads) {
                thread.join();
            }
        }
        interrupt_disarm();
    }

    // Each board's summary, what an interrupt left, the JSON; the run's status.
    int report() {
        int status = 0;
        std::string partly;  // the boards an interrupt left part written
        for (std::size_t i = 0; i < records_.size(); ++i) {
            BoardRecord& record = records_[i];
            record.board = boards_[i];
            status = worse_status(status, record.exit_status);
            if (record.result == "interrupted" && record.changed) {
                partly += (partly.empty() ? "" : ", ") + labels_[i];
            }
            if (!recorder_.record(RecordView{job_, shown_, record, true}, source_, run_ids_[i])) {
                status = worse_status(status, 1);
            }
            if (options_.command == Command::kId && record.exit_status == 0 && !options_.json) {
                // What id found is its result, as list's table is.
                std::printf("%s\n", summary_line(job_, labels_[i], record).c_str());
            } else if (!record.message.empty() || !options_.quiet) {
                complain(summary_line(job_, labels_[i], record));
            }
        }
        if (!partly.empty()) {
            say_partly(partly);
        }
        if (options_.json) {
            print_json(status);
        }
        return status;
    }

    void say_partly(const std::string& partly) const {
        const bool erase = options_.command == Command::kErase;
        const bool one = partly.find(", ") == std::string::npos;
        complain(std::string("interrupted while ") + (erase ? "erasing: " : "writing: ") + partly +
                 (one ? " is" : " are") + " left partly " + (erase ? "erased" : "written") +
                 "; running the same " + command_name(options_.command) + " again finishes " +
                 (one ? "it" : "them"));
    }

    void print_json(int status) const {
        auto record_json = [&](const BoardRecord& record) {
            return json_record(RecordView{job_, shown_, record, true});
        };
        if (records_.size() == 1 && !options_.all && options_.devices.size() <= 1) {
            std::printf("%s\n", record_json(records_[0]).c_str());
            return;
        }
        std::string out = "{\"command\": " + json_string(command_name(options_.command)) +
                          ", \"exit_status\": " + std::to_string(status) + ", \"boards\": [";
        for (std::size_t i = 0; i < records_.size(); ++i) {
            out += (i == 0 ? "\n" : ",\n") + record_json(records_[i]);
        }
        std::printf("%s\n]}\n", out.c_str());
    }

    const Options& options_;
    const JobOptions job_;
    LoadedImage image_;
    const LoadedImage* shown_ = nullptr;  // the image the records name
    std::vector<Board> found_;
    std::vector<Board> boards_;
    std::vector<std::string> labels_;
    std::vector<std::string> files_;
    std::vector<BoardRecord> records_;
    std::vector<std::string> run_ids_;     // each board's run
    Recorder recorder_;                    // the store named, if any
    std::unique_ptr<FieldIssuer> fields_;  // --field: each board's values
    const LogSource source_ = log_source(HEXFLASH_VERSION);
};

// serve and report: the line's figures from the store, live or for a period.
int look_at_the_line(const Options& options) {
    StoreUrl url;
    std::string error;
    if (!store_url(options.db, url, error)) {
        complain(error);
        return 1;
    }
    if (url.kind == StoreUrl::Kind::kNone) {
        complain(std::string(command_name(options.command)) + " needs a store, not none");
        return 1;
    }
    if (options.command == Command::kServe) {
        return web_serve(url, options.listen, HEXFLASH_VERSION);
    }
    return web_report(url, {options.history.since, options.history.until, options.html},
                      HEXFLASH_VERSION);
}

}  // namespace

int hexflash_main(int argc, char** argv) {
    Options options;
    std::string error;
    if (!parse_options(argc, argv, options, error)) {
        complain(error + "\nTry 'hexflash --help'.");
        return 1;
    }
    switch (options.command) {
        case Command::kHelp:
            std::fputs(options.help_on == Command::kNone ? usage_text()
                                                         : command_help(options.help_on).c_str(),
                       stdout);
            return 0;
        case Command::kVersion:
            std::printf("hexflash %s\n", HEXFLASH_VERSION);
            return 0;
        case Command::kList:
            return list(options);
        case Command::kWatch:
            return watch_boards(watch_options(options), HEXFLASH_VERSION, progress_terminal());
        case Command::kChips:
            std::fputs(chips_text(options.json).c_str(), stdout);
            return 0;
        case Command::kHistory:
            return history_command(options.db, options.history, options.json);
        case Command::kDbInit:
            return db_init_command(options.db);
        case Command::kPool:
            return pool_command(options);
        case Command::kServe:
        case Command::kReport:
            return look_at_the_line(options);
        default:
            return BoardCommand(options).run();
    }
}
