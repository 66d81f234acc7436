// hexflash end to end on the simulated board: the chip it leaves beside the
// one hexburn leaves, verify, read round trips, list, id, erase, --device and
// the refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "burn.h"
#include "case_name.h"
#include "process.h"

namespace {

struct Flashed {
    int exit_status = -1;
    std::string out;
    std::string err;
    Bytes flash;
};

// hexflash `args` on a board holding `before` (empty: an erased chip).
Flashed hexflash(const ScratchDir& scratch, const std::vector<std::string>& args,
                 const Bytes& before = {}, const std::string& sim = "") {
    std::string flash = scratch.path("hexflash-flash.bin");
    write_bytes(flash, before.empty() ? Bytes(kFlashSize, 0xFF) : before);
    std::vector<std::string> argv = {HEXFLASH_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    ProcessResult result = run_process(
        argv,
        {"HEXBURN_DRIVER=sim:flash=" + flash + ",timing=zero" + (sim.empty() ? "" : "," + sim)}, "",
        120);
    EXPECT_FALSE(result.timed_out);
    return {result.exit_status, result.out, result.err, read_bytes(flash)};
}

// n records of 16 bytes from `at`, each line ending in `eol`.
std::string records(int n, std::uint32_t at = 0, std::uint32_t seed = 7,
                    const std::string& eol = "\n") {
    std::string text;
    for (std::uint32_t i = 0; i < static_cast<std::uint32_t>(n); ++i) {
        text += record_text(0, at + i * 16, pattern(16, seed + i)) + eol;
    }
    return text;
}

const std::string kEnd = ":00000001FF\n";

// JSON value of `key` in a flat record, as text.
std::string json_value(const std::string& json, const std::string& key) {
    auto at = json.find("\"" + key + "\": ");
    if (at == std::string::npos) {
        return "";
    }
    at += key.size() + 4;
    return json.substr(at, json.find_first_of(",\n}", at) - at);
}

// ---------------------------------------------------------------------------
// The same chip as hexburn leaves, for the images of hexburn's own tests.

struct ImageCase {
    const char* name;
    std::string text;  // the image, or a shell command making it from "$BIN" into "$HEX"
};

class SameChipTest : public testing::TestWithParam<ImageCase> {};

TEST_P(SameChipTest, AsHexburnLeavesIt) {
    const ImageCase& c = GetParam();
    ScratchDir scratch;
    std::string hex = scratch.path("image.hex");
    if (c.text[0] == ':') {
        write_file(hex, c.text);
    } else {
        write_bytes(scratch.path("in.bin"), pattern(70000, 3));
        shell("BIN='" + scratch.path("in.bin") + "' HEX='" + hex + "'; " + c.text);
    }
    // Over other data, and onto a blank chip.
    for (const Bytes& before : {pattern(kFlashSize, 11), Bytes(kFlashSize, 0xFF)}) {
        Burn classic = burn(scratch, hex, holding(before));
        ASSERT_EQ(classic.exit_status, 0) << classic.out;
        Flashed run = hexflash(scratch, {"write", hex}, before);
        EXPECT_EQ(run.exit_status, 0) << run.err;
        EXPECT_TRUE(run.flash == classic.flash);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Images, SameChipTest,
    testing::Values(
        ImageCase{"SrecordRecordsOf16",
                  "srec_cat $BIN -binary -crop 0 5000 -offset 0x100 -o $HEX -intel -obs=16"},
        ImageCase{"SrecordRecordsOf32",
                  "srec_cat $BIN -binary -crop 0 5000 -offset 0x3F0 -o $HEX -intel -obs=32"},
        ImageCase{"SrecordAbove64KiB", "srec_cat $BIN -binary -offset 0x1F800 -o $HEX -intel"},
        ImageCase{"SrecordSegmented",
                  "srec_cat $BIN -binary -crop 0 9000 -offset 0xFFF0 -o $HEX "
                  "-intel --address-length=3"},
        ImageCase{"ObjcopyOfAProgram", "objcopy -O ihex /bin/true $HEX"},
        ImageCase{"EndOfFileRecordOnly", kEnd},
        ImageCase{"LinesAfterTheEnd", records(9) + kEnd + "garbage\n:0G\n"},
        ImageCase{"RecordOf255Bytes", record_text(0, 0, pattern(255, 9)) + "\n" + kEnd},
        ImageCase{"CrLfLineEnds", records(30, 0, 7, "\r\n") + ":00000001FF\r\n"},
        ImageCase{"AcrossAPageBoundary", record_text(0, 0xF8, pattern(32, 2)) + "\n" + kEnd},
        ImageCase{"SegmentThenLinearBase", record_text(2, 0, {0x10, 0x00}) + "\n" + records(3) +
                                               record_text(4, 0, {0x00, 0x1F}) + "\n" +
                                               records(3, 0xFFD0) + kEnd}),
    case_name<ImageCase>);

// ---------------------------------------------------------------------------
// Erase modes and --keep-rest, on a chip full of other data.

struct EraseCase {
    const char* name;
    std::vector<std::string> options;
    int exit_status;
    bool rest_kept;  // the sectors the image does not touch keep their bytes
};

class EraseModeTest : public testing::TestWithParam<EraseCase> {};

TEST_P(EraseModeTest, ChipAsAsked) {
    const EraseCase& c = GetParam();
    ScratchDir scratch;
    std::string hex = scratch.path("image.hex");
    write_file(hex, record_text(4, 0, {0x00, 0x02}) + "\n" + records(40) + kEnd);
    Bytes before = pattern(kFlashSize, 12);
    std::vector<std::string> args = {"write", hex};
    args.insert(args.end(), c.options.begin(), c.options.end());
    Flashed run = hexflash(scratch, args, before);
    EXPECT_EQ(run.exit_status, c.exit_status) << run.err;
    if (c.exit_status != 0) {
        return;
    }
    Bytes expected = expected_flash(scratch, hex);
    if (c.rest_kept) {
        std::copy(before.begin(), before.begin() + 0x20000, expected.begin());
        std::copy(before.begin() + 0x30000, before.end(), expected.begin() + 0x30000);
    }
    EXPECT_TRUE(run.flash == expected);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, EraseModeTest,
    testing::Values(EraseCase{"Chip", {"--erase", "chip"}, 0, false},
                    EraseCase{"NoneOverOtherDataFailsVerification", {"--erase=none"}, 3, false},
                    EraseCase{"KeepRest", {"--keep-rest"}, 0, true}),
    case_name<EraseCase>);

// ---------------------------------------------------------------------------
// verify and read.

TEST(Verify, OneWrongBitExits3WithItsAddress) {
    ScratchDir scratch;
    std::string hex = scratch.path("image.hex");
    write_file(hex, records(64, 0x1000) + kEnd);
    Bytes chip = expected_flash(scratch, hex);
    ASSERT_EQ(hexflash(scratch, {"verify", hex}, chip).exit_status, 0);
    for (std::size_t address : {std::size_t{0x1000}, std::size_t{0x13F7}, std::size_t{0x1FFFFF}}) {
        SCOPED_TRACE(address);
        Bytes wrong = chip;
        wrong[address] ^= 0x10;
        Flashed run = hexflash(scratch, {"--json", "verify", hex}, wrong);
        EXPECT_EQ(run.exit_status, 3);
        EXPECT_EQ(json_value(run.out, "first_difference"), std::to_string(address)) << run.out;
        char text[16];
        std::snprintf(text, sizeof text, "0x%06zx", address);
        EXPECT_NE(run.err.find(text), std::string::npos) << run.err;
        EXPECT_TRUE(run.flash == wrong);
    }
}

TEST(Read, RoundTrips) {
    ScratchDir scratch;
    std::string image = scratch.path("image.hex");
    srecord_image(scratch, image, pattern(90000, 5), 0xF000, 16);
    // An erased run inside the image, to be skipped in the HEX written back.
    Bytes chip = expected_flash(scratch, image);
    std::fill(chip.begin() + 0x12000, chip.begin() + 0x13000, 0xFF);

    // OUT.hex, burned by hexburn onto a blank board: the same chip.
    std::string hex = scratch.path("back.HEX");
    ASSERT_EQ(hexflash(scratch, {"read", hex}, chip).exit_status, 0);
    Burn again = burn(scratch, hex);
    EXPECT_EQ(again.exit_status, 0) << again.out;
    EXPECT_TRUE(again.flash == chip);

    // Anything else: the 2 MiB image form srecord makes of the burned image.
    std::string bin = scratch.path("back.bin");
    ASSERT_EQ(hexflash(scratch, {"read", bin}, expected_flash(scratch, image)).exit_status, 0);
    shell("srec_cat '" + image + "' -intel -fill 0xFF 0 0x200000 -o '" + scratch.path("srec.bin") +
          "' -binary");
    EXPECT_TRUE(read_bytes(bin) == read_bytes(scratch.path("srec.bin")));

    // --raw: the chip's own bytes.
    std::string raw = scratch.path("raw.img");
    ASSERT_EQ(hexflash(scratch, {"read", "--raw", raw}, chip).exit_status, 0);
    EXPECT_TRUE(read_bytes(raw) == chip);
}

// Binary images and the file's form: what each leaves on a chip full of other
// data (empty `chip`: refused, the chip untouched).
TEST(ImageForms, EachAsItsNameOrFormatSays) {
    ScratchDir scratch;
    std::string hex = scratch.path("image.hex");
    write_file(hex, records(40, 0x10000) + kEnd);
    Bytes burned = expected_flash(scratch, hex);
    Bytes image_form(burned.size());  // what `read x.bin` writes of that chip
    for (std::size_t i = 0; i < burned.size(); ++i) {
        image_form[i] = mirror(burned[i]);
    }
    write_bytes(scratch.path("chip.bin"), image_form);
    write_bytes(scratch.path("chip.raw"), burned);
    write_file(scratch.path("fw.ldr"), records(40, 0x10000) + kEnd);
    write_bytes(scratch.path("data.img"), pattern(4096, 5));
    write_bytes(scratch.path("small.bin"), Bytes{0x01, 0x02});
    Bytes small = Bytes(kFlashSize, 0xFF);
    small[0x1FFFFE] = 0x80;  // bit-reversed
    small[0x1FFFFF] = 0x40;
    Bytes ldr = read_bytes(scratch.path("fw.ldr"));
    Bytes ldr_as_data = Bytes(kFlashSize, 0xFF);
    std::copy(ldr.begin(), ldr.end(), ldr_as_data.begin());
    struct Case {
        std::string args;
        Bytes chip;  // empty: refused
        std::string said;
    };
    for (const Case& c : {
             Case{"write chip.bin", burned, ""},
             Case{"write chip.raw --format bin --raw", burned, ""},
             Case{"write fw.ldr", burned, ""},
             Case{"write fw.ldr --format bin --raw", ldr_as_data, ""},  // as asked: data
             Case{"write small.bin --base 0x1ffffe", small, ""},
             Case{"write small.bin --base 0x1fffff", {}, "runs past the end of the 2 MiB flash"},
             Case{"write data.img", {}, "not an Intel HEX file (no ':' at its start)"},
             Case{"verify data.img --raw", {}, "not an Intel HEX file"},
         }) {
        SCOPED_TRACE(c.args);
        std::vector<std::string> args;
        std::istringstream words(c.args);
        for (std::string word; words >> word;) {
            args.push_back(word.find('.') != std::string::npos ? scratch.path(word) : word);
        }
        Bytes before = pattern(kFlashSize, 8);
        Flashed run = hexflash(scratch, args, before);
        EXPECT_EQ(run.exit_status, c.chip.empty() ? 1 : 0) << run.err;
        EXPECT_NE(run.err.find(c.said), std::string::npos) << run.err;
        EXPECT_TRUE(run.flash == (c.chip.empty() ? before : c.chip));
    }
}

// A mismatch in the image's terms: both values as the image holds them, how
// many bytes differ and the first few ranges, on standard error and in JSON.
TEST(Verify, MismatchInImageTerms) {
    ScratchDir scratch;
    std::string hex = scratch.path("image.hex");
    write_file(
        hex, record_text(4, 0, {0x00, 0x01}) + "\n" + record_text(0, 0x2345, {0x2b}) + "\n" + kEnd);
    Bytes chip = expected_flash(scratch, hex);
    chip[0x12345] = mirror(0x2a);
    for (std::size_t at : {0x20000u, 0x20001u, 0x30000u, 0x40000u, 0x50000u, 0x60000u}) {
        chip[at] = 0x00;
    }
    Flashed run = hexflash(scratch, {"--json", "verify", hex}, chip);
    EXPECT_EQ(run.exit_status, 3);
    EXPECT_EQ(json_value(run.out, "differing_bytes"), "7") << run.out;
    EXPECT_NE(run.err.find("differs from the image in 7 bytes, first at 0x012345 (chip 0x2a, image "
                           "0x2b); at 0x012345, "
                           "0x020000-0x020001, 0x030000, 0x040000 and more"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.out.find("\"differing_ranges\": [[74565, 74566], [131072, 131074], [196608, "
                           "196609], [262144, 262145]]"),
              std::string::npos)
        << run.out;
}

// Every sector in one class, so the summary adds up to 32.
TEST(Write, SectorsAddUp) {
    ScratchDir scratch;
    std::string hex = scratch.path("image.hex");
    // Sectors 0 and 1 in the image; sector 2 holds data outside it.
    write_file(hex, records(4) + record_text(4, 0, {0x00, 0x01}) + "\n" + records(4) + kEnd);
    Bytes before = expected_flash(scratch, hex);                          // sector 0 right
    std::fill(before.begin() + 0x10000, before.begin() + 0x20000, 0xFF);  // 1: program only
    before[0x20000] = 0x00;                                               // 2: outside
    for (const auto& [option, said] :
         {std::pair<std::string, std::string>{"--keep-rest",
                                              "of 32 sectors, 0 erased, 1 programmed without "
                                              "erase, 1 already right, 30 untouched"},
          {"--erase=auto",
           "of 32 sectors, 1 erased, 1 programmed without erase, 30 already "
           "right, 0 untouched"}}) {
        Flashed run = hexflash(scratch, {"write", hex, option}, before);
        EXPECT_EQ(run.exit_status, 0) << run.err;
        EXPECT_NE(run.err.find(said), std::string::npos) << run.err;
    }
}

// --all read: one file per board, never two boards into one, tagged with the
// serial as USB tools show it, or the number where serials are shared; the
// JSON names each.
TEST(Read, OneFilePerBoard) {
    struct Case {
        std::string sim;
        std::vector<std::string> files;
    };
    for (const Case& c : {
             Case{"boards=2", {"fw-0.bin", "fw-1.bin"}},
             Case{"census=CENSUS", {"fw-FT7XQ2.bin", "fw-FT9ZZ1.bin"}},
         }) {
        SCOPED_TRACE(c.sim);
        ScratchDir scratch;
        write_file(scratch.path("census.txt"),
                   "6\tFT7XQ2A\tA\n6\tFT7XQ2B\tB\n6\tFT9ZZ1A\tA\n6\tFT9ZZ1B\tB\n");
        std::string sim = c.sim == "census=CENSUS" ? "census=" + scratch.path("census.txt") : c.sim;
        ProcessResult run = run_process(
            {HEXFLASH_EXE, "--json", "--all", "read", scratch.path("fw.bin")},
            {"HEXBURN_DRIVER=sim:" + sim + ",timing=zero,flash=" + scratch.path("b%d.bin")});
        EXPECT_EQ(run.exit_status, 0) << run.err;
        for (const std::string& name : c.files) {
            EXPECT_NE(run.out.find("\"output\": \"" + scratch.path(name) + "\""), std::string::npos)
                << run.out;
            EXPECT_EQ(read_bytes(scratch.path(name)).size(), kFlashSize);
        }
        EXPECT_FALSE(std::ifstream(scratch.path("fw.bin")).good());
    }
}

// Ctrl-C while writing names the boards left partly written, and the same
// write again finishes them.
TEST(Write, InterruptedNamesWhatIsLeftPartlyWritten) {
    ScratchDir scratch;
    std::string hex = scratch.path("image.hex");
    write_file(hex, records(2000, 0) + kEnd);
    Bytes before = pattern(kFlashSize, 31);
    Flashed run = hexflash(scratch, {"write", hex}, before, "fault=sigint@60");
    EXPECT_EQ(run.exit_status, 130);
    EXPECT_NE(run.err.find("hexflash: interrupted while writing: B is left partly written; "
                           "running the same write again finishes it"),
              std::string::npos)
        << run.err;
    EXPECT_FALSE(run.flash == before);
    Flashed again = hexflash(scratch, {"write", hex}, run.flash);
    EXPECT_EQ(again.exit_status, 0) << again.err;
    EXPECT_TRUE(again.flash == expected_flash(scratch, hex));
}

// ---------------------------------------------------------------------------
// Boards, identification, erase, refusals.

struct CommandCase {
    const char* name;
    std::string args;  // split at blanks; IMAGE: a small image
    std::string sim;   // sim options; "census=" + a census of its own below
    int exit_status;
    std::string said;  // a piece of standard output or error
    bool erased;       // the chip is all 0xFF afterwards (else untouched)
};

class CommandTest : public testing::TestWithParam<CommandCase> {};

TEST_P(CommandTest, ExitsAndSays) {
    const CommandCase& c = GetParam();
    ScratchDir scratch;
    std::string sim = c.sim;
    if (sim.starts_with("census=")) {
        write_file(scratch.path("census.txt"), sim.substr(7));
        sim = "census=" + scratch.path("census.txt");
    }
    Bytes before = pattern(kFlashSize, 21);
    std::vector<std::string> args;
    std::istringstream words(c.args);
    for (std::string word; words >> word;) {
        for (const char* place : {"IMAGE", "NOWHERE", "DIR"}) {
            if (word.starts_with(place)) {
                word = scratch.path(place == std::string("IMAGE") ? "image.hex"
                                    : place == std::string("DIR") ? ""
                                                                  : "nowhere") +
                       word.substr(std::strlen(place));
            }
        }
        args.push_back(word);
    }
    write_file(scratch.path("image.hex"), records(4) + kEnd);
    Flashed run = hexflash(scratch, args, before, sim);
    EXPECT_EQ(run.exit_status, c.exit_status) << run.err;
    EXPECT_NE((run.out + run.err).find(c.said), std::string::npos) << run.out << run.err;
    EXPECT_TRUE(run.flash == (c.erased ? Bytes(kFlashSize, 0xFF) : before));
}

// Interfaces A and B of a board whose EEPROM holds the serial FT7XQ2.
const std::string kProgrammed = "census=6\tFT7XQ2A\tOXA board A\n6\tFT7XQ2B\tOXA board B\n";

INSTANTIATE_TEST_SUITE_P(
    Commands, CommandTest,
    testing::Values(
        CommandCase{"Help", "--help", "", 0, "Usage: hexflash", false},
        CommandCase{"Version", "--version", "", 0, "hexflash 1.", false},
        CommandCase{"NoCommand", "", "", 1, "no command", false},
        CommandCase{"UnknownOption", "--bogus id", "", 1, "unknown option", false},
        CommandCase{"OptionOfAnotherCommand", "verify IMAGE --keep-rest", "", 1,
                    "--keep-rest does not go with verify", false},
        CommandCase{"KeepRestAfterABulkErase", "write IMAGE --keep-rest --erase=chip", "", 1,
                    "--keep-rest does not go with --erase chip", false},
        CommandCase{"ReadWithoutFile", "read", "", 1, "read needs a file", false},
        CommandCase{"List", "list", "", 0, "0   B ", false},
        CommandCase{"ListJson", "--json list", kProgrammed, 0, "\"serial\": \"FT7XQ2B\"", false},
        CommandCase{"Id", "id", "", 0, "JEDEC ID 20 20 15 (M25P16), status 0x00", false},
        CommandCase{"IdJson", "--json id", "", 0, "\"jedec_id\": \"202015\"", false},
        CommandCase{"Erase", "erase", "", 0, "B: erased", true},
        CommandCase{"PhaseLinesWhenNotATerminal", "erase", "", 0, "B: verify 2.0 MiB of 2.0 MiB",
                    true},
        CommandCase{"ProgrammedSerial", "--device FT7XQ2B erase", kProgrammed, 0, "FT7XQ2B: erased",
                    true},
        CommandCase{"ByNumber", "--device 0 erase", kProgrammed, 0, "FT7XQ2B: erased", true},
        CommandCase{"InterfaceAIsNoBoard", "--device FT7XQ2A erase", kProgrammed, 1,
                    "no such FT2232H interface B", false},
        CommandCase{"SeveralBoardsNoChoice", "write IMAGE", "boards=2", 1, "several boards found",
                    false},
        CommandCase{"SameSerialTwice", "--device B id", "boards=2", 1, "fits several boards",
                    false},
        CommandCase{"NoBoard", "list", "census=6\tXA\tA\n", 1,
                    "hexflash: hint: 1 FTDI interface(s) found, none an FT2232H interface B",
                    false},
        CommandCase{"NoBoardAtAll", "write IMAGE", "census=", 1,
                    "hexflash: hint: check the USB cable", false},
        CommandCase{"UsbSerial", "--device FT7XQ2 erase", kProgrammed, 0, "FT7XQ2B: erased", true},
        CommandCase{"ByLocation", "--device @0x22 id", "boards=2", 0, "board 1: identified", false},
        CommandCase{"ByUsbPath", "--device @1-2 id", "boards=2", 0, "board 0: identified", false},
        CommandCase{"OldNumberRefused", "--device #1 erase", kProgrammed, 1,
                    "#N is no longer taken; that board is now --device 0", false},
        CommandCase{"NumberPastTheList", "--device 2 id", "boards=2", 1,
                    "no such FT2232H interface B", false},
        CommandCase{"ListFromZero", "list", "boards=2", 0, "1   B ", false},
        CommandCase{"HelpOnACommand", "help write", "", 0, "--base ADDR", false},
        CommandCase{"CommandHelp", "read --help", "", 0, "OUT-FT7XQ2.hex", false},
        CommandCase{"HelpOnNothing", "help flash", "", 1, "hexflash: help: no command flash",
                    false},
        CommandCase{"HelpOnServe", "help serve", "", 0, "(default 127.0.0.1:8080", false},
        CommandCase{"ReportHelp", "report --help", "", 0,
                    "--since TIME            from (default: 24 hours ago)", false},
        CommandCase{"DriverLinesNameTheProgram", "id", "boards=9", 1,
                    "hexflash: HEXBURN_DRIVER: sim option 'boards=9'", false},
        CommandCase{"InUseLineNamesTheProgram", "--all id", "boards=2,fault=busy@3", 1,
                    "hexflash: an FTDI interface is in use", false},
        CommandCase{"MissingImage", "write NOWHERE", "", 1, "nowhere: cannot open: no such file",
                    false},
        CommandCase{"ImageIsADirectory", "verify DIR", "", 1,
                    ": cannot open: a directory, not a file", false},
        CommandCase{"BaseWithHex", "write IMAGE --base 0x100", "", 1, "--base is for binary images",
                    false},
        CommandCase{"ReadIntoNoDirectory", "read NOWHERE/chip.bin", "", 1,
                    "chip.bin: cannot be written: no such directory", false},
        CommandCase{"UnknownIdRefused", "write IMAGE", "id=aa4015", 1,
                    "unknown part: JEDEC ID aa 40 15", false},
        CommandCase{"UnknownIdForced", "erase --force", "id=aa4015", 0, "B: erased", true},
        // The store's options: refused before any store or board is touched.
        CommandCase{"DbWithoutSubcommand", "db", "", 1, "db needs a subcommand: db init", false},
        CommandCase{"DbUnknownSubcommand", "db drop", "", 1, "db: no subcommand drop (db init)",
                    false},
        CommandCase{"DbInitTakesNoFile", "db init IMAGE", "", 1, "unexpected argument", false},
        CommandCase{"DbWithRead", "read NOWHERE --db none", "", 1, "--db does not go with read",
                    false},
        CommandCase{"DbWithVerify", "verify IMAGE --db none", "", 1, "--db does not go with verify",
                    false},
        CommandCase{"DbEmpty", "erase --db=", "", 1, "--db needs a store URL", false},
        CommandCase{"HistoryFilterOnWrite", "write IMAGE --serial B", "", 1,
                    "--serial does not go with write", false},
        CommandCase{"DeviceOnHistory", "--device B history", "", 1,
                    "--device does not go with history", false},
        CommandCase{"AllOnDbInit", "--all db init", "", 1, "--all does not go with db init", false},
        CommandCase{"JsonOnDbInit", "--json db init", "", 1, "--json does not go with db init",
                    false},
        CommandCase{"UniqueIdNotHex", "history --unique-id 0xEF40", "", 1,
                    "--unique-id 0xEF40: hexadecimal digits", false},
        CommandCase{"SinceNotATime", "history --since 11.12.2026", "", 1,
                    "--since 11.12.2026: a time as 2026-12-11", false},
        CommandCase{"ResultUnknown", "history --result mismatch", "", 1,
                    "--result mismatch: passed, failed or interrupted", false},
        CommandCase{"HelpOnHistory", "help history", "", 0, "--unique-id HEX", false},
        CommandCase{"HelpOnDb", "help db", "", 0, "Usage: hexflash db init [--db URL]", false},
        CommandCase{"EraseHelpNamesDb", "erase --help", "", 0, "--db URL", false},
        CommandCase{"OpenFails", "erase", "fault=open-fail", 1, "cannot open", false},
        CommandCase{"SetUpFails", "erase", "fault=no-echo", 2, "cannot set", false}),
    case_name<CommandCase>);

// A write beside protected sectors: the summary names them as the part's
// own bits decode them.
struct ProtectedCase {
    const char* name;
    std::string sim;
    std::string said;
    std::string not_said;
};

class ProtectedTest : public testing::TestWithParam<ProtectedCase> {};

TEST_P(ProtectedTest, SummaryNamesThePartsSectors) {
    const ProtectedCase& c = GetParam();
    ScratchDir scratch;
    std::string hex = scratch.path("image.hex");
    write_file(hex, record_text(4, 0, {0x00, 0x10}) + "\n" + records(4) + kEnd);  // sector 16
    Flashed run = hexflash(scratch, {"write", hex}, {}, c.sim);
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_NE(run.err.find(c.said), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find(c.not_said), std::string::npos) << run.err;
}

INSTANTIATE_TEST_SUITE_P(
    Parts, ProtectedTest,
    testing::Values(ProtectedCase{"W25q16jvBottomSector", "chip=w25q16jv,status=24",
                                  "; sectors 0-0 are write-protected in", "31-31"},
                    ProtectedCase{"W25q16jvBottomFour", "chip=w25q16jv,status=2c",
                                  "; sectors 0-3 are write-protected in", "28-31"},
                    ProtectedCase{"M25p16TopSector", "status=04",
                                  "; sectors 31-31 are write-protected in", "sectors 0"}),
    case_name<ProtectedCase>);

// Images refused before any board is touched, with the line at fault.
TEST(Refused, ImagesNeverReachTheBoard) {
    struct Case {
        std::string text;
        std::string err;
    };
    for (const Case& c : {
             Case{records(3) + "hello\n" + kEnd, "image.hex:4: not a valid Intel HEX record"},
             Case{records(3), "image.hex: no end-of-file record"},
             Case{record_text(4, 0, {0x00, 0x20}) + "\n" + records(1) + kEnd,
                  "image.hex:2: data past the end"},
             Case{records(2) + record_text(4, 0, {0, 1, 0}) + "\n" + kEnd,
                  "image.hex:3: extended address record"},
             Case{records(2) + records(1, 0x10, 99) + kEnd, "image.hex:3: gives bytes"},
         }) {
        SCOPED_TRACE(c.err);
        ScratchDir scratch;
        write_file(scratch.path("image.hex"), c.text);
        Bytes before = pattern(kFlashSize, 3);
        // A census failure would show if the board were looked at.
        Flashed run = hexflash(scratch, {"--json", "write", scratch.path("image.hex")}, before,
                               "trace=" + scratch.path("trace.txt"));
        EXPECT_EQ(run.exit_status, 1);
        EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
        EXPECT_EQ(json_value(run.out, "result"), "\"refused\"");
        EXPECT_TRUE(run.flash == before);
        EXPECT_TRUE(read_bytes(scratch.path("trace.txt")).empty());
    }
}

// Three boards of the simulated board's own, each with its chip: one
// unplugged while its chip is read, one open in another process.
TEST(Gang, BoardsFailAloneOnTheSimulatedBoard) {
    ScratchDir scratch;
    std::string hex = scratch.path("image.hex");
    write_file(hex, records(40, 0x7F0) + kEnd);
    ProcessResult run =
        run_process({HEXFLASH_EXE, "--json", "--all", "write", hex},
                    {"HEXBURN_DRIVER=sim:boards=3,timing=zero,flash=" + scratch.path("b%d.bin") +
                     ",fault=unplug@40#1,fault=busy@5"});
    EXPECT_EQ(run.exit_status, 2) << run.err;
    std::string statuses;
    for (auto at = run.out.find("\"exit_status\": "); at != std::string::npos;
         at = run.out.find("\"exit_status\": ", at + 1)) {
        statuses += run.out[at + 15];
    }
    EXPECT_EQ(statuses, "2021");  // the worst, then each board's
    EXPECT_TRUE(read_bytes(scratch.path("b0.bin")) == expected_flash(scratch, hex));
    EXPECT_NE(run.err.find("board 1: failed"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("board 2: failed: cannot open"), std::string::npos) << run.err;
}

}  // namespace
