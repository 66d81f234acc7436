// The fault matrix: one small image burned once for every single fault the
// simulated board offers, at every call, write cycle or address where it can
// strike, and once for a short read together with a stuck bit in the record
// the read would have shifted. Whatever the fault, the run must end within
// the wait bounds and either report exactly one failure, with the flash
// showing nothing written after the point where the run stopped, or burn the
// image exactly, every byte of it read back from the chip as written.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "burn.h"
#include "process.h"

namespace {

constexpr std::uint64_t FLASH_ERASE_S = 120;  // an erase gives up after this long

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

// 36 data records: 16 inside the erase-checked first 2 KiB, one of them across
// a page boundary; 12 of 32 bytes above 64 KiB after a type 04 record, one
// across another; 8 above 128 KiB after a type 02 record, one across a third.
Image make_image() {
    Image image;
    image.flash.assign(kFlashSize, 0xFF);
    auto add = [&image](std::uint32_t base, std::uint32_t offset, std::size_t size, int seed) {
        Bytes data = pattern(size, static_cast<std::uint32_t>(seed));
        image.text += record_text(0, offset, data) + "\n";
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
    image.text += record_text(4, 0, {0x00, 0x01}) + "\n";
    for (std::uint32_t i = 0; i < 12; ++i) {
        add(0x10000, 0xF10 + 32 * i, 32, seed++);
    }
    image.text += record_text(2, 0, {0x20, 0x00}) + "\n";
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
    // 2 for a failed or short read, 3 for a byte that is not 0xFF.
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
    std::uint64_t virtual_seconds = 0;  // the board's clock at the end, whole seconds
    std::string out;                    // after the banner
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

// What a fault must do to the burn.
enum class Expect {
    kFails,   // the run must stop with one failure
    kBurns,   // the fault changes nothing: a perfect burn
    kEither,  // either; a burn must still be perfect
};

// Every "stuck-zero@A" and "stuck-one@A" in a fault list must agree with the
// image wherever a data record puts a byte: there the chip reads the image
// back only if so. Empty when it does.
std::string check_stuck_bits(const Image& image, const std::string& fault) {
    for (const char* kind : {"stuck-zero@", "stuck-one@"}) {
        auto at = fault.find(kind);
        if (at == std::string::npos) {
            continue;
        }
        const auto address = std::stoul(fault.substr(at + std::strlen(kind)));
        const std::uint8_t bit = kind[6] == 'z' ? 0 : 1;
        for (const DataRecord& record : image.records) {
            if (address >= record.address && address < record.address + record.flash.size() &&
                (record.flash[address - record.address] & 1) != bit) {
                return "reported success, but the chip reads " + std::string(kind) +
                       std::to_string(address) + " otherwise than the image";
            }
        }
    }
    return "";
}

// Empty when the run behaved; otherwise what went wrong.
std::string check(const Image& image, const Bytes& before, const std::string& clean_out,
                  const std::string& fault, Expect expect, const Outcome& run) {
    if (run.process.timed_out) {
        return "did not end in time";
    }
    int failures = occurrences(run.out, "Can't open " + image.path + "!\n");
    for (const char* message : kFailureMessages) {
        failures += occurrences(run.out, message);
    }
    bool success = occurrences(run.out, kSuccess) != 0;
    if (success && expect == Expect::kFails) {
        return "reported success";
    }
    if (!success && expect == Expect::kBurns) {
        return "failed where the fault changes nothing: " + run.out;
    }
    if (success) {
        if (run.process.exit_status != 0 || run.out != clean_out) {
            return "success with other output or status " + std::to_string(run.process.exit_status);
        }
        if (run.flash != image.flash) {
            return "reported success, but the flash is not the image";
        }
        return check_stuck_bits(image, fault);
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
        std::string report = scratch_.path("report.json");
        write_bytes(flash, before_);
        std::remove(trace.c_str());
        std::remove(report.c_str());
        std::string driver = "HEXBURN_DRIVER=sim:flash=" + flash + ",timing=zero,report=" + report +
                             "," + sim_options;
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
        run.virtual_seconds = report_value(report, "virtual_seconds");
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
    std::string fault;  // one or more, joined by ",fault="
    Expect expect = Expect::kFails;
    // Cases that poll a stuck chip for the erase's two minutes run without a
    // trace; where they stop is known from the clean run.
    bool traced = true;
    Stage stage = Stage::kDiscovery;
    int record = -1;
};

// What a fault at this call does. Nothing at calls whose result the program
// ignores (the release write) or at a status poll that fails (it counts as
// busy, its leftovers are drained, and the next poll asks again). A poll
// written short leaves the engine waiting for the rest of a command, which
// the next frame completes: that may cost the run or nothing.
Expect at_call(const Call& call, bool write_short) {
    if (call.release || (call.poll && !write_short)) {
        return Expect::kBurns;
    }
    return call.poll ? Expect::kEither : Expect::kFails;
}

// Stuck at `bit`, the chip reads the image back at `address` unless a record
// puts the other bit there; at 0 it fails the erase check of the first 2 KiB.
Expect stuck(const Image& image, std::uint32_t address, int bit) {
    if (bit == 0 && address < 2048) {
        return Expect::kFails;
    }
    for (const DataRecord& record : image.records) {
        if (address >= record.address && address < record.address + record.flash.size()) {
            return (record.flash[address - record.address] & 1) == bit ? Expect::kBurns
                                                                       : Expect::kFails;
        }
    }
    return Expect::kBurns;
}

std::string stuck_fault(std::uint32_t address, int bit) {
    return (bit == 0 ? "stuck-zero@" : "stuck-one@") + std::to_string(address);
}

std::vector<Case> all_cases(const Image& image, const Trace& clean) {
    std::vector<Case> cases;
    for (std::size_t n = 1; n <= clean.writes.size(); ++n) {
        const Call& call = clean.writes[n - 1];
        cases.push_back({"write-fail@" + std::to_string(n), at_call(call, false)});
        cases.push_back({"write-short@" + std::to_string(n), at_call(call, true)});
    }
    for (std::size_t n = 1; n <= clean.reads.size(); ++n) {
        const Expect expect = at_call(clean.reads[n - 1], false);
        cases.push_back({"read-fail@" + std::to_string(n), expect});
        cases.push_back({"read-short@" + std::to_string(n), expect});
    }
    std::uint64_t cycle = 0;
    for (const Call& call : clean.writes) {
        if (call.starts_cycle) {
            cases.push_back({"stuck-busy@" + std::to_string(++cycle), Expect::kFails, false,
                             call.stage, call.record});
        }
    }
    cases.push_back({"stuck-busy", Expect::kFails, false, Stage::kErase});
    for (const char* fault :
         {"no-echo", "setup-fail", "open-fail", "census-fail", "detail-fail@1"}) {
        cases.push_back({fault});
    }
    cases.push_back({"detail-fail@0", Expect::kBurns});  // interface A, never a candidate
    // Stuck bits where the erase check reads and where nothing is written.
    for (std::uint32_t address : {0u, 0x7FFu, 0x800u, 0x1FFFFFu}) {
        for (int bit : {0, 1}) {
            cases.push_back({stuck_fault(address, bit), stuck(image, address, bit)});
        }
    }
    // The first and last byte of every record: the compare must cover each
    // record whole.
    for (const DataRecord& record : image.records) {
        for (std::size_t i : {std::size_t{0}, record.flash.size() - 1}) {
            std::uint32_t address = record.address + static_cast<std::uint32_t>(i);
            for (int bit : {0, 1}) {
                cases.push_back({stuck_fault(address, bit), stuck(image, address, bit)});
            }
        }
    }
    // A short read in a record (its status polls and its read-back) with a
    // bit stuck at the last byte of that record or the first of the next:
    // were the answers shifted by one, that byte would be compared with its
    // neighbour's, or with nothing.
    for (std::size_t n = 1; n <= clean.reads.size(); ++n) {
        const Call& read = clean.reads[n - 1];
        if (read.stage != Stage::kRecord) {
            continue;
        }
        const auto r = static_cast<std::size_t>(read.record);
        std::vector<std::uint32_t> addresses = {
            image.records[r].address + static_cast<std::uint32_t>(image.records[r].flash.size()) -
            1};
        if (r + 1 < image.records.size()) {
            addresses.push_back(image.records[r + 1].address);
        }
        for (std::uint32_t address : addresses) {
            for (int bit : {0, 1}) {
                const Expect bit_expect = stuck(image, address, bit);
                cases.push_back(
                    {"read-short@" + std::to_string(n) + ",fault=" + stuck_fault(address, bit),
                     read.poll ? bit_expect : Expect::kFails});
            }
        }
    }
    return cases;
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
    // No fault makes a run wait past the erase's bound and a read time-out or
    // two beyond the clean burn.
    const std::uint64_t longest = clean.virtual_seconds + FLASH_ERASE_S + 10;
    int failed = 0;
    int succeeded = 0;
    for (const Case& c : cases) {
        Outcome run = rig.burn("fault=" + c.fault, c.traced);
        if (!c.traced) {
            run.trace.last_stage = c.stage;
            run.trace.last_record = c.record;
        }
        std::string problem = check(rig.image(), rig.before(), clean.out, c.fault, c.expect, run);
        if (problem.empty() && run.virtual_seconds > longest) {
            problem = "waited " + std::to_string(run.virtual_seconds) + " s";
        }
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

// Records of 16 equal bytes hide an answer shifted by one: read 12 is the
// status poll of the first record, and a short one used to let its read-back
// take the poll's answer for byte 0 and leave byte 15 uncompared.
TEST(FaultMatrix, ShortPollBeforeRecordsOfEqualBytes) {
    ScratchDir scratch;
    std::string text;
    for (std::uint32_t offset = 0; offset < 128; offset += 16) {
        text += record_text(0, offset, Bytes(16, 0x00)) + "\n";
    }
    write_file(scratch.path("equal.hex"), text + ":00000001FF\n");
    struct Row {
        std::string faults;
        int exit_status;
        std::string ending;
        int written;  // bytes the chip holds: the records up to the one that failed
    };
    const Row rows[] = {
        {"fault=read-short@12", 0, kSuccess + kDone, 128},
        {"fault=read-short@12,fault=stuck-one@15", 3, "Writing check error!\n" + kDone, 16},
        {"fault=read-short@12,fault=stuck-one@16", 3, "Writing check error!\n" + kDone, 32},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.faults);
        BurnOptions options;
        options.sim_options = row.faults;
        Burn result = burn(scratch, scratch.path("equal.hex"), options);
        EXPECT_EQ(result.exit_status, row.exit_status);
        EXPECT_TRUE(result.out.ends_with(row.ending)) << result.out;
        Bytes flash(kFlashSize, 0xFF);
        std::fill(flash.begin(), flash.begin() + row.written, 0x00);
        EXPECT_TRUE(result.flash == flash);
    }
}

}  // namespace
