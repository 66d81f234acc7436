// One board's run in-process on the simulated board: the sectors a plan
// changes counted by the part, and the time the rest of a write should take
// from the part's own figures.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "board/boards.h"
#include "board/job.h"
#include "burn.h"
#include "case_name.h"
#include "d2xx/d2xx.h"
#include "simboard/sim_driver.h"

namespace {

struct SpanCase {
    const char* name;
    std::uint32_t sectors;  // of the part
    bool chip_erase;
    std::vector<std::uint32_t> changed;  // sectors not skipped
    std::uint32_t first;
    std::uint32_t last;
};

class PlannedChangesTest : public testing::TestWithParam<SpanCase> {};

TEST_P(PlannedChangesTest, CountsThePartsSectors) {
    const SpanCase& c = GetParam();
    auto plan = std::make_unique<plan_burn>();
    plan->chip_erase = c.chip_erase;
    for (std::uint32_t s : c.changed) {
        plan->action[s] = PLAN_SECTOR_PROGRAM;
    }
    const SectorSpan span = planned_changes(*plan, c.sectors);
    EXPECT_EQ(span.first, c.first);
    EXPECT_EQ(span.last, c.last);
}

INSTANTIATE_TEST_SUITE_P(Plans, PlannedChangesTest,
                         testing::Values(SpanCase{"NoneOf32", 32, false, {}, 32, 0},
                                         SpanCase{"NoneOf16", 16, false, {}, 16, 0},
                                         SpanCase{"FirstToLastChanged", 32, false, {3, 9, 7}, 3, 9},
                                         SpanCase{"TheLastSector", 16, false, {15}, 15, 15},
                                         SpanCase{"BulkEraseOf32", 32, true, {}, 0, 31},
                                         SpanCase{"BulkEraseOf16", 16, true, {4}, 0, 15}),
                         case_name<SpanCase>);

TEST(PartSectors, FromThePartsSizeAsFarAsThePlanReaches) {
    struct Case {
        std::uint32_t size;
        std::uint32_t sectors;
    };
    for (const Case& c :
         {Case{0x100000, 16}, Case{0x200000, 32}, Case{0x400000, PLAN_MAX_SECTORS}}) {
        chip_part part = CHIP_FORCED_PART;
        part.size = c.size;
        EXPECT_EQ(part_sectors(part), c.sectors) << c.size;
    }
}

// Keeps what a run estimates.
class Estimates final : public Progress {
  public:
    void phase(int, const char*, std::uint64_t, std::uint64_t) override {}
    void estimate(int, double seconds, bool after_read) override {
        std::lock_guard<std::mutex> hold(mutex_);
        seen.push_back({seconds, after_read});
    }
    struct Seen {
        double seconds;
        bool after_read;
    };
    std::vector<Seen> seen;

  private:
    std::mutex mutex_;
};

struct EtaCase {
    const char* name;
    const char* chip;  // the simulated board's part
};

class EtaTest : public testing::TestWithParam<EtaCase> {};

// What fast_plan_burn makes of `image` on the board, through a link of the
// test's own, and what the part's own times say that plan takes.
double planned_seconds(const LoadedImage& image, plan_burn& plan) {
    FT_HANDLE handle = nullptr;
    auto link = std::make_unique<nor_chip>();
    nor_identity identity{};
    plan_options choice{PLAN_ERASE_AUTO, false};
    fast_stats stats{};
    EXPECT_EQ(FT_Open(1, &handle), FT_OK);
    EXPECT_EQ(nor_open(handle, NOR_DEFAULT_CLOCK_HZ, link.get()), LINK_OK);
    EXPECT_EQ(nor_identify(link.get(), &identity), LINK_OK);
    EXPECT_EQ(fast_plan_burn(link.get(), image.map.get(), &choice, &plan, &stats, nullptr),
              LINK_OK);
    const std::uint64_t ns = fast_estimate_ns(&plan, *link->part, plan.chip_erase, link->clock_hz);
    link_close(link.get());
    FT_Close(handle);
    return static_cast<double>(ns) / 1e9;
}

TEST_P(EtaTest, FromThePartsOwnTimes) {
    const EtaCase& c = GetParam();
    ScratchDir scratch;
    const std::string hex = scratch.path("image.hex");
    // Sectors 0 and 3, over a chip holding an older firmware: erased and programmed.
    write_file(hex, record_text(0, 0, pattern(64, 1)) + "\n" + record_text(4, 0, {0x00, 0x03}) +
                        "\n" + record_text(0, 0x100, pattern(32, 2)) + "\n:00000001FF\n");
    write_bytes(scratch.path("flash.bin"), Bytes(kFlashSize, 0x00));
    std::string error;
    auto driver = make_sim_driver(
        "flash=" + scratch.path("flash.bin") + ",timing=zero,chip=" + c.chip, error);
    ASSERT_NE(driver, nullptr) << error;
    d2xx_bind(driver.get());
    LoadedImage image;
    ASSERT_TRUE(load_image(hex, image, error)) << error;
    auto plan = std::make_unique<plan_burn>();
    const double expected = planned_seconds(image, *plan);
    std::vector<Board> boards;
    ASSERT_TRUE(find_boards(boards));
    ASSERT_EQ(boards.size(), 1u);
    JobOptions options;
    options.task = Task::kWrite;
    Estimates estimates;
    BoardRecord record = run_board(Job{&options, &image, nullptr, "", ""}, boards[0], 0, estimates);
    d2xx_bind(nullptr);
    ASSERT_EQ(record.exit_status, 0) << record.message;
    // Before the read the estimate runs from the read's end; once the chip is
    // read, from the plan made of it, by the part driven.
    ASSERT_EQ(estimates.seen.size(), 2u);
    EXPECT_TRUE(estimates.seen[0].after_read);
    EXPECT_FALSE(estimates.seen[1].after_read);
    EXPECT_DOUBLE_EQ(estimates.seen[1].seconds, expected);
    // The first, as a write most often goes: the image's sectors erased (an
    // older firmware there), the rest already blank.
    auto usual = std::make_unique<plan_burn>();
    std::memcpy(usual->target, image.map->bytes, sizeof usual->target);
    usual->chip_known = true;
    usual->action[0] = usual->action[3] = PLAN_SECTOR_ERASE;
    auto seconds = [&](const plan_burn& p, const chip_part& part) {
        return static_cast<double>(fast_estimate_ns(&p, part, p.chip_erase, record.clock_hz)) / 1e9;
    };
    EXPECT_DOUBLE_EQ(estimates.seen[0].seconds, seconds(*usual, record.part));
    if (std::string(c.chip) != "m25p16") {
        // Not the M25P16's figures for another part.
        EXPECT_NE(estimates.seen[0].seconds, seconds(*usual, CHIP_M25P16));
        EXPECT_NE(estimates.seen[1].seconds, seconds(*plan, CHIP_M25P16));
    }
}

INSTANTIATE_TEST_SUITE_P(Parts, EtaTest,
                         testing::Values(EtaCase{"M25p16", "m25p16"},
                                         EtaCase{"W25q16jv", "w25q16jv"},
                                         EtaCase{"At25sf161b", "at25sf161b"}),
                         case_name<EtaCase>);

}  // namespace
