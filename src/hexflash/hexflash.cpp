#include "hexflash/hexflash.h"

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "hexflash/boards.h"
#include "hexflash/job.h"
#include "hexflash/options.h"
#include "hexflash/report.h"
#include "host/interrupt.h"
#include "image/image_file.h"

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

void complain(const std::string& message) {
    std::fprintf(stderr, "hexflash: %s\n", message.c_str());
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
    bool census = find_boards(boards);
    if (options.json) {
        std::string out = "{\"devices\": [";
        for (std::size_t i = 0; i < boards.size(); ++i) {
            const Board& b = boards[i];
            out += std::string(i == 0 ? "\n" : ",\n") + "  {\"index\": " + std::to_string(b.index) +
                   ", \"serial\": " + json_string(b.serial) +
                   ", \"description\": " + json_string(b.description) +
                   ", \"location\": " + std::to_string(b.location) +
                   ", \"busy\": " + (b.busy ? "true" : "false") + "}";
        }
        std::printf("%s%s]}\n", out.c_str(), boards.empty() ? "" : "\n");
    } else {
        std::fputs(board_table(boards).c_str(), stdout);
    }
    if (!census || boards.empty()) {
        complain(census ? "no FT2232H interface B found" : "the device census failed");
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
    std::string error;
    // The image is read and checked whole before any board is touched.
    if (with_image && !load_image(options.path, image, error)) {
        return refuse(options, nullptr, error);
    }
    const LoadedImage* shown = with_image ? &image : nullptr;
    std::vector<Board> found;
    if (!find_boards(found)) {
        return refuse(options, shown, "the device census failed");
    }
    std::vector<Board> boards;
    if (options.all) {
        boards = found;
        if (boards.empty()) {
            return refuse(options, shown, "no FT2232H interface B found");
        }
    } else if (!select_boards(found, options.devices, boards, error)) {
        return refuse(options, shown, error);
    }

    std::vector<std::string> labels;
    for (const Board& board : boards) {
        // Blank EEPROMs all say "B": with several boards the index tells them apart.
        std::string index = "#" + std::to_string(board.index);
        labels.push_back(board.serial.empty() ? index
                         : boards.size() > 1  ? board.serial + " " + index
                                              : board.serial);
    }
    Display display(labels, progress_terminal(), options.quiet);
    Job job{&options, &image};
    std::vector<BoardRecord> records(boards.size());
    interrupt_arm();
    if (boards.size() == 1) {
        records[0] = run_board(job, boards[0], 0, display);
        display.finish(0);
    } else {
        // One thread per board, each with its own handle and link.
        std::vector<std::thread> threads;
        for (std::size_t i = 0; i < boards.size(); ++i) {
            threads.emplace_back([&, i] {
                records[i] = run_board(job, boards[i], static_cast<int>(i), display);
                display.finish(static_cast<int>(i));
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
    }
    interrupt_disarm();

    int status = 0;
    for (std::size_t i = 0; i < records.size(); ++i) {
        BoardRecord& record = records[i];
        record.board = boards[i];
        status = worse(status, record.exit_status);
        if (options.command == Command::kId && record.exit_status == 0 && !options.json) {
            // What id found is its result, as list's table is.
            std::printf("%s\n", summary_line(options, labels[i], record).c_str());
        } else if (!record.message.empty() || !options.quiet) {
            complain(summary_line(options, labels[i], record));
        }
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

}  // namespace

int hexflash_main(int argc, char** argv) {
    Options options;
    std::string error;
    if (!parse_options(argc, argv, options, error)) {
        complain(error);
        std::fputs("Try 'hexflash --help'.\n", stderr);
        return 1;
    }
    switch (options.command) {
        case Command::kHelp:
            std::fputs(usage_text(), stdout);
            return 0;
        case Command::kVersion:
            std::printf("hexflash %s\n", HEXFLASH_VERSION);
            return 0;
        case Command::kList:
            return list(options);
        case Command::kChips:
            std::fputs(chips_text(options.json).c_str(), stdout);
            return 0;
        default:
            return run(options);
    }
}
