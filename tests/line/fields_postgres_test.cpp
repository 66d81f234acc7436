// Four stations of a line taking values from one PostgreSQL store at once:
// the built hexflash's watches against simulated boards and the throw-away
// server of pg_server.h; skipped when there is none.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "burn.h"
#include "pg_server.h"
#include "process.h"
#include "store/json_reader.h"
#include "store/record_json.h"

namespace {

constexpr int kStations = 4;
constexpr int kBoards = 8;
constexpr int kPulled = 5;  // station 0's board that is pulled after its first erase

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

// "OXA2-000042" -> 42.
int serial_number(const std::string& serial) {
    return serial.size() == 11 ? std::stoi(serial.substr(5)) : -1;
}

std::string chip_serial(const std::string& chip) {
    Bytes flash = read_bytes(chip);
    std::string out;
    for (std::size_t i = 0; i < 11 && 0x1FF000 + i < flash.size(); ++i) {
        out += static_cast<char>(mirror(flash[0x1FF000 + i]));
    }
    return out;
}

// The D2XX call (as fault=unplug@N counts them) whose write carried the first
// erase instruction of a traced run.
std::uint64_t first_erase_call(const std::string& trace) {
    std::ifstream in(trace);
    std::uint64_t calls = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("FT_", 0) != 0 || line.rfind("FT_Open", 0) == 0 ||
            line.rfind("FT_CreateDeviceInfoList", 0) == 0 ||
            line.rfind("FT_GetDeviceInfoDetail", 0) == 0) {
            continue;
        }
        ++calls;
        for (const char* erase : {"11030020", "11030052", "110300d8"}) {
            if (line.rfind("FT_Write", 0) == 0 && line.find(erase) != std::string::npos) {
                return calls;
            }
        }
    }
    return 0;
}

std::string uid_of(int station, int board) {
    char text[24];
    std::snprintf(text, sizeof text, "%016" PRIx64,
                  static_cast<std::uint64_t>(0xC0FFEE0000000000ULL) +
                      static_cast<std::uint64_t>(station * 16 + board));
    return text;
}

ProcessResult hexflash(std::vector<std::string> args, const std::vector<std::string>& env = {}) {
    args.insert(args.begin(), HEXFLASH_EXE);
    return run_process(args, env, "", 120);
}

void add_pools(const std::string& db) {
    EXPECT_EQ(hexflash({"pool", "add", "serial", "--first", "1", "--last", "999999", "--form",
                        "ascii:6", "--prefix", "OXA2-", "--db", db})
                  .exit_status,
              0);
    EXPECT_EQ(hexflash({"pool", "add", "mac", "--first", "02:00:00:00:00:00", "--last",
                        "02:00:00:00:ff:ff", "--form", "mac", "--db", db})
                  .exit_status,
              0);
}

TEST(FieldsPostgres, FourWatchesNeverTheSameValueTwiceContiguousButTheSpoiled) {
    REQUIRE_SERVER();
    ScratchDir scratch;
    const std::string image = scratch.path("image.hex");
    srecord_image(scratch, image, pattern(3000, 31), 0x10000, 32);
    const std::vector<std::string> fields = {"--field", "serial@0x1FF000", "--field",
                                             "mac@0x1FF100"};
    const std::string sim = "HEXBURN_DRIVER=sim:timing=zero,chip=w25q16jv,";

    // Where the first erase goes out, from the same run traced on a store of its own.
    const std::string dry_db = "sqlite:" + scratch.path("dry.db");
    add_pools(dry_db);
    write_bytes(scratch.path("dry.bin"), pattern(kFlashSize, 4));
    std::vector<std::string> dry = {"watch", image, "--count", "1", "--db", dry_db};
    dry.insert(dry.end(), fields.begin(), fields.end());
    ASSERT_EQ(
        hexflash(dry, {sim + "flash=" + scratch.path("dry.bin") + ",trace=" + scratch.path("trace"),
                       "XDG_STATE_HOME=" + scratch.path("dry")})
            .exit_status,
        0);
    const std::uint64_t erase = first_erase_call(scratch.path("trace"));
    ASSERT_GT(erase, 0u);

    const std::string url = fresh_database("line_fields");
    add_pools(url);
    std::vector<ProcessResult> results(kStations);
    std::vector<std::thread> stations;
    for (int station = 0; station < kStations; ++station) {
        const std::string name = "jig-" + std::to_string(station);
        std::string driver = sim + "boards=8,flash=" + scratch.path(name + "-b%d.bin") +
                             ",uid=" + uid_of(station, 0);
        if (station == 0) {
            // Over older firmware, pulled once its first erase went out.
            write_bytes(scratch.path(name + "-b" + std::to_string(kPulled) + ".bin"),
                        pattern(kFlashSize, 4));
            driver += ",fault=unplug@" + std::to_string(erase + 1) + "#" + std::to_string(kPulled);
        }
        std::vector<std::string> args = {"watch", image, "--count", "8", "--db", url};
        args.insert(args.end(), fields.begin(), fields.end());
        stations.emplace_back([&, station, args, driver, name] {
            results[static_cast<std::size_t>(station)] =
                hexflash(args, {driver, "XDG_STATE_HOME=" + scratch.path(name)});
        });
    }
    for (std::thread& station : stations) {
        station.join();
    }
    for (int station = 0; station < kStations; ++station) {
        EXPECT_EQ(results[static_cast<std::size_t>(station)].exit_status, station == 0 ? 2 : 0)
            << results[static_cast<std::size_t>(station)].err;
    }

    ProcessResult history = hexflash({"--json", "history", "--db", url});
    ASSERT_EQ(history.exit_status, 0) << history.err;
    std::map<std::string, std::string> chip_of;  // unique ID -> chip file
    for (int station = 0; station < kStations; ++station) {
        for (int board = 0; board < kBoards; ++board) {
            chip_of[uid_of(station, board)] = scratch.path("jig-" + std::to_string(station) + "-b" +
                                                           std::to_string(board) + ".bin");
        }
    }
    std::set<int> issued, spoiled;
    std::set<std::string> macs;
    std::istringstream lines(history.out);
    int records = 0;
    for (std::string line; std::getline(lines, line); ++records) {
        StoreRecord r;
        std::string error;
        ASSERT_TRUE(store_record_from_json(line, r, error)) << error;
        const std::string serial = member(r.fields, "serial");
        const std::string state = member(r.field_states, "serial");
        EXPECT_EQ(member(r.field_states, "mac"), state);
        macs.insert(member(r.fields, "mac"));
        EXPECT_TRUE((state == "issued" ? issued : spoiled).insert(serial_number(serial)).second)
            << serial << " twice";
        if (state == "issued") {
            EXPECT_EQ(r.result, "passed");
            EXPECT_EQ(chip_serial(chip_of[r.unique_id.value_or("")]), serial);
        } else {
            EXPECT_EQ(state, "spoiled");
            EXPECT_EQ(r.unique_id, uid_of(0, kPulled));
        }
    }
    EXPECT_EQ(records, kStations * kBoards);
    EXPECT_EQ(issued.size(), 31u);
    EXPECT_EQ(spoiled.size(), 1u);
    EXPECT_EQ(macs.size(), 32u);
    std::set<int> all = issued;
    all.insert(spoiled.begin(), spoiled.end());
    ASSERT_EQ(all.size(), 32u);
    EXPECT_EQ(*all.begin(), 1);
    EXPECT_EQ(*all.rbegin(), 32);
}

}  // namespace
