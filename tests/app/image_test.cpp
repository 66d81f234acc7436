#include "app/image.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "case_name.h"
#include "scripted_driver.h"

namespace {

struct LineCase {
    const char* name;
    std::uint32_t base_before;
    const char* line;
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
    EXPECT_EQ(image_classify_line(c.line, &record, &base, &address), c.kind);
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
        std::filesystem::path path = std::filesystem::temp_directory_path() / (file + name);
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

struct CheckCase {
    const char* name;
    std::string text;
    int status;
    std::string said;
};

class CheckTest : public ImageFile, public testing::WithParamInterface<CheckCase> {};

TEST_P(CheckTest, StatusAndMessage) {
    const CheckCase& c = GetParam();
    std::string path = write(".hex", c.text);
    std::FILE* file = image_open(path.c_str());
    ASSERT_NE(file, nullptr);
    ConsoleCapture console;
    EXPECT_EQ(image_check(file, path.c_str()), c.status);
    EXPECT_EQ(console.text(), c.said);
    std::fclose(file);
}

INSTANTIATE_TEST_SUITE_P(
    Image, CheckTest,
    testing::Values(CheckCase{"Usable", ":0100000001FE\n:00000001FF\n", IMAGE_USABLE, ""},
                    CheckCase{"WithoutEndRecordButWithData", ":0100000001FE\n", IMAGE_USABLE, ""},
                    CheckCase{"LinesAfterTheEndNotRead", ":00000001FF\nrubbish\n", IMAGE_USABLE,
                              ""},
                    CheckCase{"Empty", "", IMAGE_UNUSABLE, "Incompleted file error!\n"},
                    CheckCase{"BadLine", ":0100000001FE\nrubbish\n:00000001FF\n", IMAGE_UNUSABLE,
                              "Incorrect file format!\n"},
                    CheckCase{"BadBase", ":03000004000000F9\n", IMAGE_UNUSABLE,
                              "Incorrect extended address record in file!\n"},
                    CheckCase{"BeyondTheChip", ":020000040020DA\n:0100000001FE\n", IMAGE_UNUSABLE,
                              "Image does not fit into flash!\n"}),
    case_name<CheckCase>);

// The images share one static stdio buffer: each opened after the last was
// closed must still read as itself, from the start and again after a rewind,
// whatever its size against the buffer's.
TEST_F(ImageFile, EachImageReadsAsItselfThroughTheSharedBuffer) {
    std::string big;
    for (int i = 0; i < 8000; ++i) {  // 112 KB of records, more than the buffer
        big += ":0100000001FE\n";
    }
    const std::string bad = big + "rubbish\n";
    for (const std::string& text : {big + ":00000001FF\n", bad, std::string(":00000001FF\n")}) {
        std::string path = write(std::to_string(text.size()), text);
        std::FILE* file = image_open(path.c_str());
        ASSERT_NE(file, nullptr);
        ConsoleCapture console;
        int expected = text == bad ? IMAGE_UNUSABLE : IMAGE_USABLE;
        EXPECT_EQ(image_check(file, path.c_str()), expected);
        std::rewind(file);
        EXPECT_EQ(image_check(file, path.c_str()), expected);
        std::fclose(file);
    }
}

TEST_F(ImageFile, OnlyRegularFilesOpen) {
    EXPECT_EQ(image_open(std::filesystem::temp_directory_path().string().c_str()), nullptr);
    EXPECT_EQ(image_open("/nonexistent/image.hex"), nullptr);
}

}  // namespace
