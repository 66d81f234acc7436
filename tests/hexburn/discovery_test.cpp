#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "case_name.h"
#include "hexburn/hexburn.h"
#include "d2xx/d2xx.h"
#include "scripted_driver.h"

namespace {

using Device = ScriptedDriver::Device;

const std::string kNoDevices = "Can't find FT2232H devices for flash programming!\n";

struct Outcome {
    int status;
    std::string text;
    std::vector<ScriptedDriver::Call> opens;
};

Outcome discover(ScriptedDriver& driver, const std::string& input = "") {
    BoundDriver bound(driver);
    ConsoleCapture console(input);
    std::uint32_t count = 0;
    FT_STATUS census = FT_CreateDeviceInfoList(&count);
    FT_HANDLE handle = nullptr;
    int status = discover_device(census, count, &handle);
    if (status == 0) {
        EXPECT_EQ(handle, ScriptedDriver::handle());
    }
    return {status, console.text(), driver.calls_named("FT_Open")};
}

// Two qualifying interfaces, at indexes 1 and 3, among four.
std::vector<Device> two_boards() {
    return {{FT_DEVICE_2232H, "A", "Dual RS232-HS A"},
            {FT_DEVICE_2232H, "B", "Dual RS232-HS B"},
            {FT_DEVICE_2232H, "A", "Board 2 A"},
            {FT_DEVICE_2232H, "B", "Board 2 B"}};
}

const std::string kTwoListed =
    "Founded FT2232H devices:\n"
    "\tDeviceID=1, description=\"Dual RS232-HS B\"\n"
    "\tDeviceID=3, description=\"Board 2 B\"\n"
    "Enter device DeviceID from the list: ";

TEST(Discovery, OneQualifyingInterfaceAmongOthersOpensWithoutPrompt) {
    ScriptedDriver driver;
    driver.devices = {{4, "FT1234", "FT2232C"},
                      {FT_DEVICE_2232H, "A", "Dual RS232-HS A"},
                      {FT_DEVICE_2232H, "xB", "Other B"},
                      {8, "B", "FT232H"},
                      {FT_DEVICE_2232H, "B", "Dual RS232-HS B"},
                      {FT_DEVICE_2232H, "b", "lower b"}};
    Outcome outcome = discover(driver);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.text,
              "Founded FT2232H devices:\n\tDeviceID=4, description=\"Dual RS232-HS B\"\n");
    ASSERT_EQ(outcome.opens.size(), 1u);
    EXPECT_EQ(outcome.opens[0].args[0], 4u);
}

TEST(Discovery, IndexWhoseDetailsFailIsLeftOut) {
    ScriptedDriver driver;
    driver.devices = {{FT_DEVICE_2232H, "B", "broken", FT_IO_ERROR},
                      {FT_DEVICE_2232H, "B", "Dual RS232-HS B"}};
    Outcome outcome = discover(driver);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.text,
              "Founded FT2232H devices:\n\tDeviceID=1, description=\"Dual RS232-HS B\"\n");
}

struct NoDeviceCase {
    const char* name;
    FT_STATUS census;
    std::vector<Device> devices;
};

class NoDeviceTest : public testing::TestWithParam<NoDeviceCase> {};

TEST_P(NoDeviceTest, ReportsAndOpensNothing) {
    ScriptedDriver driver;
    driver.census_status = GetParam().census;
    driver.devices = GetParam().devices;
    Outcome outcome = discover(driver);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.text, kNoDevices);
    EXPECT_TRUE(outcome.opens.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Census, NoDeviceTest,
    testing::Values(NoDeviceCase{"CensusFails", FT_IO_ERROR, {{FT_DEVICE_2232H, "B", "B"}}},
                    NoDeviceCase{"NoDevices", FT_OK, {}},
                    NoDeviceCase{
                        "OnlyInterfaceA", FT_OK, {{FT_DEVICE_2232H, "A", "Dual RS232-HS A"}}},
                    NoDeviceCase{"SerialEndingInB", FT_OK, {{FT_DEVICE_2232H, "FT12B", "x B"}}},
                    NoDeviceCase{"WrongType", FT_OK, {{7, "B", "Quad RS232-HS B"}}}),
    case_name<NoDeviceCase>);

struct ChoiceCase {
    const char* name;
    std::string input;
    int opened;  // -1: nothing opened, "Incorrect DeviceID!"
};

class ChoiceTest : public testing::TestWithParam<ChoiceCase> {};

TEST_P(ChoiceTest, OnlyAListedIndexIsOpened) {
    const ChoiceCase& c = GetParam();
    ScriptedDriver driver;
    driver.devices = two_boards();
    Outcome outcome = discover(driver, c.input);
    if (c.opened < 0) {
        EXPECT_EQ(outcome.status, 1);
        EXPECT_EQ(outcome.text, kTwoListed + "Incorrect DeviceID!\n");
        EXPECT_TRUE(outcome.opens.empty());
    } else {
        EXPECT_EQ(outcome.status, 0);
        EXPECT_EQ(outcome.text, kTwoListed);
        ASSERT_EQ(outcome.opens.size(), 1u);
        EXPECT_EQ(outcome.opens[0].args[0], static_cast<std::uint32_t>(c.opened));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Prompt, ChoiceTest,
    testing::Values(ChoiceCase{"Three", "3\n", 3}, ChoiceCase{"One", "1\n", 1},
                    ChoiceCase{"SpacesAround", "  3  \n", 3},
                    ChoiceCase{"UnlistedBelowCount", "2\n", -1}, ChoiceCase{"Negative", "-1\n", -1},
                    ChoiceCase{"AtCount", "4\n", -1}, ChoiceCase{"Huge", "4294967297\n", -1},
                    ChoiceCase{"NotANumber", "x\n", -1}, ChoiceCase{"TrailingGarbage", "3x\n", -1},
                    ChoiceCase{"EndOfInput", "", -1}),
    case_name<ChoiceCase>);

TEST(Discovery, OpenFailureIsReported) {
    ScriptedDriver driver;
    driver.devices = {{FT_DEVICE_2232H, "B", "Dual RS232-HS B"}};
    driver.fail("FT_Open", 1, FT_DEVICE_NOT_OPENED);
    Outcome outcome = discover(driver);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.text,
              "Founded FT2232H devices:\n\tDeviceID=0, description=\"Dual RS232-HS B\"\n"
              "Can't open FT2232H device!\n");
}

}  // namespace
