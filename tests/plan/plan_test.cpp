// The plan on spans of bytes, without a board: the action per sector, the
// chip erase and when it is refused, the cover with the part's erase types,
// and every figure from the part driven (its size, its times).
#include "plan/plan.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "case_name.h"

namespace {

constexpr std::uint32_t kSector = CHIP_SECTOR_SIZE;

// Bytes that differ from page to page and from one build to the next.
std::uint8_t pattern(std::uint32_t address, std::uint32_t build) {
    std::uint32_t x = (address + 1) * 2654435761U ^ (build * 40503U);
    return static_cast<std::uint8_t>(x >> 13);
}

// An image as the image reader leaves it: its bytes (0xFF where no record)
// and which of them a record gives.
struct Image {
    std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(CHIP_MAX_SIZE, 0xFF);
    std::vector<std::uint8_t> defined = std::vector<std::uint8_t>(CHIP_MAX_SIZE / 8, 0);

    void give(std::uint32_t from, std::uint32_t length, std::uint32_t build) {
        for (std::uint32_t a = from; a < from + length; ++a) {
            bytes[a] = pattern(a, build);
            defined[a >> 3] = static_cast<std::uint8_t>(defined[a >> 3] | (1U << (a & 7)));
        }
    }
};

// The costs at 30 MHz: a page's 2113 clocks, a sector's 524,288.
plan_costs costs(const chip_part& part) {
    return {part.page_program_typ_us * 1000ULL + 70433, 17476266};
}

const chip_part& w25q16jv() {
    return *chip_find(0xEF4015);
}

// A plan whose chip holds build `chip_build` up to chip_length, then 0xFF.
std::unique_ptr<plan_burn> plan_over(std::uint32_t chip_length, std::uint32_t chip_build) {
    auto plan = std::make_unique<plan_burn>();
    for (std::uint32_t a = 0; a < CHIP_MAX_SIZE; ++a) {
        plan->chip[a] = a < chip_length ? pattern(a, chip_build) : 0xFF;
    }
    plan->chip_known = true;
    return plan;
}

void decide(plan_burn* plan, const chip_part& part, const Image& image, plan_erase_mode erase,
            bool keep_rest = false, std::uint16_t status = 0) {
    plan_decide(plan, part, image.bytes, image.defined, plan_options{erase, keep_rest}, status,
                costs(part));
}

// --- the action per sector ------------------------------------------------------------

// Sector contents: F all 0xFF, A the image's bytes, B other bytes.
struct SectorCase {
    std::string name;
    plan_erase_mode erase;
    bool keep_rest;
    char chip;   // F, A or B
    char image;  // A: the image covers the sector; F: it does not touch it
    plan_sector_action action;
};

class PlanSector : public testing::TestWithParam<SectorCase> {};

TEST_P(PlanSector, DecidesPerSector) {
    const SectorCase& c = GetParam();
    auto plan = plan_over(0, 0);
    Image image;
    for (std::uint32_t a = 5 * kSector; a < 6 * kSector; ++a) {
        plan->chip[a] = c.chip == 'A' ? pattern(a, 1) : c.chip == 'B' ? pattern(a, 2) : 0xFF;
    }
    if (c.image == 'A') {
        image.give(5 * kSector, kSector, 1);
    }
    decide(plan.get(), CHIP_M25P16, image, c.erase, c.keep_rest);
    EXPECT_FALSE(plan->chip_erase);
    EXPECT_EQ(plan->action[5], c.action);
    EXPECT_EQ(plan->action[6], PLAN_SECTOR_SKIP);  // blank, and nothing to put there
}

INSTANTIATE_TEST_SUITE_P(
    Sectors, PlanSector,
    testing::Values(
        SectorCase{"HoldsTheImage", PLAN_ERASE_AUTO, false, 'A', 'A', PLAN_SECTOR_SKIP},
        SectorCase{"BlankTakesAProgram", PLAN_ERASE_AUTO, false, 'F', 'A', PLAN_SECTOR_PROGRAM},
        SectorCase{"OtherBytesNeedAnErase", PLAN_ERASE_AUTO, false, 'B', 'A', PLAN_SECTOR_ERASE},
        SectorCase{"UntouchedIsErasedToBlank", PLAN_ERASE_AUTO, false, 'B', 'F', PLAN_SECTOR_ERASE},
        SectorCase{"UntouchedIsKeptWithKeepRest", PLAN_ERASE_AUTO, true, 'B', 'F',
                   PLAN_SECTOR_SKIP},
        SectorCase{"NoneProgramsWhatNeedsAnErase", PLAN_ERASE_NONE, false, 'B', 'A',
                   PLAN_SECTOR_PROGRAM}),
    case_name<SectorCase>);

TEST(PlanChipErase, WhenCheaperAndNeverOnAProtectedChip) {
    Image image;
    image.give(0, CHIP_MAX_SIZE, 1);
    for (std::uint16_t status : {std::uint16_t{0x00}, std::uint16_t{0x04}}) {
        auto plan = plan_over(CHIP_MAX_SIZE, 2);
        decide(plan.get(), CHIP_M25P16, image, PLAN_ERASE_AUTO, false, status);
        EXPECT_EQ(plan->chip_erase, status == 0) << "status " << status;
    }
}

// --- the cover with the part's erase types -------------------------------------------------

struct CoverCase {
    std::string name;
    const chip_part* part;
    std::uint8_t opcode;    // the one erase chosen
    std::uint32_t address;  // where
};

class PlanCover : public testing::TestWithParam<CoverCase> {};

// The chip holds the image but for one 4 KiB block of other bytes: the
// smallest erase the part has that covers it.
TEST_P(PlanCover, ErasesWithTheSmallestTypeThatCovers) {
    const CoverCase& c = GetParam();
    Image image;
    image.give(0, 4 * kSector, 1);
    auto plan = plan_over(4 * kSector, 1);
    for (std::uint32_t a = 0x13000; a < 0x14000; ++a) {
        plan->chip[a] = pattern(a, 2);
    }
    decide(plan.get(), *c.part, image, PLAN_ERASE_AUTO);
    ASSERT_FALSE(plan->chip_erase);
    ASSERT_EQ(plan->erase_count, 1u);
    EXPECT_EQ(c.part->erases[plan->erases[0].type].opcode, c.opcode);
    EXPECT_EQ(plan->erases[0].address, c.address);
    EXPECT_EQ(plan->action[1], PLAN_SECTOR_ERASE);
    EXPECT_EQ(plan->action[0], PLAN_SECTOR_SKIP);
}

INSTANTIATE_TEST_SUITE_P(Parts, PlanCover,
                         testing::Values(CoverCase{"M25p16", &CHIP_M25P16, 0xD8, 0x10000},
                                         CoverCase{"W25q16jv", &w25q16jv(), 0x20, 0x13000}),
                         case_name<CoverCase>);

// --- the part's own figures --------------------------------------------------------------------

// An erase of the whole chip to blank costs the part's chip erase, and each
// sector read back: its own times, not another part's.
TEST(PlanEstimate, ChipEraseTakesThePartsTimes) {
    std::size_t count = 0;
    const chip_part* const* parts = chip_table(&count);
    Image blank;
    for (std::size_t i = 0; i < count; ++i) {
        const chip_part& part = *parts[i];
        auto plan = plan_over(CHIP_MAX_SIZE, 2);
        decide(plan.get(), part, blank, PLAN_ERASE_CHIP);
        const std::uint64_t sectors = part.size / kSector;
        EXPECT_EQ(plan_estimate_ns(plan.get(), part, true, costs(part)),
                  chip_whole_erase(part)->typ_ms * 1000000ULL + sectors * 17476266)
            << part.name;
    }
}

// A part of 1 MiB: its 16 sectors decided, its 4096 pages programmed, nothing
// past its end.
TEST(PlanSize, ThePartsOwnSizeAndNoMore) {
    chip_part half = CHIP_M25P16;
    half.size = CHIP_MAX_SIZE / 2;
    Image image;
    image.give(0, CHIP_MAX_SIZE, 1);
    auto plan = plan_over(0, 0);
    std::memset(plan->action, 0xEE, sizeof plan->action);
    decide(plan.get(), half, image, PLAN_ERASE_AUTO);
    for (std::uint32_t s = 0; s < PLAN_MAX_SECTORS; ++s) {
        EXPECT_EQ(plan->action[s], s < 16 ? PLAN_SECTOR_PROGRAM : 0xEE) << s;
    }
    std::vector<std::uint8_t> todo(CHIP_MAX_SIZE / 256 / 8, 0xFF);
    EXPECT_EQ(plan_pages(plan.get(), half, todo), 4096u);
    EXPECT_EQ(todo[4096 / 8 - 1], 0xFF);
    EXPECT_EQ(todo[4096 / 8], 0x00);
}

// The plan's buffers hold every part of the table, in whole sectors and pages.
TEST(PlanSize, EveryPartOfTheTableFits) {
    std::size_t count = 0;
    const chip_part* const* parts = chip_table(&count);
    for (std::size_t i = 0; i < count; ++i) {
        const chip_part& part = *parts[i];
        EXPECT_LE(part.size, CHIP_MAX_SIZE) << part.name;
        EXPECT_EQ(part.size % kSector, 0u) << part.name;
        EXPECT_EQ(CHIP_BLOCK_SIZE % part.page_size, 0u) << part.name;
    }
}

TEST(PlanTouched, AnyDefinedByteOfTheSector) {
    struct Case {
        std::uint32_t address;  // the one defined byte
        std::uint32_t sector;
        bool touched;
    };
    const Case cases[] = {
        {0, 0, true},
        {kSector - 1, 0, true},
        {kSector, 0, false},
        {kSector - 1, 1, false},
        {31 * kSector + 5, 31, true},
    };
    for (const Case& c : cases) {
        Image image;
        image.give(c.address, 1, 1);
        EXPECT_EQ(plan_sector_touched(image.defined, c.sector), c.touched)
            << std::hex << c.address << " in sector " << std::dec << c.sector;
    }
}

}  // namespace
