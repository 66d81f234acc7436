// Input no HEX writer would make: binary files, NUL bytes, endless lines, a
// gigabyte of records that do not fit, paths that are no regular file, and
// an image that vanishes while it is burned. Each gets its message, and an
// image that cannot be written leaves the board as it was.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "burn.h"
#include "case_name.h"
#include "forwarding_driver.h"
#include "hexburn/hexburn.h"
#include "host/console.h"
#include "scripted_driver.h"
#include "simboard/sim_driver.h"

namespace {

const std::string kDone = "Process completed.\n";
const std::string kSuccess = "\nImage has been written successfully\n";
const std::string kEnd = ":00000001FF\n";

std::string hex_record(int type, std::uint32_t offset, const Bytes& data) {
    return record_text(type, offset, data) + "\n";
}

// n records of 16 bytes from address 0.
std::string records(int n) {
    std::string text;
    for (int i = 0; i < n; ++i) {
        text += hex_record(0, static_cast<std::uint32_t>(16 * i),
                           pattern(16, static_cast<std::uint32_t>(i)));
    }
    return text;
}

std::string file_text(const char* path) {
    Bytes bytes = read_bytes(path);
    return std::string(bytes.begin(), bytes.end());
}

// ---------------------------------------------------------------------------
// Files that are no image: refused before the erase.

struct RefusedCase {
    const char* name;
    std::string content;
};

class RefusedFileTest : public testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedFileTest, IncorrectFileFormatAndTheBoardIsUntouched) {
    ScratchDir scratch;
    std::string image = scratch.path("image.hex");
    write_file(image, GetParam().content);
    Bytes before = pattern(kFlashSize, 21);
    Burn result = burn(scratch, image, holding(before));
    EXPECT_EQ(result.out, discovery_lines() + "Incorrect file format!\n" + kDone);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_TRUE(result.err.empty()) << result.err;
    EXPECT_TRUE(result.flash == before);
}

std::string with_nul(std::string text, std::size_t at) {
    text[at] = '\0';
    return text;
}

std::string utf16(const std::string& text) {
    std::string out = "\xFF\xFE";  // byte order mark, then each character and a zero
    for (char ch : text) {
        out += ch;
        out += '\0';
    }
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    Files, RefusedFileTest,
    testing::Values(
        RefusedCase{"RandomBytes",
                    [] {
                        Bytes bytes = pattern(65536, 1);
                        return std::string(bytes.begin(), bytes.end());
                    }()},
        RefusedCase{"AnExecutable", file_text("/bin/true")},
        RefusedCase{"Utf16Text", utf16(records(4) + kEnd)},
        RefusedCase{"NulAmongTheDataDigits", records(3) + with_nul(records(1), 20) + kEnd},
        RefusedCase{"NulBeforeTheColon", records(3) + std::string(1, '\0') + records(1) + kEnd},
        RefusedCase{"LineOf100000Characters", records(2) + std::string(100000, 'A') + "\n" + kEnd},
        // Blanks after a checksum are allowed, but not beyond the longest line.
        RefusedCase{"RecordWith100000BlanksBehind",
                    records(2) + records(1).substr(0, 43) + std::string(100000, ' ') + "\n" + kEnd},
        RefusedCase{"NulAfterAChecksum", records(8) + records(9).substr(8 * 44, 43) +
                                             std::string("\0junk\n", 6) + kEnd}),
    case_name<RefusedCase>);

// ---------------------------------------------------------------------------
// Odd bytes the reader never looks at: the image is written.

struct WrittenCase {
    const char* name;
    std::string content;
    int records;
};

class OddButWrittenTest : public testing::TestWithParam<WrittenCase> {};

TEST_P(OddButWrittenTest, ImageIsWritten) {
    ScratchDir scratch;
    std::string image = scratch.path("image.hex");
    write_file(image, GetParam().content);
    Burn result = burn(scratch, image, holding(pattern(kFlashSize, 22)));
    EXPECT_EQ(result.out, discovery_lines() + "Erasing flash...\n\nFlash has been erased.\n" +
                              "Writing image into flash...\n" + dots(GetParam().records) +
                              kSuccess + kDone);
    EXPECT_EQ(result.exit_status, 0);
    write_file(scratch.path("clean.hex"), records(GetParam().records) + kEnd);
    EXPECT_TRUE(result.flash == expected_flash(scratch, scratch.path("clean.hex")));
}

INSTANTIATE_TEST_SUITE_P(Files, OddButWrittenTest,
                         testing::Values(WrittenCase{"BinaryAfterTheEnd",
                                                     [] {
                                                         Bytes bytes = pattern(65536, 2);
                                                         return records(16) + kEnd +
                                                                std::string(bytes.begin(),
                                                                            bytes.end());
                                                     }(),
                                                     16},
                                         WrittenCase{"LongLineAfterTheEnd",
                                                     records(16) + kEnd + std::string(100000, 'A'),
                                                     16}),
                         case_name<WrittenCase>);

// ---------------------------------------------------------------------------
// Paths that are no regular file: the run takes only regular files, so it
// neither blocks on a FIFO nor reads a device without end.

TEST(NotARegularFile, CantOpenAndTheBoardIsUntouched) {
    ScratchDir scratch;
    std::string fifo = scratch.path("fifo.hex");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string directory = scratch.path("directory.hex");
    ASSERT_EQ(mkdir(directory.c_str(), 0700), 0);
    Bytes before = pattern(kFlashSize, 23);
    for (const std::string& path :
         {fifo, directory, std::string("/dev/zero"), std::string("/dev/null")}) {
        SCOPED_TRACE(path);
        Burn result = burn(scratch, path, holding(before));
        EXPECT_EQ(result.out, discovery_lines() + "Can't open " + path + "!\n" + kDone);
        EXPECT_EQ(result.exit_status, 1);
        EXPECT_TRUE(result.flash == before);
    }
}

// ---------------------------------------------------------------------------
// A gigabyte of valid records, of which the first 2 MiB fit: the check stops
// at the first record past the chip, without reading on.

TEST(HugeImage, OneGigabyteOfRecordsIsRefusedAtTheFirstThatDoesNotFit) {
    ScratchDir scratch;
    std::string image = scratch.path("huge.hex");
    // One 64 KiB segment of the chip: a type 04 record, then 4096 records of 16 bytes.
    auto segment = [](std::uint32_t index) {
        std::string text = hex_record(
            4, 0, {static_cast<std::uint8_t>(index >> 8), static_cast<std::uint8_t>(index)});
        Bytes data = pattern(16, index);
        for (std::uint32_t offset = 0; offset < 0x10000; offset += 16) {
            text += hex_record(0, offset, data);
        }
        return text;
    };
    std::FILE* file = std::fopen(image.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::size_t size = 0;
    for (std::uint32_t index = 0; index < 32; ++index) {  // the whole chip
        std::string text = segment(index);
        size += std::fwrite(text.data(), 1, text.size(), file);
    }
    std::string beyond = segment(32);  // from 2 MiB on, again and again
    while (size < (std::size_t{1} << 30)) {
        size += std::fwrite(beyond.data(), 1, beyond.size(), file);
    }
    ASSERT_EQ(std::fclose(file), 0);

    Bytes before = pattern(kFlashSize, 24);
    auto start = std::chrono::steady_clock::now();
    Burn result = burn(scratch, image, holding(before));
    auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(result.out, discovery_lines() + "Image does not fit into flash!\n" + kDone);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_TRUE(result.flash == before);
    std::printf("a %zu-byte image refused in %.3f s\n", size, seconds);
}

// ---------------------------------------------------------------------------
// An image that changes once the check has passed. Removed and another file
// put in its place, it is still the checked image that is burned, through the
// one open handle; rewritten in place, the run must not end in success.

// The simulated board, with a hook on each USB write.
class WatchedBoard final : public ForwardingDriver {
  public:
    WatchedBoard(D2xxDriver& board, std::function<void(const std::uint8_t*, std::uint32_t)> hook)
        : ForwardingDriver(board), hook_(std::move(hook)) {}

    FT_STATUS write(FT_HANDLE handle, const std::uint8_t* data, std::uint32_t count,
                    std::uint32_t* written) override {
        hook_(data, count);
        return ForwardingDriver::write(handle, data, count, written);
    }

  private:
    std::function<void(const std::uint8_t*, std::uint32_t)> hook_;
};

// The chip-erase transaction: chip select, 8 bits out, the BE instruction.
bool is_chip_erase(const std::uint8_t* data, std::uint32_t count) {
    const std::uint8_t kChipErase[] = {0x80, 0x80, 0x8B, 0x13, 0x07, 0xC7};
    return count >= sizeof kChipErase && std::memcmp(data, kChipErase, sizeof kChipErase) == 0;
}

struct ChangeCase {
    const char* name;
    bool in_place;            // rewritten through the same file, or a new file put there
    std::string replacement;  // the file's text from the erase on
    int records_written;      // before the run stopped
    int exit_status;
};

class ChangedImageTest : public testing::TestWithParam<ChangeCase> {};

TEST_P(ChangedImageTest, NeverEndsInSuccessWithOtherBytes) {
    const ChangeCase& c = GetParam();
    ScratchDir scratch;
    std::string image = scratch.path("image.hex");
    // 200 KB of text: the writing pass reads it block by block, all after the erase.
    const std::string text = records(4000) + kEnd;
    write_file(image, text);
    Bytes expected = expected_flash(scratch, image);

    SimOptions options;
    std::string error;
    ASSERT_TRUE(parse_sim_options("timing=zero", options, error)) << error;
    SimDriver board(std::move(options));
    bool changed = false;
    WatchedBoard watched(board, [&](const std::uint8_t* data, std::uint32_t count) {
        if (!changed && is_chip_erase(data, count)) {
            // The check has read the image through; the writing pass has not begun.
            changed = c.in_place || unlink(image.c_str()) == 0;
            write_file(image, c.replacement);
        }
    });
    BoundDriver bound(watched);
    ConsoleCapture console;
    char program[] = "hexburn";
    char* argv[] = {program, image.data(), nullptr};
    int status = hexburn_main(2, argv);

    EXPECT_TRUE(changed);
    EXPECT_EQ(status, c.exit_status);
    std::string ending = c.exit_status == 0 ? kSuccess : "Image file changed while burning!\n";
    EXPECT_TRUE(console.text().ends_with(dots(c.records_written) + ending + kDone))
        << console.text();
    ASSERT_EQ(board.board().flash.size(), kFlashSize);
    std::size_t written = 16 * static_cast<std::size_t>(c.records_written);
    EXPECT_TRUE(std::equal(expected.begin(),
                           expected.begin() + static_cast<std::ptrdiff_t>(written),
                           board.board().flash.begin()));
    EXPECT_TRUE(std::all_of(board.board().flash.begin() + static_cast<std::ptrdiff_t>(written),
                            board.board().flash.end(), [](std::uint8_t b) { return b == 0xFF; }));
}

// records(4000) with record 3000 holding other bytes.
std::string with_record_3000_changed() {
    std::string text = records(4000) + kEnd;
    text.replace(3000 * 44, 44, hex_record(0, 3000 * 16, pattern(16, 1)));
    return text;
}

INSTANTIATE_TEST_SUITE_P(
    Images, ChangedImageTest,
    testing::Values(ChangeCase{"ReplacedByAnotherFile", false, records(1) + kEnd, 4000, 0},
                    // Stopped before the record that differs is programmed.
                    ChangeCase{"OneRecordRewritten", true, with_record_3000_changed(), 3000, 1},
                    ChangeCase{"CutShort", true, records(2000), 2000, 1},
                    // The same records in another order: found at the end-of-file record.
                    ChangeCase{"LastTwoRecordsSwapped", true,
                               records(3998) + records(4000).substr(3999 * 44) +
                                   records(3999).substr(3998 * 44) + kEnd,
                               4000, 1},
                    ChangeCase{"MoreLinesBeforeTheEnd", true,
                               records(4000) + hex_record(3, 0, {0, 0, 0, 0}) + kEnd, 4000, 1}),
    case_name<ChangeCase>);

}  // namespace
