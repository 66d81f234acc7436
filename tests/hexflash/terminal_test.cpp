// hexflash's progress on a narrow terminal: four boards written at once in a
// pseudo-terminal 40 columns wide, one failing verification. What the
// operator ends up seeing is rebuilt with a small terminal model (autowrap,
// carriage return, cursor up, erase line) and checked row by row.
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "burn.h"

namespace {

struct TerminalRun {
    int exit_status = -1;
    std::string bytes;  // all the terminal received
};

TerminalRun run_in_terminal(const std::vector<std::string>& args, const std::string& env,
                            unsigned short columns) {
    winsize size{};
    size.ws_row = 24;
    size.ws_col = columns;
    int master = -1;
    pid_t child = forkpty(&master, nullptr, nullptr, &size);
    if (child == 0) {
        putenv(const_cast<char*>(env.c_str()));
        std::vector<char*> argv;
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    TerminalRun run;
    char block[4096];
    for (ssize_t n; (n = read(master, block, sizeof block)) != 0;) {
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            break;  // EIO: the child closed its side
        }
        run.bytes.append(block, static_cast<std::size_t>(n));
    }
    close(master);
    int status = 0;
    waitpid(child, &status, 0);
    run.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// The rows of a terminal `columns` wide after it received `bytes`: printing
// wraps at the last column; \r, \n, ESC[nA and ESC[K act as a VT100's do.
std::vector<std::string> screen(const std::string& bytes, std::size_t columns) {
    std::vector<std::string> rows(1);
    std::size_t row = 0, column = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        char ch = bytes[i];
        if (ch == '\x1b' && i + 1 < bytes.size() && bytes[i + 1] == '[') {
            std::size_t end = bytes.find_first_not_of("0123456789;", i + 2);
            int n = end > i + 2 ? std::atoi(bytes.substr(i + 2, end - i - 2).c_str()) : 1;
            if (bytes[end] == 'A') {
                row -= std::min<std::size_t>(row, static_cast<std::size_t>(n));
            } else if (bytes[end] == 'K') {
                rows[row].resize(std::min(rows[row].size(), column));
            }
            i = end;
            continue;
        }
        if (ch == '\r') {
            column = 0;
        } else if (ch == '\n') {
            ++row;
        } else {
            if (column == columns) {
                ++row;
                column = 0;
            }
            rows.resize(std::max(rows.size(), row + 1));
            rows[row].resize(std::max(rows[row].size(), column + 1), ' ');
            rows[row][column++] = ch;
            continue;
        }
        rows.resize(std::max(rows.size(), row + 1));
    }
    return rows;
}

std::size_t count(const std::string& text, const std::string& piece) {
    std::size_t n = 0;
    for (auto at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
        ++n;
    }
    return n;
}

TEST(Terminal, FourBoardsOnFortyColumns) {
    ScratchDir scratch;
    std::string hex = scratch.path("image.hex");
    // Byte 0x100 is 0x00: board 2's stuck-one bit makes it read 0x01 (0x80 in image form).
    write_file(hex, record_text(0, 0x100, Bytes(16, 0x00)) + "\n" +
                        record_text(0, 0x30000, pattern(64, 3)) + "\n:00000001FF\n");
    TerminalRun run =
        run_in_terminal({HEXFLASH_EXE, "--all", "write", hex},
                        "HEXBURN_DRIVER=sim:boards=4,timing=typ,flash=" + scratch.path("b%d.bin") +
                            ",fault=stuck-one@0x100#2",
                        40);
    EXPECT_EQ(run.exit_status, 3) << run.bytes;
    std::vector<std::string> rows = screen(run.bytes, 40);
    std::string shown;
    for (const std::string& row : rows) {
        shown += row + "\n";
    }
    // Each board's progress row once, alone on it, and the failing one not "done".
    for (int board = 0; board < 4; ++board) {
        std::string label = "board " + std::to_string(board) + ": ";
        std::size_t progress_rows = 0;
        for (const std::string& row : rows) {
            EXPECT_LE(count(row, "board "), 1u) << shown;
            progress_rows += row.rfind(label, 0) == 0 ? 1 : 0;
        }
        EXPECT_EQ(progress_rows, 1u) << label << "\n" << shown;
        std::string result = board == 2 ? "mismatch" : "written";
        EXPECT_NE(shown.find(label + result + "\n"), std::string::npos) << shown;
    }
    EXPECT_EQ(count(shown, "done"), 0u) << shown;
    // The reason whole, past the width, wrapped by the terminal and not cut.
    EXPECT_NE(run.bytes.find("hexflash: board 2: mismatch: the chip differs from the image in 1 "
                             "byte, first at 0x000100 (chip 0x80, image 0x00); at 0x000100\r\n"),
              std::string::npos)
        << run.bytes;
    // An overall ETA while the chip is still being read.
    bool eta_in_read = false;
    for (std::size_t at = run.bytes.find("\x1b[K"); at != std::string::npos;
         at = run.bytes.find("\x1b[K", at + 1)) {
        std::string line =
            run.bytes.substr(at + 3, run.bytes.find_first_of("\r\n\x1b", at + 3) - at - 3);
        EXPECT_LE(line.size(), 40u) << line;
        eta_in_read = eta_in_read || (line.find(" read ") != std::string::npos &&
                                      line.find("ETA ") != std::string::npos);
    }
    EXPECT_TRUE(eta_in_read) << run.bytes;
}

}  // namespace
