#include "hexflash/hexflash.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "hexflash/boards.h"
#include "hexflash/job.h"
#include "hexflash/options.h"
#include "hexflash/report.h"
#include "hexflash/watch.h"
#include "host/interrupt.h"
#include "image/image_file.h"
#include "store/store.h"
#include "web/report_file.h"
#include "web/serve.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
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

// 3 over 2 over 1 over 0; an interrupt over all.
int worse(int a, int b) {
    auto rank = [](int status) { return status > 3 ? 4 : status; };
    return rank(b) > rank(a) ? b : a;
}

// A failure before any board was touched: its message, and with --json its record.
int refuse(const Options& options, const LoadedImage* image, const std::string& message) {
    complain(message);
    if (options.json) {
        BoardRecord record;
        record.result = "refused";
        record.exit_status = 1;
        record.message = message;
        std::printf("%s\n", json_record(options, image, record, false).c_str());
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
            out += std::string(i == 0 ? "\n" : ",\n") + "  {\"index\": " + std::to_string(b.index) +
                   ", \"number\": " + std::to_string(b.number) +
                   ", \"serial\": " + json_string(b.serial) +
                   ", \"description\": " + json_string(b.description) +
                   ", \"location\": " + std::to_string(b.location) +
                   ", \"busy\": " + (b.busy ? "true" : "false") + "}";
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

int run(const Options& options) {
    LoadedImage image;
    bool with_image = options.command == Command::kWrite || options.command == Command::kVerify;
    if (options.lock && !options.quiet) {
        std::fprintf(stderr,
                     "hexflash: --lock sets SRWD: while W# is held low the protection can no "
                     "longer be changed on this board\n");
    }
    std::string error;
    // The image is read and checked whole before any board is touched.
    ImageForm form{options.format, options.base, options.base_given, options.raw};
    if (with_image && !load_image(options.path, image, error, form)) {
        return refuse(options, nullptr, error);
    }
    const LoadedImage* shown = with_image ? &image : nullptr;
    std::vector<Board> found;
    std::uint32_t others = 0;
    if (!find_boards(found, &others)) {
        return refuse(options, shown, "the device census failed");
    }
    bool none_free =
        std::none_of(found.begin(), found.end(), [](const Board& b) { return !b.busy; });
    if (none_free && (options.all || options.devices.empty())) {
        return refuse(options, shown,
                      "no FT2232H interface B found\n" + no_board_hint(found, others));
    }
    std::vector<Board> boards;
    if (options.all) {
        boards = found;
    } else if (!select_boards(found, options.devices, boards, error)) {
        return refuse(options, shown, error);
    }
    std::vector<std::string> files;
    if (options.command == Command::kRead) {
        // Each file checked before 2 MiB are read into it.
        files = outputs(options.path, boards);
        for (const std::string& file : files) {
            if (!check_writable(file, error)) {
                return refuse(options, nullptr, error);
            }
        }
    }

    std::vector<std::string> labels;
    for (const Board& board : boards) {
        // Named as among every board found, so that "board 1" is list's 1.
        labels.push_back(board_label(board, found));
    }
    Display display(labels, progress_terminal(), options.quiet);
    Job job{&options, &image};
    std::vector<BoardRecord> records(boards.size());
    interrupt_arm();
    if (boards.size() == 1) {
        records[0] = run_board(job, boards[0], 0, display, files.empty() ? "" : files[0]);
        display.finish(0, records[0].result);
    } else {
        // One thread per board, each with its own handle and link.
        std::vector<std::thread> threads;
        for (std::size_t i = 0; i < boards.size(); ++i) {
            threads.emplace_back([&, i] {
                records[i] = run_board(job, boards[i], static_cast<int>(i), display,
                                       files.empty() ? "" : files[i]);
                display.finish(static_cast<int>(i), records[i].result);
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
    }
    interrupt_disarm();

    int status = 0;
    std::string partly;  // the boards an interrupt left part written
    for (std::size_t i = 0; i < records.size(); ++i) {
        BoardRecord& record = records[i];
        record.board = boards[i];
        status = worse(status, record.exit_status);
        if (record.result == "interrupted" && record.changed) {
            partly += (partly.empty() ? "" : ", ") + labels[i];
        }
        if (options.command == Command::kId && record.exit_status == 0 && !options.json) {
            // What id found is its result, as list's table is.
            std::printf("%s\n", summary_line(options, labels[i], record).c_str());
        } else if (!record.message.empty() || !options.quiet) {
            complain(summary_line(options, labels[i], record));
        }
    }
    if (!partly.empty()) {
        bool erase = options.command == Command::kErase;
        complain(std::string("interrupted while ") + (erase ? "erasing: " : "writing: ") + partly +
                 (partly.find(", ") == std::string::npos ? " is" : " are") + " left partly " +
                 (erase ? "erased" : "written") + "; running the same " +
                 command_name(options.command) + " again finishes " +
                 (partly.find(", ") == std::string::npos ? "it" : "them"));
    }
    if (options.json) {
        if (records.size() == 1 && !options.all && options.devices.size() <= 1) {
            std::printf("%s\n", json_record(options, shown, records[0], true).c_str());
        } else {
            std::string out = "{\"command\": " + json_string(command_name(options.command)) +
                              ", \"exit_status\": " + std::to_string(status) + ", \"boards\": [";
            for (std::size_t i = 0; i < records.size(); ++i) {
                out += (i == 0 ? "\n" : ",\n") + json_record(options, shown, records[i], true);
            }
            std::printf("%s\n]}\n", out.c_str());
        }
    }
    return status;
}

// serve and report: the store's figures, live or for a period.
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
    ReportRequest request;
    if (!options.since.empty()) {
        request.since = options.since;
    }
    if (!options.until.empty()) {
        request.until = options.until;
    }
    request.out = options.html;
    return web_report(url, request, HEXFLASH_VERSION);
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
            return watch_boards(options, HEXFLASH_VERSION, progress_terminal());
        case Command::kServe:
        case Command::kReport:
            return look_at_the_line(options);
        case Command::kChips:
            std::fputs(chips_text(options.json).c_str(), stdout);
            return 0;
        default:
            return run(options);
    }
}
