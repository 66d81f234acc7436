// The summary line of a board's run, from records as the job leaves them:
// the protection decoded by the part driven, its sectors and its size.
#include <gtest/gtest.h>

#include <string>

#include "board/record.h"
#include "case_name.h"
#include "hexflash/report.h"

namespace {

// A 1 MiB part with the M25P16's status layout: 16 sectors, BP=5 all of them.
chip_part half_size() {
    chip_part part = CHIP_FORCED_PART;
    part.name = "half";
    part.size = 0x100000;
    return part;
}

struct SummaryCase {
    const char* name;
    Task task;
    chip_part part;
    std::uint8_t status;
    std::string said;
    std::string not_said;  // empty: nothing in particular
};

class SummaryTest : public testing::TestWithParam<SummaryCase> {};

TEST_P(SummaryTest, InThePartsTerms) {
    const SummaryCase& c = GetParam();
    BoardRecord record;
    record.result = c.task == Task::kWrite ? "written" : "identified";
    record.have_id = record.have_part = record.have_status = record.have_protection = true;
    record.found = NOR_FOUND_TABLE;
    record.part = c.part;
    record.id[0] = static_cast<std::uint8_t>(c.part.jedec_id >> 16);
    record.status = c.status;
    record.status_word = c.status;
    JobOptions options;
    options.task = c.task;
    const std::string line = summary_line(options, "B", record);
    EXPECT_NE(line.find(c.said), std::string::npos) << line;
    if (!c.not_said.empty()) {
        EXPECT_EQ(line.find(c.not_said), std::string::npos) << line;
    }
}

const chip_part kW25q16jv = *chip_find(0xEF4015);

INSTANTIATE_TEST_SUITE_P(
    Records, SummaryTest,
    testing::Values(
        // TB=1 BP0=1: the bottom sector, where the M25P16 would have the top one.
        SummaryCase{"BottomSectorOfTheW25q16jv", Task::kWrite, kW25q16jv, 0x24,
                    "; sectors 0-0 are write-protected", "31-31"},
        SummaryCase{"BottomFourOfTheW25q16jv", Task::kWrite, kW25q16jv, 0x2C,
                    "; sectors 0-3 are write-protected", "28"},
        SummaryCase{"TopSectorOfTheM25p16", Task::kWrite, CHIP_M25P16, 0x04,
                    "; sectors 31-31 are write-protected", ""},
        SummaryCase{"WholeM25p16", Task::kWrite, CHIP_M25P16, 0x1C, "; the chip is write-protected",
                    "-31"},
        SummaryCase{"NoneOfTheW25q16jv", Task::kWrite, kW25q16jv, 0x00, "untouched; 0 pages",
                    "protected"},
        SummaryCase{"SectorsOfAHalfSizePart", Task::kWrite, half_size(), 0x00, "of 16 sectors", ""},
        SummaryCase{"WholeHalfSizePart", Task::kWrite, half_size(), 0x14,
                    "; the chip is write-protected", "16-31"},
        SummaryCase{"IdOfAHalfSizePart", Task::kId, half_size(), 0x00, "; 1 MiB, erases", "2 MiB"},
        SummaryCase{"IdOfTheW25q16jv", Task::kId, kW25q16jv, 0x24, ": sectors 0-0 protected; 2 MiB",
                    ""}),
    case_name<SummaryCase>);

}  // namespace
