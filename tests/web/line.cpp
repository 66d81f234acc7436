#include "line.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

#include "process.h"

namespace {

using namespace std::chrono_literals;

// The part on the line's boards: its unique ID tells each board apart.
constexpr char kPart[] = ",chip=w25q16jv";

bool wait_for(const std::function<bool()>& done, std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

}  // namespace

void plug(const std::string& present, const std::string& boards) {
    write_file(present + ".new", boards);
    ASSERT_EQ(std::rename((present + ".new").c_str(), present.c_str()), 0);
}

std::string line_image(const ScratchDir& scratch) {
    const std::string path = scratch.path("line.hex");
    srecord_image(scratch, path, pattern(3000, 29), 0x10000, 32);
    return path;
}

std::vector<std::string> line_env(const ScratchDir& scratch, const std::string& driver) {
    return {"HEXBURN_DRIVER=" + driver, "XDG_STATE_HOME=" + scratch.path("state")};
}

LineWatch::LineWatch(const std::vector<std::string>& args, const std::vector<std::string>& env,
                     std::string screen)
    : screen_(std::move(screen)) {
    std::vector<std::string> argv = {HEXFLASH_EXE, "watch"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> variables = env;
    pid_ = fork();
    if (pid_ == 0) {
        std::freopen(screen_.c_str(), "w", stderr);
        for (std::string& variable : variables) {
            putenv(variable.data());
        }
        std::vector<char*> pointers;
        for (std::string& arg : argv) {
            pointers.push_back(arg.data());
        }
        pointers.push_back(nullptr);
        execv(HEXFLASH_EXE, pointers.data());
        _exit(127);
    }
}

LineWatch::~LineWatch() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

std::string LineWatch::screen() const {
    std::ifstream file(screen_, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

bool LineWatch::shows(const std::string& text) const {
    return screen().find(text) != std::string::npos;
}

int LineWatch::finish(int seconds) {
    int status = 0;
    const bool ended = wait_for([&] { return waitpid(pid_, &status, WNOHANG) == pid_; },
                                std::chrono::seconds(seconds));
    if (!ended) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int LineWatch::stop(int seconds) {
    kill(pid_, SIGINT);
    return finish(seconds);
}

void fill_line(const ScratchDir& scratch, const std::string& db) {
    // Eight boards plugged in at once, each burned and passed.
    const std::string image = line_image(scratch);
    const std::string present = scratch.path("present");
    plug(present, "0 1 2 3 4 5 6 7");
    ProcessResult eight =
        run_process({HEXFLASH_EXE, "watch", image, "--count", "8", "--db", db},
                    line_env(scratch, "sim:boards=8,timing=zero,flash=" + scratch.path("a%d.bin") +
                                          ",present=" + present + kPart),
                    "", 120);
    ASSERT_EQ(eight.exit_status, 0) << eight.err;

    // One board pulled out while a whole chip's image goes on.
    const std::string full = scratch.path("full.bin");
    write_bytes(full, pattern(kFlashSize, 31));
    plug(present, "0");
    LineWatch pulled({full, "--count", "1", "--db", db},
                     line_env(scratch, "sim:boards=8,timing=typ,flash=" + scratch.path("b%d.bin") +
                                           ",present=" + present + kPart),
                     scratch.path("pulled.txt"));
    const bool burning = wait_for([&] { return pulled.shows("0x0012 B          burning"); }, 60s);
    plug(present, "");
    ASSERT_TRUE(burning) << pulled.screen();
    ASSERT_EQ(pulled.finish(120), 2) << pulled.screen();

    // One more by write --db, on a board whose EEPROM holds markup for a serial.
    const std::string census = scratch.path("census.txt");
    write_file(census, std::string("6\t<img src=x>A\tDual RS232-HS A\n6\t") + kMarkupSerial +
                           "\tDual RS232-HS B\n");
    ProcessResult one =
        run_process({HEXFLASH_EXE, "write", image, "--db", db},
                    line_env(scratch, "sim:census=" + census +
                                          ",timing=zero,flash=" + scratch.path("c.bin") + kPart),
                    "", 60);
    ASSERT_EQ(one.exit_status, 0) << one.err;
}
