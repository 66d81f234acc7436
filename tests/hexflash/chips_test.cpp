// hexflash on each part the simulated board can carry: whole-chip writes
// against hexburn and against the part's own time floor, the smallest erase
// that does the job, identification by table, SFDP or not at all, and
// protection in the part's own terms. Times come from the simulator's models.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "burn.h"
#include "case_name.h"
#include "process.h"
#include "sim/spi_nor.h"

namespace {

struct Outcome {
    int exit_status = -1;
    std::string out;
    std::string err;
};

// One board whose chip is the file `flash` (created holding `before` when
// not empty), `sim` appended to its options.
Outcome hexflash(const std::string& flash, const std::vector<std::string>& args,
                 const std::string& sim, const Bytes& before = {}) {
    if (!before.empty()) {
        write_bytes(flash, before);
    }
    std::vector<std::string> argv = {HEXFLASH_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    ProcessResult result =
        run_process(argv, {"HEXBURN_DRIVER=sim:flash=" + flash + "," + sim}, "", 120);
    EXPECT_FALSE(result.timed_out);
    return {result.exit_status, result.out, result.err};
}

// `key` of the simulated board's report, with its fraction.
double report_number(const std::string& path, const std::string& key) {
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto at = text.find("\"" + key + "\": ");
    return at == std::string::npos ? -1.0 : std::stod(text.substr(at + key.size() + 4));
}

std::string json_value(const std::string& json, const std::string& key) {
    auto at = json.find("\"" + key + "\": ");
    if (at == std::string::npos) {
        return "";
    }
    at += key.size() + 4;
    return json.substr(at, json.find_first_of(",\n}", at) - at);
}

// Status registers 1 and 2 as the status file beside `flash` holds them.
std::uint16_t stored_status(const std::string& flash) {
    std::ifstream in(flash + ".status");
    std::string name;
    unsigned sr1 = 0;
    unsigned sr2 = 0;
    in >> name >> std::hex >> sr1 >> sr2;
    return static_cast<std::uint16_t>(sr1 | sr2 << 8);
}

const std::string kEnd = ":00000001FF\n";

// ---------------------------------------------------------------------------
// A 2 MiB image over a chip full of other data.

class WholeChipTest : public testing::TestWithParam<const char*> {};

TEST_P(WholeChipTest, AsHexburnLeavesItNearThePartsFloor) {
    const sim::ChipModel& model = *sim::find_model(GetParam());
    const std::string chip = std::string("chip=") + model.name;
    ScratchDir scratch;
    std::string hex = scratch.path("image.hex");
    srecord_image(scratch, hex, pattern(kFlashSize, 31), 0, 16);
    Bytes before = pattern(kFlashSize, 32);

    BurnOptions classic_options = holding(before);
    classic_options.sim_options = chip;
    Burn classic = burn(scratch, hex, classic_options);
    ASSERT_EQ(classic.exit_status, 0) << classic.out;

    std::string flash = scratch.path("fast.bin");
    std::string report = scratch.path("report.txt");
    Outcome run = hexflash(flash, {"write", hex}, chip + ",timing=typ,report=" + report, before);
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_TRUE(read_bytes(flash) == classic.flash);

    // The cheapest erase of the whole chip, every page at its typical time,
    // and the chip read twice (before and to verify) at the default 30 MHz.
    const sim::ModelTimes& typ = model.typical;
    std::uint64_t erase_ns = typ.chip_erase;
    for (auto [ns, count] :
         {std::pair{typ.erase_64k, 32}, {typ.erase_32k, 64}, {typ.erase_4k, 512}}) {
        if (ns != 0) {
            erase_ns = std::min(erase_ns, ns * static_cast<std::uint64_t>(count));
        }
    }
    double floor = static_cast<double>(erase_ns + 8192 * typ.page_program) / 1e9 +
                   2.0 * 8.0 * static_cast<double>(kFlashSize) / 30e6;
    double seconds = report_number(report, "virtual_seconds");
    EXPECT_GT(seconds, floor * 0.9);
    EXPECT_LE(seconds, floor * 1.1) << "floor " << floor;
}

INSTANTIATE_TEST_SUITE_P(Models, WholeChipTest,
                         testing::Values("m25p16", "w25q16jv", "at25sf161b"));

// One 4 KiB block differs: that block is erased alone, at once.
TEST(SmallestErase, OneBlockOfTheW25q16jv) {
    ScratchDir scratch;
    std::string hex = scratch.path("image.hex");
    srecord_image(scratch, hex, pattern(0x30000, 41), 0x10000, 16);
    Bytes chip = expected_flash(scratch, hex);
    for (std::size_t i = 0x23000; i < 0x24000; ++i) {
        chip[i] ^= 0x5A;
    }
    std::string flash = scratch.path("fast.bin");
    std::string report = scratch.path("report.txt");
    Outcome run = hexflash(flash, {"write", hex, "--keep-rest"},
                           "chip=w25q16jv,timing=typ,report=" + report, chip);
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_TRUE(read_bytes(flash) == expected_flash(scratch, hex));
    EXPECT_EQ(report_value(report, "erases_4k"), 1U);
    for (const char* key : {"erases_32k", "erases_64k", "chip_erases"}) {
        EXPECT_EQ(report_value(report, key), 0U) << key;
    }
    EXPECT_LT(report_number(report, "virtual_seconds"), 1.0);
}

// ---------------------------------------------------------------------------
// Identification: by the table, by SFDP, refused, forced, nothing there.

struct IdCase {
    const char* name;
    std::string sim;
    std::string args;  // split at blanks; IMAGE: a small image, OUT: a file to read into
    int exit_status;
    std::string said;    // a piece of standard error
    std::string source;  // the JSON record's "source" (with --json), or ""
};

class IdentifyTest : public testing::TestWithParam<IdCase> {};

TEST_P(IdentifyTest, ExitsAndSays) {
    const IdCase& c = GetParam();
    ScratchDir scratch;
    std::string hex = scratch.path("image.hex");
    write_file(hex, record_text(0, 0x100, pattern(16, 3)) + "\n" + kEnd);
    std::vector<std::string> args;
    std::istringstream words(c.args);
    for (std::string word; words >> word;) {
        args.push_back(word == "IMAGE" ? hex : word == "OUT" ? scratch.path("out.bin") : word);
    }
    Outcome run =
        hexflash(scratch.path("f.bin"), args, "timing=zero," + c.sim, pattern(kFlashSize, 5));
    EXPECT_EQ(run.exit_status, c.exit_status) << run.err;
    EXPECT_NE((run.out + run.err).find(c.said), std::string::npos) << run.out << run.err;
    if (!c.source.empty()) {
        EXPECT_EQ(json_value(run.out, "source"), c.source) << run.out;
    }
}

const std::string kNone = "no flash chip answers";

INSTANTIATE_TEST_SUITE_P(
    Parts, IdentifyTest,
    testing::Values(
        IdCase{"W25q16jvFromTheTable", "chip=w25q16jv", "--json id", 0, "(W25Q16JV)", "\"table\""},
        IdCase{"At25sf161bFromTheTable", "chip=at25sf161b", "id", 0, "1f 86 01 (AT25SF161", ""},
        IdCase{"W25q16jvUniqueId", "chip=w25q16jv", "--json id", 0, "; unique ID ", ""},
        IdCase{"M25p16ZerosAreNoUniqueId", "chip=m25p16", "id", 0, "; no unique ID", ""},
        IdCase{"ChipsListsTheTable", "", "chips", 0, "MX25L1606E ", ""},
        IdCase{"AsleepIsWoken", "chip=w25q16jv,asleep", "id", 0, "(W25Q16JV)", ""},
        IdCase{"UnknownIdBySfdp", "chip=w25q16jv,id=aa4015", "--json write IMAGE", 0,
               "identified by its SFDP", "\"sfdp\""},
        IdCase{"UnknownIdWithoutSfdp", "chip=w25q16jv,id=aa4015,sfdp=off", "id", 0, "unknown part",
               ""},
        IdCase{"UnknownIdWriteRefused", "chip=m25p16,id=aa4015", "write IMAGE", 1, "aa 40 15", ""},
        IdCase{"UnknownIdEraseRefused", "chip=m25p16,id=aa4015", "erase", 1, "aa 40 15", ""},
        IdCase{"UnknownIdForced", "chip=m25p16,id=aa4015", "--json write IMAGE --force", 0,
               "written", "\"forced\""},
        IdCase{"UnknownIdIsRead", "chip=m25p16,id=aa4015", "read OUT", 0, "", ""},
        IdCase{"NoneId", "chip=none", "id", 2, kNone, ""},
        IdCase{"NoneWrite", "chip=none", "write IMAGE", 2, kNone, ""},
        IdCase{"NoneRead", "chip=none", "read OUT", 2, kNone, ""},
        IdCase{"NoneVerify", "chip=none", "verify IMAGE", 2, kNone, ""},
        IdCase{"NoneErase", "chip=none", "erase --force", 2, kNone, ""},
        IdCase{"AllZeros", "id=000000", "id", 2, kNone, ""}),
    case_name<IdCase>);

// hexburn on an empty footprint: its own erase time-out, as ever.
TEST(EmptyFootprint, HexburnFailsItsErase) {
    ScratchDir scratch;
    std::string hex = scratch.path("image.hex");
    write_file(hex, record_text(0, 0, pattern(16, 3)) + "\n" + kEnd);
    BurnOptions options;
    options.sim_options = "chip=none";
    Burn classic = burn(scratch, hex, options);
    EXPECT_EQ(classic.exit_status, 2);
    EXPECT_NE(classic.out.find("Can't erase flash!"), std::string::npos) << classic.out;
}

// ---------------------------------------------------------------------------
// TB and BP0 on the W25Q16JV: the lowest 64 KiB protected.

TEST(Protection, BottomSectorOfTheW25q16jvIsUnprotectedOnlyForTheRun) {
    ScratchDir scratch;
    std::string hex = scratch.path("image.hex");
    std::string flash = scratch.path("f.bin");
    const std::string sim = "chip=w25q16jv,timing=zero";
    write_bytes(flash, Bytes(kFlashSize, 0xFF));
    const std::uint16_t locks = 0x3900;  // LB3..LB1, SRL
    struct Step {
        const char* extra;
        int exit_status;
    };
    // Each step another image into the protected sector; power-up with QE
    // set and status=24 once, the status file keeps them afterwards.
    std::uint32_t seed = 0;
    Bytes chip = read_bytes(flash);
    for (const Step& step :
         {Step{"", 1}, Step{"--unprotect", 0}, Step{"", 1}, Step{"--unprotect", 0}}) {
        SCOPED_TRACE(seed);
        write_file(hex, record_text(0, 0x8000, pattern(16, ++seed)) + "\n" + kEnd);
        std::vector<std::string> args = {"write", hex};
        if (*step.extra != '\0') {
            args.emplace_back(step.extra);
        }
        Outcome run = hexflash(flash, args, seed == 1 ? sim + ",status=24:02" : sim);
        EXPECT_EQ(run.exit_status, step.exit_status) << run.err;
        EXPECT_TRUE(read_bytes(flash) ==
                    (step.exit_status == 0 ? expected_flash(scratch, hex) : chip));
        chip = read_bytes(flash);
        std::uint16_t status = stored_status(flash);
        EXPECT_EQ(status & 0x7C, 0x24) << std::hex << status;  // protection back as it was
        EXPECT_EQ(status & (locks | 0x80), 0) << std::hex << status;
        EXPECT_EQ(status & 0x0200, 0x0200) << "QE cleared";
    }
}

}  // namespace
