// The production line end to end: the built hexflash watches a simulated
// board whose boards come and go by present=, burns each, logs each line.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "burn.h"
#include "case_name.h"
#include "process.h"

namespace {

using namespace std::chrono_literals;

std::string text_of(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::vector<std::string> lines_of(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream text(text_of(path));
    for (std::string line; std::getline(text, line);) {
        lines.push_back(line);
    }
    return lines;
}

// One JSON object on one line, whole: braces and quotes balance, nothing after.
bool whole_object(const std::string& line) {
    int depth = 0;
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (quoted) {
            i += c == '\\' ? 1 : 0;
            quoted = c != '"';
        } else if (c == '"') {
            quoted = true;
        } else if (c == '{') {
            ++depth;
        } else if (c == '}' && --depth == 0) {
            return i + 1 == line.size();
        }
    }
    return false;
}

// The value of `key` as written ("\"passed\"", "34", "null").
std::string value_of(const std::string& line, const std::string& key) {
    std::size_t at = line.find("\"" + key + "\": ");
    if (at == std::string::npos) {
        return "";
    }
    at += key.size() + 4;
    return line.substr(at, line.find_first_of(",}", at) - at);
}

// Plugs in exactly `boards` by replacing the present= file in one rename.
void plug(const std::string& present, const std::string& boards) {
    write_file(present + ".new", boards);
    ASSERT_EQ(std::rename((present + ".new").c_str(), present.c_str()), 0);
}

bool wait_for(const std::function<bool()>& done, std::chrono::seconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// The part on the line's boards: the W25Q16JV, whose unique ID tells each
// board apart ("" for the M25P16, which has none).
constexpr const char kChip[] = ",chip=w25q16jv";

std::string small_image(const ScratchDir& scratch, const std::string& name, std::uint32_t seed) {
    std::string path = scratch.path(name);
    srecord_image(scratch, path, pattern(3000, seed), 0x10000, 32);
    return path;
}

// watch as a child process whose standard error goes to a file, so that a
// test sees the screen while it runs.
struct Watcher {
    pid_t pid = -1;
    std::string screen;

    Watcher(const std::vector<std::string>& args, const std::string& env, std::string screen_path)
        : screen(std::move(screen_path)) {
        std::vector<std::string> argv = {HEXFLASH_EXE, "watch"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::string variable = env;
        // The default record store and spool in the test's own folder, beside the screen.
        std::string state =
            "XDG_STATE_HOME=" + screen.substr(0, screen.find_last_of('/') + 1) + "state";
        pid = fork();
        if (pid == 0) {
            std::freopen(screen.c_str(), "w", stderr);
            putenv(variable.data());
            putenv(state.data());
            std::vector<char*> pointers;
            for (std::string& arg : argv) {
                pointers.push_back(arg.data());
            }
            pointers.push_back(nullptr);
            execv(HEXFLASH_EXE, pointers.data());
            _exit(127);
        }
    }
    bool shows(const std::string& text) const {
        return text_of(screen).find(text) != std::string::npos;
    }
    // The exit status; -1 after a kill at `limit`.
    int finish(std::chrono::seconds limit) {
        int status = 0;
        bool ended = wait_for([&] { return waitpid(pid, &status, WNOHANG) == pid; }, limit);
        if (!ended) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

TEST(Watch, EightBoardsPluggedTwoAtATimeAreEachBurnedAndLoggedOnce) {
    ScratchDir scratch;
    std::string image = small_image(scratch, "image.hex", 21);
    std::string present = scratch.path("present");
    std::string log = scratch.path("line.jsonl");
    plug(present, "");
    std::string sim =
        "sim:boards=8,timing=zero,flash=" + scratch.path("b%d.bin") + ",present=" + present + kChip;
    ProcessResult result;
    std::thread watch([&] {
        result = run_process({HEXFLASH_EXE, "watch", image, "--count", "8", "--log", log},
                             {"HEXBURN_DRIVER=" + sim, "XDG_STATE_HOME=" + scratch.path("state")},
                             "", 120);
    });
    for (std::size_t pair = 0; pair < 4; ++pair) {
        plug(present, std::to_string(2 * pair) + " " + std::to_string(2 * pair + 1));
        bool logged = wait_for([&] { return lines_of(log).size() >= 2 * (pair + 1); }, 60s);
        EXPECT_TRUE(logged) << "pair " << pair;
        if (!logged) {
            break;
        }
        plug(present, "");
    }
    watch.join();
    EXPECT_EQ(result.exit_status, 0) << result.err;
    std::vector<std::string> lines = lines_of(log);
    ASSERT_EQ(lines.size(), 8u) << text_of(log);
    std::set<std::string> locations, identities;
    for (const std::string& line : lines) {
        EXPECT_TRUE(whole_object(line)) << line;
        EXPECT_EQ(value_of(line, "result"), "\"passed\"") << line;
        EXPECT_EQ(value_of(line, "protected"), "false");
        locations.insert(value_of(line, "location"));
        identities.insert(value_of(line, "unique_id"));
    }
    EXPECT_EQ(locations.size(), 8u);
    if (kChip[0] == '\0') {
        // The M25P16's factory data bytes are zeros: no identity.
        EXPECT_EQ(identities, std::set<std::string>{"null"});
    } else {
        EXPECT_EQ(identities.size(), 8u);
        EXPECT_EQ(identities.count("null"), 0u);
    }
    Bytes hexburn_leaves = burn(scratch, image).flash;
    for (int k = 0; k < 8; ++k) {
        EXPECT_TRUE(read_bytes(scratch.path("b" + std::to_string(k) + ".bin")) == hexburn_leaves)
            << "board " << k;
    }
    EXPECT_NE(result.err.find("passed 8, failed 0"), std::string::npos) << result.err;
}

TEST(Watch, KilledDuringABurnLeavesOnlyWholeLinesAndNoPassForIt) {
    ScratchDir scratch;
    std::string image = scratch.path("full.hex");
    srecord_image(scratch, image, pattern(kFlashSize, 7), 0, 32);
    std::string present = scratch.path("present");
    std::string log = scratch.path("line.jsonl");
    plug(present, "0");
    Watcher watch({image, "--log", log},
                  "HEXBURN_DRIVER=sim:boards=2,timing=typ,flash=" + scratch.path("b%d.bin") +
                      ",present=" + present,
                  scratch.path("screen.txt"));
    ASSERT_GT(watch.pid, 0);
    bool first = wait_for([&] { return lines_of(log).size() == 1; }, 120s);
    plug(present, "0 1");
    bool burning = first && wait_for([&] { return watch.shows("0x0022 B          burning"); }, 30s);
    kill(watch.pid, SIGKILL);
    watch.finish(30s);
    ASSERT_TRUE(first && burning) << text_of(watch.screen);
    for (const std::string& line : lines_of(log)) {
        EXPECT_TRUE(whole_object(line)) << line;
        EXPECT_FALSE(value_of(line, "location") == "34" && value_of(line, "result") == "\"passed\"")
            << line;
    }
}

// --protect, then what a protected chip lets through.
struct ProtectStep {
    std::vector<std::string> args;  // after hexflash; IMAGE and OTHER stand for the files
    int exit_status;
    std::string says;  // on standard error or output
};

TEST(Protect, CoversTheChipRefusesOtherImagesUntilUnprotected) {
    ScratchDir scratch;
    std::string image = small_image(scratch, "image.hex", 1);
    std::string other = small_image(scratch, "other.hex", 2);
    std::string sim = "HEXBURN_DRIVER=sim:timing=zero,flash=" + scratch.path("chip.bin");
    const ProtectStep steps[] = {
        {{"write", "IMAGE", "--protect"}, 0, "the chip is write-protected"},
        {{"--json", "id"}, 0, "\"protected_sectors\": [0, 31]"},
        {{"write", "IMAGE"}, 0, "the chip is write-protected"},  // already in place
        {{"write", "OTHER"}, 1, "write-protected"},
        {{"unprotect"}, 0, "unprotected"},
        {{"write", "OTHER"}, 0, "written"},
        {{"--json", "id"}, 0, "\"protected_sectors\": []"},
        {{"protect"}, 0, "protected"},
        {{"write", "IMAGE", "--unprotect"}, 0, "the chip is write-protected"},
    };
    for (const ProtectStep& step : steps) {
        std::vector<std::string> argv = {HEXFLASH_EXE};
        std::string shown;
        for (const std::string& arg : step.args) {
            argv.push_back(arg == "IMAGE" ? image : arg == "OTHER" ? other : arg);
            shown += arg + " ";
        }
        ProcessResult result = run_process(argv, {sim});
        EXPECT_EQ(result.exit_status, step.exit_status) << shown << result.err;
        EXPECT_NE((result.out + result.err).find(step.says), std::string::npos)
            << shown << result.out << result.err;
        // No run sets SRWD without --lock, nor any other bit but BP.
        ProcessResult id = run_process({HEXFLASH_EXE, "--json", "id"}, {sim});
        std::size_t at = id.out.find("\"status_register\": ");
        ASSERT_NE(at, std::string::npos) << id.out;
        int status = std::stoi(id.out.substr(at + 19));
        EXPECT_EQ(status & ~0x1C, 0) << shown;
    }
    EXPECT_TRUE(read_bytes(scratch.path("chip.bin")) == burn(scratch, image).flash);
}

struct WatchCase {
    const char* name;
    std::string sim;                // more sim options
    std::string first, then;        // present= at the start, and once watch has looked
    std::vector<std::string> args;  // after IMAGE
    int exit_status;
    std::vector<std::string> logged;  // "LOCATION RESULT" per line, in order
};

class WatchCases : public testing::TestWithParam<WatchCase> {};

TEST_P(WatchCases, BurnLogAndExitAsTheLineExpects) {
    const WatchCase& c = GetParam();
    ScratchDir scratch;
    std::string image = small_image(scratch, "image.hex", 5);
    std::string present = scratch.path("present");
    std::string log = scratch.path("line.jsonl");
    plug(present, c.first);
    std::vector<std::string> args = {image, "--log", log};
    args.insert(args.end(), c.args.begin(), c.args.end());
    Watcher watch(args,
                  "HEXBURN_DRIVER=sim:boards=2,timing=zero,flash=" + scratch.path("b%d.bin") +
                      ",present=" + present + c.sim,
                  scratch.path("screen.txt"));
    ASSERT_GT(watch.pid, 0);
    ASSERT_TRUE(wait_for([&] { return watch.shows("watching for boards"); }, 30s));
    std::this_thread::sleep_for(600ms);  // past its first census
    plug(present, c.then);
    int status = watch.finish(60s);
    EXPECT_EQ(status, c.exit_status) << text_of(watch.screen);
    std::vector<std::string> lines = lines_of(log);
    std::vector<std::string> logged;
    for (const std::string& line : lines) {
        EXPECT_TRUE(whole_object(line)) << line;
        std::string result = value_of(line, "result");
        logged.push_back(value_of(line, "location") + " " + result.substr(1, result.size() - 2));
        if (result != "\"passed\"") {
            EXPECT_NE(value_of(line, "phase"), "null") << line;
            EXPECT_NE(value_of(line, "message"), "null") << line;
        }
    }
    EXPECT_EQ(logged, c.logged) << text_of(log);
}

INSTANTIATE_TEST_SUITE_P(Line, WatchCases,
                         testing::Values(WatchCase{"NewOnlyLeavesBoardsAlreadyThere",
                                                   "",
                                                   "0",
                                                   "0 1",
                                                   {"--new-only", "--count", "1"},
                                                   0,
                                                   {"34 passed"}},
                                         WatchCase{"DeviceByLocationTakesThatPortOnly",
                                                   "",
                                                   "0 1",
                                                   "0 1",
                                                   {"--device", "0x0022", "--count", "1"},
                                                   0,
                                                   {"34 passed"}},
                                         WatchCase{"FailedBoardIsCountedAndItsStatusWins",
                                                   ",fault=stuck-zero@0x1F000#1",
                                                   "0",
                                                   "0 1",
                                                   {"--count", "2"},
                                                   3,
                                                   {"18 passed", "34 failed"}},
                                         WatchCase{"CtrlCEndsTheBurnInHandCleanly",
                                                   ",fault=sigint@12#1",
                                                   "0",
                                                   "0 1",
                                                   {},
                                                   130,
                                                   {"18 passed", "34 interrupted"}}),
                         case_name<WatchCase>);

// A board pulled out in the middle of its burn fails alone, logged with the
// phase it was in; the others pass.
TEST(Watch, BoardPulledMidBurnFailsAloneWithItsPhase) {
    ScratchDir scratch;
    std::string image = scratch.path("full.hex");
    srecord_image(scratch, image, pattern(kFlashSize, 9), 0, 32);
    std::string present = scratch.path("present");
    std::string log = scratch.path("line.jsonl");
    plug(present, "0 1");
    Watcher watch({image, "--count", "2", "--log", log},
                  "HEXBURN_DRIVER=sim:boards=2,timing=typ,flash=" + scratch.path("b%d.bin") +
                      ",present=" + present,
                  scratch.path("screen.txt"));
    ASSERT_GT(watch.pid, 0);
    bool burning = wait_for([&] { return watch.shows("0x0022 B          burning"); }, 60s);
    plug(present, "0");
    int status = watch.finish(120s);
    ASSERT_TRUE(burning);
    EXPECT_EQ(status, 2) << text_of(watch.screen);
    std::vector<std::string> lines = lines_of(log);
    ASSERT_EQ(lines.size(), 2u) << text_of(log);
    for (const std::string& line : lines) {
        bool pulled = value_of(line, "location") == "34";
        EXPECT_EQ(value_of(line, "result"), pulled ? "\"failed\"" : "\"passed\"") << line;
        EXPECT_EQ(value_of(line, "phase") != "null", pulled) << line;
    }
    EXPECT_TRUE(watch.shows("passed 1, failed 1")) << text_of(watch.screen);
}

}  // namespace
