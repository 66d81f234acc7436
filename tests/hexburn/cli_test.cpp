#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "hexburn/hexburn.h"
#include "scripted_driver.h"

namespace {

const std::string kNoDevices = "Can't find FT2232H devices for flash programming!\n";
const std::regex kBanner(
    R"(Flash programmer for oxa-2\.x boards\(Built: [A-Z][a-z]{2} [ 123]\d \d{4} : \d\d:\d\d:\d\d\)
\r)");

struct Outcome {
    int status;
    std::string text;
    std::vector<std::string> calls;
};

Outcome run(std::vector<std::string> args, ScriptedDriver& driver) {
    std::vector<char*> argv;
    std::string program = "hexburn";
    argv.push_back(program.data());
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    BoundDriver bound(driver);
    ConsoleCapture console;
    int status = hexburn_main(static_cast<int>(argv.size() - 1), argv.data());
    return {status, console.text(), driver.names()};
}

// Splits the banner off the front, checking its form.
std::string after_banner(const std::string& text) {
    std::smatch match;
    EXPECT_TRUE(std::regex_search(text, match, kBanner, std::regex_constants::match_continuous))
        << text;
    return match.empty() ? text : text.substr(static_cast<std::size_t>(match.length(0)));
}

TEST(Cli, CensusFailureIsReportedOnlyAfterTheArgumentChecks) {
    ScriptedDriver driver;
    driver.devices = {{FT_DEVICE_2232H, "B", "Dual RS232-HS B"}};
    driver.census_status = FT_IO_ERROR;
    EXPECT_EQ(run({"-h"}, driver).status, 0);
    Outcome outcome = run({"image.hex"}, driver);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(after_banner(outcome.text), kNoDevices);
    // The census is taken before anything else.
    ASSERT_FALSE(outcome.calls.empty());
    EXPECT_EQ(outcome.calls.front(), "FT_CreateDeviceInfoList");
}

}  // namespace
