// The vendor-library driver against fake_ftd2xx, a module exporting the
// D2XX calls by their plain names.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "case_name.h"
#include "drivers/ftd2xx_driver.h"
#include "process.h"

namespace {

const std::string kNoDevices = "Can't find FT2232H devices for flash programming!\n";

// The fake's own controls, reached through the loader as the driver does.
struct FakeControls {
    void (*reset)(int wide_results);
    void (*fail)(const char* name, std::uint32_t status);
    int (*unzeroed)();
    void (*other_device)(const char* serial);
    const char* (*last_open)();
    int (*is_open)();
    std::uint32_t (*usb_in)();
};

FakeControls fake_controls() {
    void* library = dlopen(FAKE_FTD2XX, RTLD_NOW);
    EXPECT_NE(library, nullptr) << dlerror();
    return {
        reinterpret_cast<void (*)(int)>(dlsym(library, "fake_ftd2xx_reset")),
        reinterpret_cast<void (*)(const char*, std::uint32_t)>(dlsym(library, "fake_ftd2xx_fail")),
        reinterpret_cast<int (*)()>(dlsym(library, "fake_ftd2xx_unzeroed")),
        reinterpret_cast<void (*)(const char*)>(dlsym(library, "fake_ftd2xx_other_device")),
        reinterpret_cast<const char* (*)()>(dlsym(library, "fake_ftd2xx_last_open")),
        reinterpret_cast<int (*)()>(dlsym(library, "fake_ftd2xx_is_open")),
        reinterpret_cast<std::uint32_t (*)()>(dlsym(library, "fake_ftd2xx_usb_in"))};
}

// --- loading ---------------------------------------------------------------

struct LoadCase {
    std::string name;
    std::string path;
    std::string error_prefix;  // the whole message starts with this...
    std::string error_suffix;  // ...and ends with this
};

class Ftd2xxLoad : public testing::TestWithParam<LoadCase> {};

TEST_P(Ftd2xxLoad, FailureIsOneLineNamingWhatIsMissing) {
    const LoadCase& c = GetParam();
    std::string error;
    std::unique_ptr<D2xxDriver> driver = make_ftd2xx_driver(c.path.c_str(), error);
    EXPECT_EQ(driver, nullptr);
    EXPECT_EQ(error.rfind(c.error_prefix, 0), 0u) << error;
    ASSERT_GE(error.size(), c.error_suffix.size());
    EXPECT_EQ(error.substr(error.size() - c.error_suffix.size()), c.error_suffix);
    EXPECT_EQ(error.find('\n'), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Ftd2xxLoad,
    testing::Values(
        LoadCase{"LibraryMissing", "/nonexistent/libftd2xx.so",
                 "hexburn: can't load the D2XX library /nonexistent/libftd2xx.so (", ")"},
        LoadCase{"CallMissing", FAKE_FTD2XX_NO_READ,
                 std::string("hexburn: the D2XX library ") + FAKE_FTD2XX_NO_READ + " lacks FT_Read",
                 " lacks FT_Read"}),
    case_name<LoadCase>);

// --- calls through a loaded library ---------------------------------------------

struct Loaded {
    FakeControls fake;
    std::unique_ptr<D2xxDriver> driver;
};

Loaded load_fake(bool wide) {
    Loaded loaded{fake_controls(), nullptr};
    loaded.fake.reset(wide ? 1 : 0);
    std::string error;
    loaded.driver = make_ftd2xx_driver(FAKE_FTD2XX, error);
    EXPECT_EQ(error, "");
    return loaded;
}

struct WidthCase {
    std::string name;
    bool wide;  // the library writes 8-byte out-parameters (old 64-bit packages)
};

class Ftd2xxWidth : public testing::TestWithParam<WidthCase> {};

TEST_P(Ftd2xxWidth, OutParametersArriveAs32BitValues) {
    Loaded loaded = load_fake(GetParam().wide);
    ASSERT_NE(loaded.driver, nullptr);
    D2xxDriver& d2xx = *loaded.driver;

    std::uint32_t count = 0;
    ASSERT_EQ(d2xx.create_device_info_list(&count), FT_OK);
    EXPECT_EQ(count, 2u);

    std::uint32_t flags = 0, type = 0, id = 0, location = 0;
    char serial[FT_SERIAL_SIZE] = "x";
    char description[FT_DESCRIPTION_SIZE] = "x";
    FT_HANDLE slot = &count;
    ASSERT_EQ(
        d2xx.get_device_info_detail(1, &flags, &type, &id, &location, serial, description, &slot),
        FT_OK);
    EXPECT_EQ(flags, 2u);
    EXPECT_EQ(type, FT_DEVICE_2232H);
    EXPECT_EQ(id, 0x04036010u);
    EXPECT_EQ(location, 0x22222u);
    EXPECT_STREQ(serial, "B");
    EXPECT_STREQ(description, "Dual RS232-HS B");
    EXPECT_EQ(slot, nullptr);

    FT_HANDLE handle = nullptr;
    ASSERT_EQ(d2xx.open(1, &handle), FT_OK);
    ASSERT_NE(handle, nullptr);
    const std::uint8_t sent[] = {0xAA, 0x87, 0x0B};
    std::uint32_t written = 0;
    ASSERT_EQ(d2xx.write(handle, sent, 3, &written), FT_OK);
    EXPECT_EQ(written, 3u);
    std::uint32_t waiting = 0;
    ASSERT_EQ(d2xx.get_queue_status(handle, &waiting), FT_OK);
    EXPECT_EQ(waiting, 3u);
    std::uint8_t back[4] = {};
    std::uint32_t got = 0;
    ASSERT_EQ(d2xx.read(handle, back, 4, &got), FT_OK);
    EXPECT_EQ(got, 3u);
    EXPECT_EQ(std::vector<std::uint8_t>(back, back + 3), std::vector<std::uint8_t>(sent, sent + 3));

    EXPECT_EQ(loaded.fake.unzeroed(), 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, Ftd2xxWidth,
                         testing::Values(WidthCase{"FourByteResults", false},
                                         WidthCase{"EightByteResults", true}),
                         case_name<WidthCase>);

// An index the census listed is opened by its location and must still be
// the device listed; an index never listed is opened by number.
struct OpenCase {
    std::string name;
    bool census;        // the entries' details were read first
    std::string other;  // not empty: the device at the location now has this serial
    FT_STATUS status;
    std::string opened_with;  // the library call that opened it
};

class Ftd2xxOpen : public testing::TestWithParam<OpenCase> {};

TEST_P(Ftd2xxOpen, ReachesOnlyTheListedDevice) {
    const OpenCase& c = GetParam();
    Loaded loaded = load_fake(false);
    ASSERT_NE(loaded.driver, nullptr);
    D2xxDriver& d2xx = *loaded.driver;
    if (c.census) {
        std::uint32_t count = 0, flags = 0, type = 0, id = 0, location = 0;
        char serial[FT_SERIAL_SIZE];
        char description[FT_DESCRIPTION_SIZE];
        FT_HANDLE slot = nullptr;
        ASSERT_EQ(d2xx.create_device_info_list(&count), FT_OK);
        for (std::uint32_t i = 0; i < count; ++i) {
            d2xx.get_device_info_detail(i, &flags, &type, &id, &location, serial, description,
                                        &slot);
        }
    }
    loaded.fake.other_device(c.other.c_str());
    FT_HANDLE handle = nullptr;
    EXPECT_EQ(d2xx.open(1, &handle), c.status);
    EXPECT_EQ(std::string(loaded.fake.last_open()), c.opened_with);
    EXPECT_EQ(loaded.fake.is_open() != 0, c.status == FT_OK);  // a refused device is closed
    EXPECT_EQ(handle != nullptr, c.status == FT_OK);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Ftd2xxOpen,
    testing::Values(OpenCase{"ListedEntryByLocation", true, "", FT_OK, "FT_OpenEx 139810 4"},
                    OpenCase{"AnotherDeviceAtTheLocation", true, "FT9XB", FT_DEVICE_NOT_OPENED,
                             "FT_OpenEx 139810 4"},
                    OpenCase{"NoCensusByNumber", false, "", FT_OK, "FT_Open 1"}),
    case_name<OpenCase>);

// The vendor's FT_SetUSBParameters takes multiples of 64 from 64 to 65536.
TEST(Ftd2xxUsbParameters, TransferSizeIsAMultipleOf64) {
    Loaded loaded = load_fake(false);
    ASSERT_NE(loaded.driver, nullptr);
    FT_HANDLE handle = nullptr;
    ASSERT_EQ(loaded.driver->open(0, &handle), FT_OK);
    const std::uint32_t asked[][2] = {{65535, 65536}, {1, 64}, {4096, 4096}, {70000, 65536}};
    for (const auto& [size, sent] : asked) {
        EXPECT_EQ(loaded.driver->set_usb_parameters(handle, size, size), FT_OK);
        EXPECT_EQ(loaded.fake.usb_in(), sent) << size;
    }
}

// A failing call hands back the library's own status and leaves the caller's
// out-parameters as they were.
struct FailCase {
    std::string name;
    std::string failing;
    std::function<FT_STATUS(D2xxDriver&, FT_HANDLE, std::uint32_t*)> call;
};

class Ftd2xxFailure : public testing::TestWithParam<FailCase> {};

TEST_P(Ftd2xxFailure, StatusPassesThroughAndOutputStaysUntouched) {
    Loaded loaded = load_fake(true);
    ASSERT_NE(loaded.driver, nullptr);
    FT_HANDLE handle = nullptr;
    ASSERT_EQ(loaded.driver->open(0, &handle), FT_OK);
    loaded.fake.fail(GetParam().failing.c_str(), FT_IO_ERROR);
    std::uint32_t out = 0xDEADBEEF;
    EXPECT_EQ(GetParam().call(*loaded.driver, handle, &out), FT_IO_ERROR);
    EXPECT_EQ(out, 0xDEADBEEFu);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Ftd2xxFailure,
    testing::Values(FailCase{"Census", "FT_CreateDeviceInfoList",
                             [](D2xxDriver& d, FT_HANDLE, std::uint32_t* out) {
                                 return d.create_device_info_list(out);
                             }},
                    FailCase{"QueueStatus", "FT_GetQueueStatus",
                             [](D2xxDriver& d, FT_HANDLE h, std::uint32_t* out) {
                                 return d.get_queue_status(h, out);
                             }},
                    FailCase{"Read", "FT_Read",
                             [](D2xxDriver& d, FT_HANDLE h, std::uint32_t* out) {
                                 std::uint8_t byte = 0;
                                 return d.read(h, &byte, 1, out);
                             }}),
    case_name<FailCase>);

// --- the program with a library that cannot be used ---------------------------------

struct CommandCase {
    std::string name;
    std::string driver;
    std::string error;
};

class Ftd2xxCommand : public testing::TestWithParam<CommandCase> {};

TEST_P(Ftd2xxCommand, CensusFailsAfterOneLineOnStandardError) {
    ProcessResult run =
        run_process({HEXBURN_EXE, "image.hex"}, {"HEXBURN_DRIVER=" + GetParam().driver});
    EXPECT_EQ(run.exit_status, 1);
    ASSERT_GE(run.out.size(), kNoDevices.size());
    EXPECT_EQ(run.out.substr(run.out.size() - kNoDevices.size()), kNoDevices);
    EXPECT_EQ(run.err.rfind(GetParam().error, 0), 0u) << run.err;
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Ftd2xxCommand,
    testing::Values(CommandCase{"LibraryMissing", "ftd2xx:/nonexistent/libftd2xx.so",
                                "hexburn: can't load the D2XX library /nonexistent/libftd2xx.so ("},
                    CommandCase{"CallMissing", std::string("ftd2xx:") + FAKE_FTD2XX_NO_READ,
                                std::string("hexburn: the D2XX library ") + FAKE_FTD2XX_NO_READ +
                                    " lacks FT_Read"}),
    case_name<CommandCase>);

}  // namespace
