// Each board its own values, end to end: the built hexflash against
// simulated W25Q16JVs, the pools in a SQLite store of the test's own. What
// the chips hold is read back from their files (bit-reversed there, as the
// image's bytes are) and held against the records.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
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
#include "store/connect.h"
#include "store/json_reader.h"
#include "store/record_json.h"
#include "store/store.h"

namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kSerialAt = 0x1FF000;
constexpr std::uint32_t kMacAt = 0x1FF100;

std::vector<std::string> lines_in(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

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

// A store of the test's own with the line's two pools, made by pool add.
struct Line {
    ScratchDir scratch;
    std::string db = "sqlite:" + scratch.path("line.db");
    std::string image = scratch.path("image.hex");
    std::vector<std::string> env = {"XDG_STATE_HOME=" + scratch.path("state")};

    explicit Line(const std::string& serial_last = "999999") {
        srecord_image(scratch, image, pattern(3000, 11), 0x10000, 32);
        EXPECT_EQ(hexflash({"pool", "add", "serial", "--first", "1", "--last", serial_last,
                            "--form", "ascii:6", "--prefix", "OXA2-"})
                      .exit_status,
                  0);
        EXPECT_EQ(hexflash({"pool", "add", "mac", "--first", "02:00:00:00:00:00", "--last",
                            "02:00:00:00:ff:ff", "--form", "mac"})
                      .exit_status,
                  0);
    }
    // hexflash ARGS --db DB, with `driver` as its simulated boards.
    ProcessResult hexflash(std::vector<std::string> args, const std::string& driver = "") const {
        args.insert(args.begin(), HEXFLASH_EXE);
        args.push_back("--db");
        args.push_back(db);
        std::vector<std::string> with = env;
        if (!driver.empty()) {
            with.push_back("HEXBURN_DRIVER=sim:timing=zero,chip=w25q16jv," + driver);
        }
        ProcessResult result = run_process(args, with, "", 120);
        return result;
    }
    std::vector<StoreRecord> history(const std::vector<std::string>& filter = {}) const {
        std::vector<std::string> args = {"--json", "history"};
        args.insert(args.end(), filter.begin(), filter.end());
        ProcessResult result = hexflash(args);
        EXPECT_EQ(result.exit_status, 0) << result.err;
        std::vector<StoreRecord> records;
        for (const std::string& line : lines_in(result.out)) {
            StoreRecord record;
            std::string error;
            EXPECT_TRUE(store_record_from_json(line, record, error)) << error << ": " << line;
            records.push_back(record);
        }
        return records;
    }
    // pool list --json: "issued 8 spoiled 0 left ..." for pool `name`.
    std::string counts(const std::string& name) const {
        ProcessResult result = hexflash({"--json", "pool", "list"});
        EXPECT_EQ(result.exit_status, 0) << result.err;
        const std::string key = "\"name\": \"" + name + "\"";
        std::size_t at = result.out.find(key);
        if (at == std::string::npos) {
            return "no pool " + name;
        }
        std::size_t end = result.out.find('}', at);
        std::string object = "{" + result.out.substr(at, end - at) + "}";
        std::vector<JsonMember> members;
        std::string error;
        EXPECT_TRUE(json_read_object(object, members, error)) << error << ": " << object;
        std::string out;
        for (const JsonMember& m : members) {
            if (m.key == "issued" || m.key == "spoiled" || m.key == "left") {
                out += (out.empty() ? "" : " ") + m.key + " " + m.value;
            }
        }
        return out;
    }
};

// One member of a record's JSON object text, "" when absent.
std::string member(const std::string& object, const std::string& key) {
    std::vector<JsonMember> members;
    std::string error;
    EXPECT_TRUE(json_read_object(object, members, error)) << error << ": " << object;
    for (const JsonMember& m : members) {
        if (m.key == key) {
            return m.value;
        }
    }
    return "";
}

// What a chip file holds at `at`, in image terms (each byte bit-reversed back).
Bytes image_bytes(const std::string& chip, std::uint32_t at, std::size_t size) {
    Bytes flash = read_bytes(chip);
    Bytes out;
    for (std::size_t i = 0; i < size && at + i < flash.size(); ++i) {
        out.push_back(mirror(flash[at + i]));
    }
    return out;
}

std::string ascii_at(const std::string& chip) {
    Bytes bytes = image_bytes(chip, kSerialAt, 11);
    return std::string(bytes.begin(), bytes.end());
}

std::string mac_at(const std::string& chip) {
    Bytes bytes = image_bytes(chip, kMacAt, 6);
    std::string out;
    for (std::uint8_t b : bytes) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%s%02x", out.empty() ? "" : ":", b);
        out += hex;
    }
    return out;
}

bool blank(const std::string& chip) {
    Bytes flash = read_bytes(chip);
    return std::all_of(flash.begin(), flash.end(), [](std::uint8_t b) { return b == 0xFF; });
}

const std::vector<std::string> kFields = {"--field", "serial@0x1FF000", "--field", "mac@0x1FF100"};

std::vector<std::string> with_fields(std::vector<std::string> args) {
    args.insert(args.end(), kFields.begin(), kFields.end());
    return args;
}

// --- the line --------------------------------------------------------------------------------

TEST(LineFields, EightBoardsDistinctValuesInOrderOfIssueAndTheSameBoardKeepsThem) {
    Line line;
    plug(line.scratch.path("present"), "");
    const std::string driver = "boards=8,flash=" + line.scratch.path("b%d.bin") +
                               ",present=" + line.scratch.path("present");
    ProcessResult watch;
    std::thread run([&] {
        watch = line.hexflash(with_fields({"watch", line.image, "--count", "8"}), driver);
    });
    for (int pair = 0; pair < 4; ++pair) {
        plug(line.scratch.path("present"),
             std::to_string(2 * pair) + " " + std::to_string(2 * pair + 1));
        const std::size_t want = static_cast<std::size_t>(2 * (pair + 1));
        EXPECT_TRUE(
            wait_for([&] { return lines_in(line.hexflash({"history"}).out).size() >= want; }, 60s))
            << "pair " << pair;
        plug(line.scratch.path("present"), "");
    }
    run.join();
    ASSERT_EQ(watch.exit_status, 0) << watch.err;
    std::vector<StoreRecord> records = line.history();
    ASSERT_EQ(records.size(), 8u);
    std::map<std::string, std::string> serial_of_mac;
    for (const StoreRecord& r : records) {
        EXPECT_EQ(r.result, "passed");
        EXPECT_EQ(r.field_states, R"({"serial": "issued", "mac": "issued"})");
        const std::string chip =
            line.scratch.path("b" + std::to_string(r.location / 16 - 1) + ".bin");
        const std::string serial = member(r.fields, "serial");
        const std::string mac = member(r.fields, "mac");
        EXPECT_EQ(ascii_at(chip), serial) << chip;
        EXPECT_EQ(mac_at(chip), mac) << chip;
        serial_of_mac[mac] = serial;
    }
    // Both pools from their first value on, taken together: the nth serial
    // with the nth MAC.
    ASSERT_EQ(serial_of_mac.size(), 8u);
    int n = 0;
    for (const auto& [mac, serial] : serial_of_mac) {
        EXPECT_EQ(mac, "02:00:00:00:00:0" + std::to_string(n));
        EXPECT_EQ(serial, "OXA2-00000" + std::to_string(n + 1));
        ++n;
    }
    EXPECT_EQ(line.counts("serial"), "issued 8 spoiled 0 left 999991");

    // One of them again, in another process on another port: its unique ID given
    // by uid=, its chip blank.
    const StoreRecord& board = records[2];
    const std::string again = line.scratch.path("again.bin");
    ProcessResult rerun = line.hexflash(with_fields({"write", line.image}),
                                        "flash=" + again + ",uid=" + *board.unique_id);
    ASSERT_EQ(rerun.exit_status, 0) << rerun.err;
    std::vector<StoreRecord> kept = line.history({"--unique-id", *board.unique_id});
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[0].fields, board.fields);
    EXPECT_EQ(kept[0].field_states, R"({"serial": "kept", "mac": "kept"})");
    EXPECT_EQ(ascii_at(again), member(board.fields, "serial"));
    EXPECT_EQ(mac_at(again), member(board.fields, "mac"));
    EXPECT_EQ(line.counts("serial"), "issued 8 spoiled 0 left 999991");
    EXPECT_EQ(line.counts("mac"), "issued 8 spoiled 0 left 65528");
    // And found again by its value.
    std::vector<StoreRecord> found =
        line.history({"--field", "serial=" + member(board.fields, "serial")});
    EXPECT_EQ(found.size(), 2u);
}

// watch as a child whose standard error goes to a file, to see the screen as it runs.
struct Watcher {
    pid_t pid = -1;
    std::string screen;

    Watcher(std::vector<std::string> argv, std::vector<std::string> env, std::string screen_path)
        : screen(std::move(screen_path)) {
        argv.insert(argv.begin(), HEXFLASH_EXE);
        pid = fork();
        if (pid == 0) {
            std::freopen(screen.c_str(), "w", stderr);
            for (std::string& variable : env) {
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
    bool shows(const std::string& text) const {
        std::ifstream file(screen);
        std::stringstream all;
        all << file.rdbuf();
        return all.str().find(text) != std::string::npos;
    }
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

TEST(LineFields, WithoutTheStoreABoardWaitsRatherThanBurnWithoutItsValues) {
    Line line;
    plug(line.scratch.path("present"), "");
    const std::string chip = line.scratch.path("b0.bin");
    const Bytes older = pattern(kFlashSize, 6);
    write_bytes(chip, older);
    const std::string path = line.db.substr(std::string("sqlite:").size());
    std::vector<std::string> env = line.env;
    env.push_back("HEXBURN_DRIVER=sim:timing=zero,chip=w25q16jv,flash=" + chip +
                  ",present=" + line.scratch.path("present"));
    Watcher watch(with_fields({"watch", line.image, "--count", "1", "--db", line.db}), env,
                  line.scratch.path("screen.txt"));
    ASSERT_GT(watch.pid, 0);
    ASSERT_TRUE(wait_for([&] { return watch.shows("watching for boards"); }, 30s));
    std::string error;
    {
        // Another writer holds the store for longer than a take waits.
        auto holder = sqlite_connect(path, false, error);
        ASSERT_NE(holder, nullptr) << error;
        ASSERT_TRUE(holder->exec("BEGIN EXCLUSIVE")) << holder->error();
        plug(line.scratch.path("present"), "0");
        EXPECT_TRUE(wait_for([&] { return watch.shows("waiting for the store"); }, 40s));
        EXPECT_TRUE(read_bytes(chip) == older) << "burned without its values";
        holder->rollback();
    }
    EXPECT_EQ(watch.finish(60s), 0);
    std::vector<StoreRecord> records = line.history();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].fields, R"({"serial": "OXA2-000001", "mac": "02:00:00:00:00:00"})");
    EXPECT_EQ(ascii_at(chip), "OXA2-000001");
}

// --- a run that ends early: spoiled or released, exactly at the first erase -------------------

// The number of the D2XX call (as fault=unplug@N counts them) whose write
// carried the run's first erase or program instruction, from a trace.
std::uint64_t first_change_call(const std::string& trace) {
    std::ifstream in(trace);
    std::uint64_t calls = 0;
    for (std::string line; std::getline(in, line);) {
        const bool counted = line.rfind("FT_", 0) == 0 && line.rfind("FT_Open", 0) != 0 &&
                             line.rfind("FT_CreateDeviceInfoList", 0) != 0 &&
                             line.rfind("FT_GetDeviceInfoDetail", 0) != 0;
        calls += counted ? 1 : 0;
        // The instruction as the transport frames it: 0x11, its length - 1, the
        // opcode (erases 4, 32, 64 KiB; a page program).
        for (const char* marker : {"11030020", "11030052", "110300d8", "11030102"}) {
            if (counted && line.rfind("FT_Write", 0) == 0 &&
                line.find(marker) != std::string::npos) {
                return calls;
            }
        }
    }
    return 0;
}

struct EndCase {
    std::string name;
    int after;          // unplugged this many calls after the first change's
    std::string state;  // the values' state
    std::string next;   // the serial the next board takes
};

class RunEnds : public testing::TestWithParam<EndCase> {};

TEST_P(RunEnds, ValuesSpoiledOnceTheChipMayHaveChangedElseReleased) {
    const EndCase& c = GetParam();
    Line line;
    // Over older firmware, so the run erases first.
    const std::string traced = line.scratch.path("traced.bin");
    write_bytes(traced, pattern(kFlashSize, 5));
    Line dry;  // the same run on a store of its own, traced
    ProcessResult first = dry.hexflash(with_fields({"write", line.image}),
                                       "flash=" + traced + ",trace=" + line.scratch.path("trace"));
    ASSERT_EQ(first.exit_status, 0) << first.err;
    const std::uint64_t at = first_change_call(line.scratch.path("trace"));
    ASSERT_GT(at, 0u);

    const std::string pulled = line.scratch.path("pulled.bin");
    write_bytes(pulled, pattern(kFlashSize, 5));
    ProcessResult run = line.hexflash(with_fields({"write", line.image}),
                                      "flash=" + pulled + ",fault=unplug@" +
                                          std::to_string(at + static_cast<std::uint64_t>(c.after)));
    EXPECT_EQ(run.exit_status, 2) << run.err;
    std::vector<StoreRecord> records = line.history();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].fields, R"({"serial": "OXA2-000001", "mac": "02:00:00:00:00:00"})");
    EXPECT_EQ(records[0].field_states,
              "{\"serial\": \"" + c.state + "\", \"mac\": \"" + c.state + "\"}");
    ProcessResult show = line.hexflash({"pool", "show", "serial", "OXA2-000001"});
    EXPECT_NE(show.out.find(": " + c.state), std::string::npos) << show.out;

    // The next board, a board of its own.
    const std::string next = line.scratch.path("next.bin");
    ASSERT_EQ(
        line.hexflash(with_fields({"write", line.image}), "flash=" + next + ",uid=77").exit_status,
        0);
    EXPECT_EQ(ascii_at(next), c.next);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RunEnds,
    testing::Values(EndCase{"PulledAsTheEraseWent", 1, "spoiled", "OXA2-000002"},
                    EndCase{"PulledJustBeforeTheErase", 0, "released", "OXA2-000001"}),
    case_name<EndCase>);

TEST(LineFields, ABoardFailingAtIdentificationTakesNothingTheNextTakesTheFirst) {
    Line line;
    ProcessResult run = line.hexflash(with_fields({"--all", "write", line.image}),
                                      "boards=2,chip=none#0,flash=" + line.scratch.path("b%d.bin"));
    EXPECT_EQ(run.exit_status, 2) << run.err;
    EXPECT_EQ(ascii_at(line.scratch.path("b1.bin")), "OXA2-000001");
    EXPECT_EQ(mac_at(line.scratch.path("b1.bin")), "02:00:00:00:00:00");
    EXPECT_EQ(line.counts("serial"), "issued 1 spoiled 0 left 999998");
}

TEST(LineFields, UsedUpPoolTouchesNoBoardTheOthersBurn) {
    Line line("3");
    ProcessResult run = line.hexflash(with_fields({"--all", "write", line.image}),
                                      "boards=5,flash=" + line.scratch.path("b%d.bin"));
    EXPECT_EQ(run.exit_status, 1) << run.err;
    std::set<std::string> serials;
    int untouched = 0;
    for (int k = 0; k < 5; ++k) {
        const std::string chip = line.scratch.path("b" + std::to_string(k) + ".bin");
        if (blank(chip)) {
            ++untouched;
        } else {
            serials.insert(ascii_at(chip));
        }
    }
    EXPECT_EQ(untouched, 2);
    EXPECT_EQ(serials, (std::set<std::string>{"OXA2-000001", "OXA2-000002", "OXA2-000003"}));
    std::vector<StoreRecord> records = line.history();
    ASSERT_EQ(records.size(), 5u);
    int used_up = 0;
    for (const StoreRecord& r : records) {
        if (r.message.value_or("").find("pool serial is used up (OXA2-000001..OXA2-000003)") !=
            std::string::npos) {
            ++used_up;
            EXPECT_EQ(r.fields, "{}");
        }
    }
    EXPECT_EQ(used_up, 2);
    EXPECT_EQ(line.counts("serial"), "issued 3 spoiled 0 left 0");
    EXPECT_EQ(line.counts("mac"), "issued 3 spoiled 0 left 65533");
}

// --- refused before any board is touched ----------------------------------------------------

struct BadCase {
    std::string name;
    std::vector<std::string> args;  // IMAGE stands for the image
    std::string says;
};

class BadFields : public testing::TestWithParam<BadCase> {};

TEST_P(BadFields, ExitOneNoBoardTouchedNoPoolChanged) {
    const BadCase& c = GetParam();
    Line line;
    const std::string before = line.hexflash({"--json", "pool", "list"}).out;
    std::vector<std::string> args;
    for (const std::string& arg : c.args) {
        args.push_back(arg == "IMAGE" ? line.image : arg);
    }
    const std::string chip = line.scratch.path("chip.bin");
    ProcessResult run = line.hexflash(args, "flash=" + chip);
    EXPECT_EQ(run.exit_status, 1) << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    EXPECT_FALSE(std::filesystem::exists(chip)) << "a board was touched";
    EXPECT_EQ(line.hexflash({"--json", "pool", "list"}).out, before);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadFields,
    testing::Values(
        BadCase{"FieldPastTheChipsEnd",
                {"write", "IMAGE", "--field", "serial@0x1FFFF8"},
                "reaches past the chip's end"},
        BadCase{"OverlappingFields",
                {"write", "IMAGE", "--field", "serial@0x1FF000", "--field", "mac@0x1FF004"},
                "overlap"},
        BadCase{"UnknownPool", {"write", "IMAGE", "--field", "imei@0x1FF000"}, "no pool imei"},
        BadCase{
            "UnknownPoolOnTheLine", {"watch", "IMAGE", "--field", "imei@0x1FF000"}, "no pool imei"},
        BadCase{"FirstAboveLast",
                {"pool", "add", "batch", "--first", "10", "--last", "9", "--form", "be:2"},
                "is above --last"},
        BadCase{"MacWithABadByte",
                {"pool", "add", "mac2", "--first", "02:00:00:00:00:0g", "--last",
                 "02:00:00:00:ff:ff", "--form", "mac"},
                "02:00:00:00:00:0g"},
        BadCase{"AsciiTooNarrow",
                {"pool", "add", "serial2", "--first", "1", "--last", "1000", "--form", "ascii:3"},
                "1000"},
        BadCase{"PoolThatExists",
                {"pool", "add", "serial", "--first", "1", "--last", "9", "--form", "ascii:1"},
                "pool serial exists already"}),
    case_name<BadCase>);

}  // namespace
