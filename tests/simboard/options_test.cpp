// The simulated board's option grammar, read straight into SimOptions: each
// word lands in its own field, on the face it means something on, and each
// refusal says why.
#include "simboard/options.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "case_name.h"

namespace {

struct GoodOptions {
    std::string name;
    std::string text;
    SimFace face;
    std::function<void(const SimOptions&)> check;
};

class SimOptionsGood : public testing::TestWithParam<GoodOptions> {};

TEST_P(SimOptionsGood, LandInTheirFields) {
    const GoodOptions& c = GetParam();
    SimOptions options;
    std::string error;
    ASSERT_TRUE(parse_sim_options(c.text, options, error, c.face)) << error;
    c.check(options);
}

INSTANTIATE_TEST_SUITE_P(
    Words, SimOptionsGood,
    testing::Values(
        GoodOptions{"Paths", "flash=f%d,present=p,trace=t,report=r", SimFace::kD2xx,
                    [](const SimOptions& o) {
                        EXPECT_EQ(o.flash_path, "f%d");
                        EXPECT_EQ(o.present_path, "p");
                        EXPECT_EQ(o.trace_path, "t");
                        EXPECT_EQ(o.report_path, "r");
                        EXPECT_EQ(o.board_count(), 1U);
                    }},
        GoodOptions{"UsbOnly", "serial=FT7XQ2,state=s,speed=full", SimFace::kUsb,
                    [](const SimOptions& o) {
                        EXPECT_EQ(o.serial, "FT7XQ2");
                        EXPECT_EQ(o.state_path, "s");
                        EXPECT_TRUE(o.full_speed);
                        EXPECT_TRUE(o.flash_path.empty());
                    }},
        GoodOptions{"HighSpeed", "speed=high", SimFace::kUsb,
                    [](const SimOptions& o) { EXPECT_FALSE(o.full_speed); }},
        GoodOptions{"BoardsAndTiming", ",boards=3,,timing=max,", SimFace::kD2xx,
                    [](const SimOptions& o) {
                        EXPECT_EQ(o.board_count(), 3U);
                        EXPECT_EQ(o.timing.kind, sim::ChipTiming::Kind::kMaximum);
                    }},
        GoodOptions{"ChipForEveryBoard", "chip=w25q16jv,id=aa4015,status=1c:02,sfdp=off,asleep",
                    SimFace::kD2xx,
                    [](const SimOptions& o) {
                        EXPECT_EQ(o.chip, sim::find_model("w25q16jv"));
                        EXPECT_EQ(o.jedec_id, 0xAA4015U);
                        EXPECT_TRUE(o.jedec_id_given);
                        EXPECT_EQ(o.status, 0x021C);
                        EXPECT_TRUE(o.sfdp_off);
                        EXPECT_TRUE(o.asleep);
                        EXPECT_TRUE(o.board_items.empty());
                    }},
        GoodOptions{"ChipOfOneBoard", "boards=2,chip=at25sf161b#1,asleep#0", SimFace::kD2xx,
                    [](const SimOptions& o) {
                        EXPECT_EQ(o.chip, &sim::default_model());  // the others keep theirs
                        EXPECT_FALSE(o.asleep);
                        ASSERT_EQ(o.board_items.size(), 2U);
                        EXPECT_EQ(o.board_items[0].first, 1U);
                        EXPECT_EQ(o.board_items[0].second, "chip=at25sf161b");
                        EXPECT_EQ(o.board_items[1].first, 0U);
                        EXPECT_EQ(o.board_items[1].second, "asleep");
                        EXPECT_EQ(sim_board_options(o, 1).chip, sim::find_model("at25sf161b"));
                        EXPECT_TRUE(sim_board_options(o, 0).asleep);
                        EXPECT_FALSE(sim_board_options(o, 1).asleep);
                    }},
        GoodOptions{"FaultOfOneBoard", "boards=2,fault=write-fail@3#1", SimFace::kD2xx,
                    [](const SimOptions& o) {
                        EXPECT_FALSE(o.write_fail.strikes(3));
                        EXPECT_TRUE(sim_board_options(o, 1).write_fail.strikes(3));
                    }}),
    case_name<GoodOptions>);

struct BadOptions {
    std::string name;
    std::string text;
    SimFace face;
    std::string error;  // the whole message after the face's prefix
};

class SimOptionsBad : public testing::TestWithParam<BadOptions> {};

TEST_P(SimOptionsBad, AreRefusedWithTheReason) {
    const BadOptions& c = GetParam();
    SimOptions options;
    std::string error;
    ASSERT_FALSE(parse_sim_options(c.text, options, error, c.face));
    const std::string prefix =
        c.face == SimFace::kD2xx ? "hexburn: HEXBURN_DRIVER: " : "HEXBURN_USB_SIM: ";
    EXPECT_EQ(error, prefix + c.error);
}

INSTANTIATE_TEST_SUITE_P(
    Words, SimOptionsBad,
    testing::Values(
        BadOptions{"NoEquals", "trace", SimFace::kD2xx, "sim option 'trace': expected KEY=VALUE"},
        BadOptions{"EmptyPath", "report=", SimFace::kD2xx, "sim option 'report=': empty value"},
        BadOptions{"EmptyChip", "chip=#1", SimFace::kD2xx, "sim option 'chip=#1': empty value"},
        BadOptions{"AsleepWithValue", "asleep=yes", SimFace::kD2xx,
                   "sim option 'asleep=yes': asleep takes no value"},
        BadOptions{"ChipOfNoBoard", "chip=m25p16#8", SimFace::kD2xx,
                   "sim option 'chip=m25p16#8': the board after # is not a board number"},
        BadOptions{"UnknownChipOfOneBoard", "chip=m25p32#1", SimFace::kD2xx,
                   "sim option 'chip=m25p32#1': chip is m25p16, w25q16jv, at25sf161b or none"},
        BadOptions{"BoardsAfterCensus", "census=/dev/null,boards=2", SimFace::kD2xx,
                   "sim option 'boards=2': boards and census exclude each other"},
        BadOptions{"CensusAfterBoards", "boards=2,census=/dev/null", SimFace::kD2xx,
                   "sim option 'census=/dev/null': boards and census exclude each other"},
        BadOptions{"BoardsZero", "boards=0", SimFace::kD2xx,
                   "sim option 'boards=0': boards is 1 to 8"},
        BadOptions{
            "CensusOnUsb", "census=/dev/null", SimFace::kUsb,
            "sim option 'census=/dev/null': an option of the D2XX face, not of the USB face"},
        BadOptions{"StateOnD2xx", "state=s", SimFace::kD2xx,
                   "sim option 'state=s': an option of the USB face, not of the D2XX face"},
        BadOptions{"SpeedUnknown", "speed=low", SimFace::kUsb,
                   "sim option 'speed=low': speed is high or full"},
        BadOptions{"TimingUnknown", "timing=slow", SimFace::kUsb,
                   "sim option 'timing=slow': timing is typ, max or zero"},
        BadOptions{"UnknownKey", "colour=red", SimFace::kUsb,
                   "sim option 'colour=red': unknown option"},
        BadOptions{"FaultOfNoBoard", "boards=2,fault=write-fail@1#2", SimFace::kD2xx,
                   "sim option 'fault=write-fail@1#2': there is no such board"}),
    case_name<BadOptions>);

}  // namespace
