// The libftdi driver over a scripted bus (naming, receive queue, read
// time-out), and the program on the real libusb with no board attached.
#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "case_name.h"
#include "drivers/libftdi_driver.h"
#include "hexburn/hexburn.h"
#include "d2xx/d2xx.h"
#include "process.h"
#include "scripted_driver.h"

namespace {

const std::string kNoDevices = "Can't find FT2232H devices for flash programming!\n";

// What one ftdi_read_data call yields: bytes (possibly none), or an error.
struct Reply {
    std::vector<std::uint8_t> bytes;
    int error = 0;
};

// The bus and its one channel, kept by the test while the driver owns the fakes.
struct Script {
    bool reachable = true;
    std::vector<FtdiChip> chips;
    bool open_fails = false;
    std::vector<std::pair<std::size_t, int>> opened;  // (chip, interface)

    std::deque<Reply> replies;         // taken one per read; none left: nothing arrives
    std::deque<std::uint8_t> pending;  // a reply's bytes the caller had no room for
    int reads = 0;

    std::uint64_t now_ms = 0;
    std::uint64_t read_ms = 1;  // virtual time one read takes: about a latency period
};

class FakeChannel final : public FtdiChannel {
  public:
    explicit FakeChannel(Script& script) : s_(script) {}
    int reset() override {
        s_.pending.clear();
        return 0;
    }
    int set_chunk_sizes(std::uint32_t, std::uint32_t) override {
        s_.pending.clear();
        return 0;
    }
    int set_chars(std::uint8_t, std::uint8_t, std::uint8_t, std::uint8_t) override { return 0; }
    void set_usb_timeouts(std::uint32_t, std::uint32_t) override {}
    int set_latency_timer(std::uint8_t) override { return 0; }
    int set_bitmode(std::uint8_t, std::uint8_t) override { return 0; }
    int write(const std::uint8_t*, int count) override { return count; }
    int read(std::uint8_t* data, int count) override {
        ++s_.reads;
        s_.now_ms += s_.read_ms;
        if (s_.pending.empty() && !s_.replies.empty()) {
            Reply reply = s_.replies.front();
            s_.replies.pop_front();
            if (reply.error != 0) {
                return reply.error;
            }
            s_.pending.assign(reply.bytes.begin(), reply.bytes.end());
        }
        int n = 0;
        for (; n < count && !s_.pending.empty(); ++n) {
            data[n] = s_.pending.front();
            s_.pending.pop_front();
        }
        return n;
    }

  private:
    Script& s_;
};

class FakeBus final : public FtdiBus {
  public:
    explicit FakeBus(Script& script) : s_(script) {}
    bool list(std::vector<FtdiChip>& chips) override {
        chips = s_.reachable ? s_.chips : std::vector<FtdiChip>{};
        return s_.reachable;
    }
    std::unique_ptr<FtdiChannel> open(std::size_t chip, int interface) override {
        s_.opened.emplace_back(chip, interface);
        if (s_.open_fails) {
            return nullptr;
        }
        return std::make_unique<FakeChannel>(s_);
    }
    std::uint64_t now_ms() override { return s_.now_ms; }
    void sleep_ms(std::uint32_t ms) override { s_.now_ms += ms; }

  private:
    Script& s_;
};

std::unique_ptr<D2xxDriver> driver_over(Script& script) {
    return make_libftdi_driver(std::make_unique<FakeBus>(script));
}

FtdiChip chip(std::string serial, std::string description) {
    FtdiChip c;
    c.serial = std::move(serial);
    c.description = std::move(description);
    return c;
}

struct Entry {
    FT_STATUS status = FT_OK;
    std::uint32_t flags = 0, type = 0, id = 0, location = 0;
    std::string serial, description;
};

Entry entry(D2xxDriver& d2xx, std::uint32_t index) {
    Entry e;
    char serial[FT_SERIAL_SIZE] = {};
    char description[FT_DESCRIPTION_SIZE] = {};
    FT_HANDLE handle = &e;
    e.status = d2xx.get_device_info_detail(index, &e.flags, &e.type, &e.id, &e.location, serial,
                                           description, &handle);
    e.serial = serial;
    e.description = description;
    if (e.status == FT_OK) {
        EXPECT_EQ(handle, nullptr);
    }
    return e;
}

// --- names: each chip is two D2XX entries, A then B ----------------------------------

struct NameCase {
    std::string name;
    FtdiChip chip;
    std::uint32_t type, flags;
    std::string serial_a, serial_b;
    std::string description_a, description_b;
};

class LibftdiNames : public testing::TestWithParam<NameCase> {};

TEST_P(LibftdiNames, InterfacesAreNamedAsD2xxNamesThem) {
    const NameCase& c = GetParam();
    Script script;
    script.chips = {c.chip};
    std::unique_ptr<D2xxDriver> d2xx = driver_over(script);
    std::uint32_t count = 0;
    ASSERT_EQ(d2xx->create_device_info_list(&count), FT_OK);
    ASSERT_EQ(count, 2u);
    Entry a = entry(*d2xx, 0), b = entry(*d2xx, 1);
    ASSERT_EQ(a.status, FT_OK);
    ASSERT_EQ(b.status, FT_OK);
    EXPECT_EQ(a.serial, c.serial_a);
    EXPECT_EQ(b.serial, c.serial_b);
    EXPECT_EQ(a.description, c.description_a);
    EXPECT_EQ(b.description, c.description_b);
    for (const Entry& e : {a, b}) {
        EXPECT_EQ(e.type, c.type);
        EXPECT_EQ(e.flags, c.flags);
        EXPECT_EQ(e.id, 0x04036010u);
    }
    EXPECT_EQ(a.location, c.chip.location * 16 + 1);
    EXPECT_EQ(b.location, c.chip.location * 16 + 2);
}

FtdiChip with(FtdiChip c, std::uint16_t release, bool high_speed, std::uint32_t location = 0x22) {
    c.release = release;
    c.high_speed = high_speed;
    c.location = location;
    return c;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LibftdiNames,
    testing::Values(NameCase{"ProgrammedEeprom", with(chip("FT7XQ2", "oxa-2 board"), 0x0700, true),
                             6, 2, "FT7XQ2A", "FT7XQ2B", "oxa-2 board A", "oxa-2 board B"},
                    NameCase{"BlankEeprom", with(chip("", ""), 0x0700, true, 0x1432), 6, 2, "A",
                             "B", "Dual RS232-HS A", "Dual RS232-HS B"},
                    // Same USB identity, older chip: not type 6, so never picked for programming.
                    NameCase{"Ft2232dAtFullSpeed", with(chip("", ""), 0x0500, false), 4, 0, "A",
                             "B", "Dual RS232 A", "Dual RS232 B"},
                    // Overlong strings are cut so that the interface suffix still fits.
                    NameCase{"LongStrings",
                             with(chip("0123456789ABCDEFGH", std::string(70, 'd')), 0x0700, true),
                             6, 2, "0123456789ABCDA", "0123456789ABCDB",
                             std::string(61, 'd') + " A", std::string(61, 'd') + " B"}),
    case_name<NameCase>);

// --- the census -------------------------------------------------------------------

TEST(LibftdiCensus, NoUsbBusMeansNoDevices) {
    Script script;
    script.reachable = false;
    script.chips = {chip("", "")};
    std::unique_ptr<D2xxDriver> d2xx = driver_over(script);
    std::uint32_t count = 99;
    EXPECT_EQ(d2xx->create_device_info_list(&count), FT_OK);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(entry(*d2xx, 0).status, FT_DEVICE_NOT_FOUND);
}

TEST(LibftdiCensus, ChipWhoseStringsCannotBeReadHasNoDetails) {
    Script script;
    script.chips = {chip("", "")};
    script.chips[0].readable = false;
    std::unique_ptr<D2xxDriver> d2xx = driver_over(script);
    std::uint32_t count = 0;
    ASSERT_EQ(d2xx->create_device_info_list(&count), FT_OK);
    EXPECT_EQ(count, 2u);
    EXPECT_NE(entry(*d2xx, 1).status, FT_OK);
}

// The program's own rule (type 6, serial exactly "B") picks interface B of a
// blank-EEPROM board through this driver, as it does through D2XX.
TEST(LibftdiCensus, DiscoveryPicksInterfaceBOfABlankBoard) {
    Script script;
    script.chips = {chip("FT0001", "Other"), chip("", "")};
    std::unique_ptr<D2xxDriver> d2xx = driver_over(script);
    BoundDriver bound(*d2xx);
    ConsoleCapture console;
    std::uint32_t count = 0;
    FT_STATUS census = FT_CreateDeviceInfoList(&count);
    FT_HANDLE handle = nullptr;
    EXPECT_EQ(discover_device(census, count, &handle), 0);
    EXPECT_EQ(console.text(),
              "Founded FT2232H devices:\n\tDeviceID=3, description=\"Dual RS232-HS B\"\n");
    ASSERT_EQ(script.opened.size(), 1u);
    EXPECT_EQ(script.opened[0], std::make_pair(std::size_t{1}, 1));
    EXPECT_EQ(FT_Close(handle), FT_OK);
}

// --- opening and handles ----------------------------------------------------------

TEST(LibftdiOpen, FailuresAndStaleHandles) {
    Script script;
    script.chips = {chip("", "")};
    std::unique_ptr<D2xxDriver> d2xx = driver_over(script);
    std::uint32_t count = 0;
    ASSERT_EQ(d2xx->create_device_info_list(&count), FT_OK);
    FT_HANDLE handle = nullptr;
    EXPECT_EQ(d2xx->open(2, &handle), FT_DEVICE_NOT_OPENED);
    EXPECT_EQ(d2xx->open(-1, &handle), FT_DEVICE_NOT_OPENED);
    script.open_fails = true;
    EXPECT_EQ(d2xx->open(1, &handle), FT_DEVICE_NOT_OPENED);
    EXPECT_EQ(handle, nullptr);
    script.open_fails = false;
    ASSERT_EQ(d2xx->open(1, &handle), FT_OK);
    ASSERT_EQ(d2xx->close(handle), FT_OK);
    std::uint32_t value = 0;
    EXPECT_EQ(d2xx->get_queue_status(handle, &value), FT_INVALID_HANDLE);
    EXPECT_EQ(d2xx->close(handle), FT_INVALID_HANDLE);
}

// --- an opened interface ---------------------------------------------------------

struct Opened {
    std::unique_ptr<D2xxDriver> d2xx;
    FT_HANDLE handle = nullptr;
};

Opened open_one(Script& script) {
    script.chips = {chip("", "")};
    Opened o{driver_over(script), nullptr};
    std::uint32_t count = 0;
    EXPECT_EQ(o.d2xx->create_device_info_list(&count), FT_OK);
    EXPECT_EQ(o.d2xx->open(1, &o.handle), FT_OK);
    return o;
}

// --- the receive queue and reads -------------------------------------------------------

struct ReadCase {
    std::string name;
    std::vector<Reply> replies;
    std::uint64_t read_ms;     // virtual time one libftdi read takes
    std::uint32_t timeout_ms;  // 0: none set
    bool poll_first;           // FT_GetQueueStatus once before reading
    std::uint32_t polled;      // what it reports
    std::uint32_t count;       // FT_Read's request
    FT_STATUS status;
    std::vector<std::uint8_t> got;
    int max_reads;  // libftdi reads allowed in all
};

class LibftdiRead : public testing::TestWithParam<ReadCase> {};

TEST_P(LibftdiRead, QueueThenChipUntilCountOrTimeOut) {
    const ReadCase& c = GetParam();
    Script script;
    Opened o = open_one(script);
    script.replies.assign(c.replies.begin(), c.replies.end());
    script.read_ms = c.read_ms;
    if (c.timeout_ms != 0) {
        ASSERT_EQ(o.d2xx->set_timeouts(o.handle, c.timeout_ms, c.timeout_ms), FT_OK);
    }
    if (c.poll_first) {
        std::uint32_t waiting = 0;
        ASSERT_EQ(o.d2xx->get_queue_status(o.handle, &waiting), FT_OK);
        EXPECT_EQ(waiting, c.polled);
    }
    std::vector<std::uint8_t> buffer(c.count, 0);
    std::uint32_t got = 12345;
    EXPECT_EQ(o.d2xx->read(o.handle, buffer.data(), c.count, &got), c.status);
    if (c.status == FT_OK) {
        ASSERT_EQ(got, c.got.size());
        buffer.resize(got);
        EXPECT_EQ(buffer, c.got);
    }
    EXPECT_LE(script.reads, c.max_reads);
}

// `quiet` reads that yield nothing, then one read per chunk.
std::vector<Reply> replies(int quiet, const std::vector<std::vector<std::uint8_t>>& chunks = {}) {
    std::vector<Reply> out(static_cast<std::size_t>(quiet));
    for (const auto& chunk : chunks) {
        out.push_back(Reply{chunk});
    }
    return out;
}

const std::vector<Reply> kUsbError = {Reply{{}, -4}};

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Cases, LibftdiRead,
    testing::Values(
        ReadCase{"PolledBytesComeFirst", replies(0, {{1, 2}, {3, 4, 5}}), 1, 3000, true, 2, 4,
                 FT_OK, {1, 2, 3, 4}, 2},
        ReadCase{"WaitsThroughEmptyReads", replies(3, {{9}}), 1, 3000, false, 0, 1, FT_OK, {9}, 4},
        // No time-out set (the state after FT_Open): wait as long as it takes.
        ReadCase{"NoTimeOutWaitsAsLongAsItTakes", replies(50, {{7, 8}}), 100, 0, false, 0, 2,
                 FT_OK, {7, 8}, 51},
        ReadCase{"TimeOutGivesShortCountAndOk", replies(100), 16, 100, false, 0, 3, FT_OK, {}, 7},
        ReadCase{"UsbErrorIsIoError", kUsbError, 1, 3000, false, 0, 1, FT_IO_ERROR, {}, 1}),
    case_name<ReadCase>);
// clang-format on

struct DropCase {
    std::string name;
    FT_STATUS (*drop)(D2xxDriver&, FT_HANDLE);
};

class LibftdiDrop : public testing::TestWithParam<DropCase> {};

// As in D2XX, a reset or new USB parameters throw away what was received.
TEST_P(LibftdiDrop, QueueIsEmptiedBy) {
    Script script;
    Opened o = open_one(script);
    script.replies = {{{1, 2, 3}}};
    std::uint32_t waiting = 0;
    ASSERT_EQ(o.d2xx->get_queue_status(o.handle, &waiting), FT_OK);
    ASSERT_EQ(waiting, 3u);
    ASSERT_EQ(GetParam().drop(*o.d2xx, o.handle), FT_OK);
    ASSERT_EQ(o.d2xx->get_queue_status(o.handle, &waiting), FT_OK);
    EXPECT_EQ(waiting, 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, LibftdiDrop,
                         testing::Values(DropCase{"ResetDevice",
                                                  [](D2xxDriver& d, FT_HANDLE h) {
                                                      return d.reset_device(h);
                                                  }},
                                         DropCase{"SetUSBParameters",
                                                  [](D2xxDriver& d, FT_HANDLE h) {
                                                      return d.set_usb_parameters(h, 65535, 65535);
                                                  }}),
                         case_name<DropCase>);

// --- the program on the real libusb, with no board attached ---------------------------

struct NoBoardCase {
    std::string name;
    std::string driver;  // "HEXBURN_DRIVER=" alone: unset, the default
};

class LibftdiNoBoard : public testing::TestWithParam<NoBoardCase> {};

TEST_P(LibftdiNoBoard, CensusMessageAndExit1) {
    ProcessResult run = run_process({HEXBURN_EXE, "image.hex"}, {GetParam().driver});
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.exit_status, 1);
    ASSERT_GE(run.out.size(), kNoDevices.size());
    EXPECT_EQ(run.out.substr(run.out.size() - kNoDevices.size()), kNoDevices);
    EXPECT_EQ(run.out.find("Founded"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Cases, LibftdiNoBoard,
                         testing::Values(NoBoardCase{"Named", "HEXBURN_DRIVER=libftdi"},
                                         NoBoardCase{"Default", "HEXBURN_DRIVER="}),
                         case_name<NoBoardCase>);

}  // namespace
