#include "image/image.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "case_name.h"
#include "hex_text.h"
#include "test_dir.h"

namespace {

struct LineCase {
    const char* name;
    std::uint32_t base_before;
    std::string line;
    LineKind kind;
    std::uint32_t base_after;
    std::uint32_t address;  // for LINE_DATA
};

class LineTest : public testing::TestWithParam<LineCase> {};

TEST_P(LineTest, KindBaseAndAddress) {
    const LineCase& c = GetParam();
    hex_record record;
    std::uint32_t base = c.base_before;
    std::uint32_t address = 0xDEAD;
    EXPECT_EQ(image_classify_line(c.line.c_str(), c.line.size(), &record, &base, &address), c.kind);
    EXPECT_EQ(base, c.base_after);
    EXPECT_EQ(address, c.kind == LINE_DATA ? c.address : 0xDEAD);
}

INSTANTIATE_TEST_SUITE_P(
    Image, LineTest,
    testing::Values(
        LineCase{"DataAtBasePlusOffset", 0x10000, ":01123400AA0F\n", LINE_DATA, 0x10000, 0x11234},
        LineCase{"LinearBase", 0, ":02000004001FDB\n", LINE_SKIP, 0x1F0000, 0},
        LineCase{"SegmentBaseTimesSixteen", 0, ":020000021234B6\n", LINE_SKIP, 0x12340, 0},
        LineCase{"LinearBaseOfOneByte", 7, ":0100000401FA\n", LINE_BAD_BASE, 7, 0},
        LineCase{"EndOfFile", 5, ":00000001FF\n", LINE_END, 5, 0},
        LineCase{"StartAddressIgnored", 5, ":04000005000000CD2A\n", LINE_SKIP, 5, 0},
        LineCase{"BadChecksum", 5, ":00000001FE\n", LINE_BAD_FORMAT, 5, 0},
        // After the checksum: blanks, then LF, CR LF or the end of the file.
        LineCase{"BlanksCrLf", 5, ":00000001FF \t\r\n", LINE_END, 5, 0},
        LineCase{"BlanksAtTheEndOfTheFile", 5, ":00000001FF  ", LINE_END, 5, 0},
        LineCase{"CrAlone", 5, ":00000001FF\r", LINE_BAD_FORMAT, 5, 0},
        LineCase{"CrCrLf", 5, ":00000001FF\r\r\n", LINE_BAD_FORMAT, 5, 0},
        LineCase{"NulAfterTheChecksum", 5, std::string(":00000001FF\0\n", 13), LINE_BAD_FORMAT, 5,
                 0},
        // The last byte of the chip may be written; one byte beyond may not.
        LineCase{"EndsOnLastByte", 0x1F0000, ":10FFF0000000000000000000000000000000000001\n",
                 LINE_DATA, 0x1F0000, 0x1FFFF0},
        LineCase{"OneByteBeyond", 0x1F0000, ":02FFFF00000000\n", LINE_OUT_OF_CHIP, 0x1F0000, 0},
        // Base and offset are added without wrapping round 32 bits.
        LineCase{"NoWrapAt4GiB", 0xFFFF0000, ":01FFFF000001\n", LINE_OUT_OF_CHIP, 0xFFFF0000, 0}),
    case_name<LineCase>);

class ImageFile : public testing::Test {
  protected:
    std::string write(const std::string& name, const std::string& text) {
        // Named after the test, as ctest runs tests side by side.
        const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
        std::string file = std::string("hexburn_") + test->test_suite_name() + "_" + test->name();
        for (char& c : file) {
            c = c == '/' ? '_' : c;
        }
        std::filesystem::path path = test_path(file + name);
        std::ofstream(path, std::ios::binary) << text;
        paths_.push_back(path);
        return path.string();
    }
    void TearDown() override {
        for (const auto& path : paths_) {
            std::filesystem::remove(path);
        }
    }

  private:
    std::vector<std::filesystem::path> paths_;
};

std::string line(int type, std::uint32_t offset, const std::vector<std::uint8_t>& data,
                 const char* end = "\n") {
    return record_text(type, offset, data) + end;
}

const std::string kEnd = ":00000001FF\n";

struct ScanCase {
    const char* name;
    std::string text;
    ImageFault fault;
    std::uint32_t line_number;
};

class ScanTest : public ImageFile, public testing::WithParamInterface<ScanCase> {};

TEST_P(ScanTest, FaultAndItsLine) {
    const ScanCase& c = GetParam();
    std::string path = write(".hex", c.text);
    std::FILE* file = image_open(path.c_str());
    ASSERT_NE(file, nullptr);
    static image_map map;
    std::uint32_t line_number = 99;
    EXPECT_EQ(image_scan(file, &map, &line_number), c.fault);
    EXPECT_EQ(line_number, c.line_number);
    std::fclose(file);
}

const std::vector<std::uint8_t> kSixteen = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

INSTANTIATE_TEST_SUITE_P(
    Image, ScanTest,
    testing::Values(
        ScanCase{"Usable", ":0100000001FE\n" + kEnd, IMAGE_FINE, 0},
        ScanCase{"LinesAfterTheEndNotRead", kEnd + "rubbish\n", IMAGE_FINE, 0},
        ScanCase{"Empty", "", IMAGE_FAULT_INCOMPLETE, 0},
        ScanCase{"WithoutEndRecord", ":0100000001FE\n", IMAGE_FAULT_INCOMPLETE, 0},
        ScanCase{"BadLine", ":0100000001FE\nrubbish\n" + kEnd, IMAGE_FAULT_FORMAT, 2},
        ScanCase{"BadBase", ":03000004000000F9\n", IMAGE_FAULT_BASE, 1},
        ScanCase{"BeyondTheChip", ":020000040020DA\n:0100000001FE\n", IMAGE_FAULT_RANGE, 2},
        ScanCase{"SameBytesTwice", line(0, 0, kSixteen) + line(0, 8, {9, 10}) + kEnd, IMAGE_FINE,
                 0},
        ScanCase{"OneByteDiffers", line(0, 0, kSixteen) + line(0, 8, {9, 10, 12}) + kEnd,
                 IMAGE_FAULT_OVERLAP, 2},
        // One blank more than a record of 255 bytes and CR LF.
        ScanCase{"LineOf524Characters",
                 line(0, 0, std::vector<std::uint8_t>(255, 7), " \r\n") + kEnd, IMAGE_FAULT_FORMAT,
                 1}),
    case_name<ScanCase>);

TEST_F(ImageFile, MapHoldsTheChipAsTheImageLeavesIt) {
    // 0x12 goes to the chip as 0x48; 0x34 as 0x2C. Type 04 data stay unreversed.
    std::string path = write(".hex", line(4, 0, {0x00, 0x1F}) + line(0, 0xFFFE, {0x12, 0x34}) +
                                         line(0, 0xFFFF, {0x34}) + line(0, 0x10, {}) + kEnd);
    std::FILE* file = image_open(path.c_str());
    ASSERT_NE(file, nullptr);
    static image_map map;
    std::uint32_t line_number = 99;
    ASSERT_EQ(image_scan(file, &map, &line_number), IMAGE_FINE);
    std::fclose(file);
    EXPECT_EQ(map.data_records, 3u);
    for (std::uint32_t address = 0; address < IMAGE_CHIP_SIZE; ++address) {
        bool defined = (map.defined[address >> 3] >> (address & 7) & 1) != 0;
        std::uint8_t byte = address == 0x1FFFFE ? 0x48 : address == 0x1FFFFF ? 0x2C : 0xFF;
        ASSERT_EQ(defined, address >= 0x1FFFFE) << address;
        ASSERT_EQ(map.bytes[address], byte) << address;
    }
}

// The images share one static stdio buffer: each opened after the last was
// closed must still read as itself, from the start and again, whatever its
// size against the buffer's.
TEST_F(ImageFile, EachImageReadsAsItselfThroughTheSharedBuffer) {
    std::string big;
    for (int i = 0; i < 8000; ++i) {  // 112 KB of records, more than the buffer
        big += ":0100000001FE\n";
    }
    const std::string bad = big + "rubbish\n";
    static image_map map;
    for (const std::string& text : {big + kEnd, bad, kEnd}) {
        std::string path = write(std::to_string(text.size()), text);
        std::FILE* file = image_open(path.c_str());
        ASSERT_NE(file, nullptr);
        ImageFault expected = text == bad ? IMAGE_FAULT_FORMAT : IMAGE_FINE;
        std::uint32_t line_number = 0;
        EXPECT_EQ(image_scan(file, &map, &line_number), expected);
        std::uint64_t digest = map.digest;
        EXPECT_EQ(image_scan(file, &map, &line_number), expected);
        EXPECT_EQ(map.digest, digest);
        std::fclose(file);
    }
}

TEST_F(ImageFile, OnlyRegularFilesOpen) {
    EXPECT_EQ(image_open(test_dir().c_str()), nullptr);
    EXPECT_EQ(image_open("/nonexistent/image.hex"), nullptr);
}

}  // namespace
