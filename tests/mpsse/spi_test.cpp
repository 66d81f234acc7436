#include "mpsse/spi.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "case_name.h"

namespace {

struct PinCase {
    std::string name;
    std::uint32_t (*command)(std::uint8_t*, std::uint32_t);
    std::uint32_t room;
    std::uint32_t result;
    std::vector<std::uint8_t> bytes;  // the first three bytes of the buffer afterwards
};

class SpiChipSelect : public testing::TestWithParam<PinCase> {};

TEST_P(SpiChipSelect, WritesThreeBytesOnlyWhenTheyFit) {
    const PinCase& c = GetParam();
    std::array<std::uint8_t, 4> buffer = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(c.command(buffer.data(), c.room), c.result);
    EXPECT_EQ(std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + 3), c.bytes);
    EXPECT_EQ(buffer[3], 0xEE);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SpiChipSelect,
    testing::Values(PinCase{"SelectFits", spi_select, 3, 3, {0x80, 0x80, 0x8B}},
                    PinCase{"SelectRoomy", spi_select, 128, 3, {0x80, 0x80, 0x8B}},
                    PinCase{"SelectNoRoom", spi_select, 2, 0, {0xEE, 0xEE, 0xEE}},
                    PinCase{"DeselectFits", spi_deselect, 3, 3, {0x80, 0x88, 0x8B}},
                    PinCase{"DeselectNoRoom", spi_deselect, 2, 0, {0xEE, 0xEE, 0xEE}},
                    PinCase{"DeselectZeroRoom", spi_deselect, 0, 0, {0xEE, 0xEE, 0xEE}}),
    case_name<PinCase>);

}  // namespace
