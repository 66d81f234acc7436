// The fault matrix: one small image burned once for every single fault the
// simulated board offers, at every call, write cycle or address where it can
// strike. Whatever the fault, the run must end in bounded real time and either
// report exactly one failure, with the flash showing nothing written after the
// point where the run stopped, or - only for a fault the program ignores by
// design - burn the image exactly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "burn.h"
#include "process.h"

namespace {

// --- the image -------------------------------------------------------------------

struct DataRecord {
    std::uint32_t address;
    Bytes flash;  // the bytes as the chip must hold them (bit-reversed)
};

struct Image {
    std::string path;
    std::string text;
    std::vector<DataRecord> records;
    Bytes flash;  // the whole chip after a clean burn
};

std::string hex_line(int type, std::uint32_t offset, const Bytes& data) {
    Bytes fields = {static_cast<std::uint8_t>(data.size()), static_cast<std::uint8_t>(offset >> 8),
                    static_cast<std::uint8_t>(offset), static_cast<std::uint8_t>(type)};
    fields.insert(fields.end(), data.begin(), data.end());
    unsigned sum = 0;
    std::string line = ":";
    char pair[3];
    for (std::uint8_t byte : fields) {
        sum += byte;
        std::snprintf(pair, sizeof pair, "%02X", byte);
        line += pair;
    }
    std::snprintf(pair, sizeof pair, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    return line + pair + "\n";
}

// 36 data records: 16 inside the erase-checked first 2 KiB, one of them across
// a page boundary; 12 of 32 bytes above 64 KiB after a type 04 record, one
// across another; 8 above 128 KiB after a type 02 record, one across a third.
Image make_image() {
    Image image;
    image.flash.assign(kFlashSize, 0xFF);
    auto add = [&image](std::uint32_t base, std::uint32_t offset, std::size_t size, int seed) {
        Bytes data = pattern(size, static_cast<std::uint32_t>(seed));
        image.text += hex_line(0, offset, data);
        DataRecord record{base + offset, {}};
        for (std::size_t i = 0; i < size; ++i) {
            record.flash.push_back(mirror(data[i]));
            image.flash[record.address + i] = record.flash.back();
        }
        image.records.push_back(record);
    };
    int seed = 100;
    for (std::uint32_t i = 0; i < 16; ++i) {
        add(0, 0xC8 + 16 * i, 16, seed++);
    }
    image.text += hex_line(4, 0, {0x00, 0x01});
    for (std::uint32_t i = 0; i < 12; ++i) {
        add(0x10000, 0xF10 + 32 * i, 32, seed++);
    }
    image.text += hex_line(2, 0, {0x20, 0x00});
    for (std::uint32_t i = 0; i < 8; ++i) {
        add(0x20000, 0xFC + 16 * i, 16, seed++);
    }
    image.text += ":00000001FF\n";
    return image;
}

// --- where a call falls in the run, from the board's trace ----------------------

enum class Stage { kDiscovery, kSetup, kErase, kEraseCheck, kRecord };

struct Call {
    Stage stage;
    int record;   // data record in flight (kRecord)
    bool poll;    // a status poll (RDSR) or its answer
    bool config;  // a set-up write whose result mpsse_init ignores
    bool release;
    bool starts_cycle;  // a chip erase or page program: the chip goes busy
};

struct Trace {
    std::vector<Call> writes;              // by FT_Write ordinal - 1
    std::vector<Call> reads;               // by FT_Read ordinal - 1
    Stage last_stage = Stage::kDiscovery;  // where the run stopped (before the release)
    int last_record = -1;
};

// Flash instructions and the release write, as the trace shows their bytes.
const std::string kWriteEnable = "06";
const std::string kChipErase = "c7";
const std::string kPageProgram = "02";
const std::string kReadData = "03";
const std::string kReadStatus = "05";
const std::string kReleaseWrite = "80088b";

// The instruction of a flash transaction "80808b" + "1307II..." or "11LLHHII...".
std::string instruction(const std::string& bytes) {
    if (bytes.compare(0, 6, "80808b") != 0) {
        return "";
    }
    if (bytes.compare(6, 4, "1307") == 0) {
        return bytes.substr(10, 2);
    }
    return bytes.compare(6, 2, "11") == 0 ? bytes.substr(12, 2) : "";
}

Trace read_trace(const std::string& path) {
    Trace trace;
    Call now{Stage::kDiscovery, -1, false, false, false, false};
    bool read_back_sent = false;  // the record in flight has sent its READ
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        std::string word = line.substr(0, line.find(' '));
        if (word == "FT_Open" && line.ends_with("-> 0")) {
            now.stage = Stage::kSetup;
            trace.last_stage = now.stage;
        } else if (word == "FT_Write") {
            std::string bytes = line.substr(9, line.find(' ', 9) - 9);
            std::string ins = instruction(bytes);
            now.release = bytes == kReleaseWrite;
            now.config = now.stage == Stage::kSetup && ins.empty() && bytes != "aa" &&
                         bytes != "ab" && !now.release;
            now.poll = ins == kReadStatus;
            now.starts_cycle = ins == kChipErase || ins == kPageProgram;
            if (ins == kWriteEnable && now.stage == Stage::kSetup) {
                now.stage = Stage::kErase;
            } else if (ins == kReadData && now.stage == Stage::kErase) {
                now.stage = Stage::kEraseCheck;
            } else if (ins == kWriteEnable && (now.stage == Stage::kEraseCheck ||
                                               (now.stage == Stage::kRecord && read_back_sent))) {
                now.stage = Stage::kRecord;
                ++now.record;
                read_back_sent = false;
            }
            read_back_sent = read_back_sent || (now.stage == Stage::kRecord && ins == kReadData);
            trace.writes.push_back(now);
            if (!now.release) {
                trace.last_stage = now.stage;
                trace.last_record = now.record;
            }
        } else if (word == "FT_Read") {
            Call answer = now;
            answer.config = false;
            answer.starts_cycle = false;
            trace.reads.push_back(answer);
        }
    }
    return trace;
}

// --- the expectations ------------------------------------------------------------

// Every failure message of the program; a run prints exactly one of them.
const char* const kFailureMessages[] = {
    "Insufficient arguments!\n",
    "Can't find FT2232H devices for flash programming!\n",
    "Incorrect DeviceID!\n",
    "Can't open FT2232H device!\n",
    "fail on initialize FT2232H device!\n",
    "fail to synchronize MPSSE with command 0xaa \n",
    "fail to synchronize MPSSE with command 0xab \n",
    "Can't erase flash!\n",
    "Erasing error!\n",
    "Incorrect file format!\n",
    "Incorrect extended address record in file!\n",
    "Image does not fit into flash!\n",
    "Write error into flash!\n",
    "Writing check error!\n",
    "Incompleted file error!\n",
};
const std::string kSuccess = "\nImage has been written successfully\n";
const std::string kDone = "Process completed.\n";

// What may end a run that stopped in a stage, with its exit statuses.
struct Ending {
    Stage stage;
    const char* message;
    std::vector<int> exit_statuses;
};

const Ending kEndings[] = {
    {Stage::kDiscovery, "Can't find FT2232H devices for flash programming!\n", {1}},
    {Stage::kDiscovery, "Can't open FT2232H device!\n", {1}},
    {Stage::kSetup, "fail on initialize FT2232H device!\n", {2}},
    {Stage::kSetup, "fail to synchronize MPSSE with command 0xaa \n", {2}},
    {Stage::kSetup, "fail to synchronize MPSSE with command 0xab \n", {2}},
    {Stage::kErase, "Can't erase flash!\n", {2}},
    // A stale answer byte left in the queue by a failed or short status poll
    // reads back as "other bytes": status 3 then, 2 for a failed read.
    {Stage::kEraseCheck, "Erasing error!\n", {2, 3}},
    {Stage::kRecord, "Write error into flash!\n", {2}},
    {Stage::kRecord, "Writing check error!\n", {2, 3}},
};

int occurrences(const std::string& text, const std::string& word) {
    int count = 0;
    for (auto at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
        ++count;
    }
    return count;
}

struct Outcome {
    ProcessResult process;
    std::string out;  // after the banner
    Bytes flash;
    Trace trace;
};

// The flash after a failure: nothing past the record in flight was written,
// and every record before it is exact.
std::string check_flash(const Image& image, const Bytes& before, const Outcome& run) {
    const Bytes& flash = run.flash;
    if (flash.size() != kFlashSize) {
        return "the flash file holds " + std::to_string(flash.size()) + " bytes";
    }
    Bytes erased(kFlashSize, 0xFF);
    switch (run.trace.last_stage) {
        case Stage::kDiscovery:
        case Stage::kSetup:
            return flash == before ? "" : "the flash changed before the erase";
        case Stage::kErase:
            return flash == before || flash == erased ? "" : "the flash is neither kept nor erased";
        case Stage::kEraseCheck:
            return flash == erased ? "" : "the flash is not erased";
        case Stage::kRecord:
            break;
    }
    const auto in_flight = static_cast<std::size_t>(run.trace.last_record);
    Bytes written = erased;
    for (std::size_t r = 0; r < in_flight; ++r) {
        const DataRecord& record = image.records[r];
        std::copy(record.flash.begin(), record.flash.end(), written.begin() + record.address);
    }
    // The record in flight may have reached the chip, whole or in part.
    const DataRecord& current = image.records[in_flight];
    for (std::size_t i = 0; i < current.flash.size(); ++i) {
        std::uint8_t byte = flash[current.address + i];
        if (byte == current.flash[i]) {
            written[current.address + i] = byte;
        }
    }
    if (flash == written) {
        return "";
    }
    auto wrong = std::mismatch(flash.begin(), flash.end(), written.begin()).first - flash.begin();
    return "flash byte " + std::to_string(wrong) + " is wrong after a stop in record " +
           std::to_string(in_flight);
}

// Empty when the run behaved; otherwise what went wrong.
std::string check(const Image& image, const Bytes& before, const std::string& clean_out, bool burns,
                  const Outcome& run) {
    if (run.process.timed_out) {
        return "did not end in time";
    }
    int failures = occurrences(run.out, "Can't open " + image.path + "!\n");
    for (const char* message : kFailureMessages) {
        failures += occurrences(run.out, message);
    }
    bool success = occurrences(run.out, kSuccess) != 0;
    if (success != burns) {
        return success ? "reported success" : "failed where the fault changes nothing: " + run.out;
    }
    if (success) {
        if (run.process.exit_status != 0 || run.out != clean_out) {
            return "success with other output or status " + std::to_string(run.process.exit_status);
        }
        return run.flash == image.flash ? "" : "reported success, but the flash is not the image";
    }
    if (failures != 1) {
        return std::to_string(failures) + " failure messages in: " + run.out;
    }
    for (const Ending& ending : kEndings) {
        bool opened = ending.stage != Stage::kDiscovery;
        std::string tail = std::string(ending.message) + (opened ? kDone : "");
        if (!run.out.ends_with(tail)) {
            continue;
        }
        if (ending.stage != run.trace.last_stage) {
            return "stopped in another stage than its message says: " + run.out;
        }
        bool status_fits = false;
        for (int status : ending.exit_statuses) {
            status_fits = status_fits || status == run.process.exit_status;
        }
        if (!status_fits) {
            return "exit status " + std::to_string(run.process.exit_status) + " for " +
                   ending.message;
        }
        return check_flash(image, before, run);
    }
    return "unexpected ending: " + run.out;
}

// --- running --------------------------------------------------------------------

// The flash file in one read (a byte-wise stream read costs more than the burn).
Bytes read_flash(const std::string& path) {
    Bytes bytes(kFlashSize + 1);
    std::FILE* file = std::fopen(path.c_str(), "rb");
    std::size_t n = file == nullptr ? 0 : std::fread(bytes.data(), 1, bytes.size(), file);
    if (file != nullptr) {
        std::fclose(file);
    }
    bytes.resize(n);
    return bytes;
}

class Rig {
  public:
    Rig() : image_(make_image()), before_(pattern(kFlashSize, 77)) {
        image_.path = scratch_.path("image.hex");
        write_file(image_.path, image_.text);
    }
    const Image& image() const { return image_; }
    const Bytes& before() const { return before_; }

    // One burn into a board holding `before`; `traced` keeps a trace of it.
    Outcome burn(const std::string& sim_options, bool traced = true) const {
        std::string flash = scratch_.path("flash.bin");
        std::string trace = scratch_.path("trace.txt");
        write_bytes(flash, before_);
        std::remove(trace.c_str());
        std::string driver = "HEXBURN_DRIVER=sim:flash=" + flash + ",timing=zero," + sim_options;
        if (traced) {
            driver += ",trace=" + trace;
        }
        Outcome run;
        // Generous for a sanitized build: the slowest case takes 2 s unsanitized.
        run.process = run_process({HEXBURN_EXE, image_.path}, {driver}, "", 60);
        std::size_t banner_end = run.process.out.find("\n\r");
        run.out = banner_end == std::string::npos ? run.process.out
                                                  : run.process.out.substr(banner_end + 2);
        run.flash = read_flash(flash);
        if (traced) {
            run.trace = read_trace(trace);
        }
        return run;
    }

  private:
    ScratchDir scratch_;
    Image image_;
    Bytes before_;
};

struct Case {
    std::string fault;
    bool burns = false;  // the fault must not keep the image from being burned
    // Cases that poll a stuck chip ten thousand times or more run without a
    // trace; where they stop is known from the clean run.
    bool traced = true;
    Stage stage = Stage::kDiscovery;
    int record = -1;
};

// Faults that must change nothing: at calls whose result the program ignores
// (the clock, pin and loop-back writes of the set-up, the release write), and
// a status poll that never reached the chip (a failed poll counts as busy).
bool ignorable(const Call& call, bool write_fail) {
    return call.config || call.release || (call.poll && write_fail);
}

std::vector<Case> all_cases(const Image& image, const Trace& clean) {
    std::vector<Case> cases;
    for (std::size_t n = 1; n <= clean.writes.size(); ++n) {
        const Call& call = clean.writes[n - 1];
        cases.push_back({"write-fail@" + std::to_string(n), ignorable(call, true)});
        cases.push_back({"write-short@" + std::to_string(n), ignorable(call, false)});
    }
    for (std::size_t n = 1; n <= clean.reads.size(); ++n) {
        cases.push_back({"read-fail@" + std::to_string(n)});
        cases.push_back({"read-short@" + std::to_string(n)});
    }
    std::uint64_t cycle = 0;
    for (const Call& call : clean.writes) {
        if (call.starts_cycle) {
            cases.push_back(
                {"stuck-busy@" + std::to_string(++cycle), false, false, call.stage, call.record});
        }
    }
    cases.push_back({"stuck-busy", false, false, Stage::kErase});
    for (const char* fault :
         {"no-echo", "setup-fail", "open-fail", "census-fail", "detail-fail@1"}) {
        cases.push_back({fault});
    }
    cases.push_back({"detail-fail@0", true});  // interface A, never a candidate
    // A bit stuck at 0 matters where the erase check reads, and where the
    // image writes a 1 into bit 0; elsewhere reading 0 there is right.
    for (std::uint32_t address : {0u, 0x7FFu, 0x800u, 0x1FFFFFu}) {
        bool unwritten_and_unchecked = address >= 2048;
        cases.push_back({"stuck-zero@" + std::to_string(address), unwritten_and_unchecked});
    }
    // The first and last byte of every record: the compare must cover each
    // record whole.
    for (const DataRecord& record : image.records) {
        for (std::size_t i : {std::size_t{0}, record.flash.size() - 1}) {
            std::uint32_t address = record.address + static_cast<std::uint32_t>(i);
            bool harmless = address >= 2048 && (record.flash[i] & 1) == 0;
            cases.push_back({"stuck-zero@" + std::to_string(address), harmless});
        }
    }
    return cases;
}

std::uint64_t report_value(const std::string& path, const std::string& key) {
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        auto at = line.find("\"" + key + "\": ");
        if (at != std::string::npos) {
            return std::stoull(line.substr(at + key.size() + 4));
        }
    }
    return 0;
}

TEST(FaultMatrix, EveryFaultAtEveryPositionEndsCleanly) {
    Rig rig;
    ScratchDir scratch;
    std::string report = scratch.path("report.json");
    Outcome clean = rig.burn("report=" + report);
    ASSERT_EQ(clean.process.exit_status, 0) << clean.out;
    ASSERT_TRUE(clean.out.ends_with(kSuccess + kDone)) << clean.out;
    ASSERT_TRUE(clean.flash == rig.image().flash);
    ASSERT_EQ(clean.trace.last_stage, Stage::kRecord);
    ASSERT_EQ(clean.trace.last_record + 1, static_cast<int>(rig.image().records.size()));
    std::uint64_t write_cycles =
        report_value(report, "bulk_erases") + report_value(report, "page_programs");
    ASSERT_EQ(write_cycles, 1u + 36u + 3u);  // three records cross a page: two programs each

    std::vector<Case> cases = all_cases(rig.image(), clean.trace);
    // Every write cycle of the chip has its stuck-busy case.
    EXPECT_EQ(std::count_if(cases.begin(), cases.end(),
                            [](const Case& c) { return c.fault.starts_with("stuck-busy@"); }),
              static_cast<std::ptrdiff_t>(write_cycles));
    int failed = 0;
    int succeeded = 0;
    for (const Case& c : cases) {
        Outcome run = rig.burn("fault=" + c.fault, c.traced);
        if (!c.traced) {
            run.trace.last_stage = c.stage;
            run.trace.last_record = c.record;
        }
        std::string problem = check(rig.image(), rig.before(), clean.out, c.burns, run);
        succeeded += run.out.find(kSuccess) != std::string::npos;
        if (!problem.empty()) {
            ++failed;
            ADD_FAILURE() << "fault=" << c.fault << ": " << problem;
        }
    }
    std::printf(
        "fault matrix: %zu cases, %d failures (%d burned the image past a fault that changes "
        "nothing)\n",
        cases.size(), failed, succeeded);
    EXPECT_GT(cases.size(), 500u);
}

}  // namespace
