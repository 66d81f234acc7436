// The sim driver's contract: options, census, faults, trace, report, flash
// file and the virtual time of each call.
#include "simboard/sim_driver.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "case_name.h"
#include "drivers/select.h"
#include "test_dir.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint64_t kMs = 1'000'000;
constexpr std::uint64_t kMicroframe = 125'000;
constexpr std::uint8_t kWrite = 0x02;  // M25P16 PP
constexpr std::uint8_t kRead = 0x03;
constexpr std::uint8_t kReadStatus = 0x05;
constexpr std::uint8_t kWriteEnable = 0x06;
constexpr std::uint8_t kSectorErase = 0xD8;
constexpr std::uint8_t kBulkErase = 0xC7;

std::string temp_path(const std::string& name) {
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    std::string unique = std::string(test->test_suite_name()) + "_" + test->name() + "_" + name;
    for (char& c : unique) {
        c = c == '/' ? '_' : c;
    }
    std::string path = test_path("sim_" + unique);
    std::remove(path.c_str());
    return path;
}

std::string file_text(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// A simulated board driven the way a host drives an SPI flash over MPSSE.
struct Board {
    std::shared_ptr<SimDriver> driver;
    FT_HANDLE handle = nullptr;

    explicit Board(const std::string& options) {
        SimOptions parsed;
        std::string error;
        EXPECT_TRUE(parse_sim_options(options, parsed, error)) << error;
        driver = std::make_shared<SimDriver>(std::move(parsed));
        EXPECT_TRUE(driver->start_trace(error)) << error;
    }
    // Another handle on the same driver.
    explicit Board(std::shared_ptr<SimDriver> same) : driver(std::move(same)) {}
    FT_STATUS open(int index = 1) { return driver->open(index, &handle); }
    std::uint64_t now() { return driver->board().clock.now_ns; }

    // MPSSE, SK 1 MHz, mode 0, CS high; 3 s read time-out, 1 ms latency.
    void set_up() {
        driver->set_timeouts(handle, 3000, 3000);
        driver->set_latency_timer(handle, 1);
        driver->set_bit_mode(handle, 0, 0);
        driver->set_bit_mode(handle, 0, 2);
        write({0x8A, 0x97, 0x8D, 0x80, 0x88, 0x8B, 0x86, 0x1D, 0x00, 0x85});
    }
    FT_STATUS write(const Bytes& bytes, std::uint32_t* written = nullptr) {
        std::uint32_t count = 0;
        FT_STATUS status =
            driver->write(handle, bytes.data(), static_cast<std::uint32_t>(bytes.size()), &count);
        if (written != nullptr) {
            *written = count;
        }
        return status;
    }
    Bytes read(std::uint32_t count, FT_STATUS* status = nullptr) {
        Bytes data(count);
        std::uint32_t got = 0;
        FT_STATUS result = driver->read(handle, data.data(), count, &got);
        if (status != nullptr) {
            *status = result;
        }
        data.resize(result == FT_OK ? got : 0);
        return data;
    }
    // One transaction: `out` clocked out, then `in` bytes clocked in.
    Bytes spi(const Bytes& out, std::uint32_t in = 0) {
        Bytes command = {0x80,
                         0x80,
                         0x8B,
                         0x11,
                         static_cast<std::uint8_t>(out.size() - 1),
                         static_cast<std::uint8_t>((out.size() - 1) >> 8)};
        command.insert(command.end(), out.begin(), out.end());
        if (in != 0) {
            command.insert(command.end(), {0x24, static_cast<std::uint8_t>(in - 1),
                                           static_cast<std::uint8_t>((in - 1) >> 8)});
        }
        command.insert(command.end(), {0x80, 0x88, 0x8B});
        write(command);
        return in != 0 ? read(in) : Bytes{};
    }
    std::uint8_t status() { return spi({kReadStatus}, 1).at(0); }
    void wait_ready() {
        for (int poll = 0; poll < 100 && (status() & 1) != 0; ++poll) {
        }
    }
    void program(std::uint32_t address, std::uint8_t value) {
        spi({kWriteEnable});
        spi({kWrite, static_cast<std::uint8_t>(address >> 16),
             static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(address), value});
        wait_ready();
    }
    Bytes read_flash(std::uint32_t address, std::uint32_t count) {
        return spi({kRead, static_cast<std::uint8_t>(address >> 16),
                    static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(address)},
                   count);
    }
};

// --- options -----------------------------------------------------------------

struct BadOption {
    std::string name;
    std::string options;
    std::string word;  // what the one-line error must quote
};

class SimBadOption : public testing::TestWithParam<BadOption> {};

TEST_P(SimBadOption, IsNamedOnOneLineAndTheDriverIsNotMade) {
    const BadOption& c = GetParam();
    std::string error;
    std::unique_ptr<D2xxDriver> driver = make_driver(("sim:" + c.options).c_str(), error);
    EXPECT_EQ(driver, nullptr);
    EXPECT_EQ(error.rfind("hexburn: HEXBURN_DRIVER: ", 0), 0u) << error;
    EXPECT_NE(error.find("'" + c.word + "'"), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Words, SimBadOption,
    testing::Values(BadOption{"BoardsNine", "boards=9", "boards=9"},
                    BadOption{"BoardsNotANumber", "flash=f,boards=two", "boards=two"},
                    BadOption{"UnknownTiming", "timing=fast", "timing=fast"},
                    BadOption{"UnknownFault", "fault=melt", "fault=melt"},
                    BadOption{"CountFromOne", "fault=write-fail@0", "fault=write-fail@0"},
                    BadOption{"NoEchoTakesNoCount", "fault=no-echo@2", "fault=no-echo@2"},
                    BadOption{"StuckZeroOutsideTheChip", "fault=stuck-zero@0x200000",
                              "fault=stuck-zero@0x200000"},
                    BadOption{"UnknownKey", "boards=1,colour=red", "colour=red"},
                    BadOption{"NoValue", "flash", "flash"},
                    BadOption{"UnwritableTrace", "trace=/nonexistent/trace.txt",
                              "trace=/nonexistent/trace.txt"},
                    BadOption{"CensusIsADirectory", "census=/", "census=/"},
                    BadOption{"NoSuchBoard", "boards=2,fault=write-fail@1#2",
                              "fault=write-fail@1#2"},
                    BadOption{"CensusFaultOfABoard", "fault=census-fail#0", "fault=census-fail#0"},
                    // Options and faults of the USB face only, refused by name.
                    BadOption{"UsbSpeed", "speed=full", "speed=full"},
                    BadOption{"UsbState", "boards=1,state=/tmp/s", "state=/tmp/s"},
                    BadOption{"UsbSerial", "serial=FT7XQ2", "serial=FT7XQ2"},
                    BadOption{"UsbFault", "fault=deny", "fault=deny"},
                    // unplug is on both faces now; it needs its count.
                    BadOption{"UnplugWithoutCount", "fault=unplug", "fault=unplug"}),
    case_name<BadOption>);

TEST(SimOptions, EachFaceRefusesTheOtherFacesWordsByName) {
    struct Case {
        const char* options;
        SimFace face;
        const char* error;  // empty: accepted
    };
    const Case cases[] = {
        {"census=/x", SimFace::kUsb,
         "HEXBURN_USB_SIM: sim option 'census=/x': an option of the D2XX face, not of the USB "
         "face"},
        {"fault=write-fail@2", SimFace::kUsb,
         "HEXBURN_USB_SIM: sim option 'fault=write-fail@2': a fault of the D2XX face, not of the "
         "USB face"},
        {"speed=full", SimFace::kD2xx,
         "hexburn: HEXBURN_DRIVER: sim option 'speed=full': an option of the USB face, not of the "
         "D2XX face"},
        {"boards=2,speed=full,serial=S,state=/x,fault=unplug@9#1,fault=busy,id=ef4015,"
         "fault=interrupt@3,fault=stuck-busy",
         SimFace::kUsb, ""},
        {"timing=zero", SimFace::kUsb, ""},
    };
    for (const Case& c : cases) {
        SimOptions options;
        std::string error;
        EXPECT_EQ(parse_sim_options(c.options, options, error, c.face), *c.error == '\0')
            << c.options;
        EXPECT_EQ(error, c.error);
    }
    SimOptions usb;
    std::string error;
    ASSERT_TRUE(parse_sim_options("boards=2,fault=unplug@9#1,id=ef4015,fault=interrupt@3", usb,
                                  error, SimFace::kUsb));
    EXPECT_EQ(usb.jedec_id, 0xEF4015u);
    EXPECT_TRUE(usb.raise_sigint.strikes(3));
    EXPECT_EQ(sim_board_options(usb, 0, SimFace::kUsb).unplug_at, 0u);
    EXPECT_EQ(sim_board_options(usb, 1, SimFace::kUsb).unplug_at, 9u);
}

// The protection bits live in F.status beside the chip file: a board opened
// afresh (another driver, as another program would) starts with them.
TEST(SimStatusFile, ProtectionOutlivesTheDriverThatSetIt) {
    constexpr std::uint8_t kWriteStatus = 0x01;
    std::string flash = temp_path("status.bin");
    std::string status_file = flash + ".status";
    std::remove(flash.c_str());
    std::remove(status_file.c_str());
    {
        Board board("flash=" + flash + ",timing=zero");
        ASSERT_EQ(board.open(), FT_OK);
        board.set_up();
        EXPECT_EQ(file_text(status_file), "m25p16 00\n");  // made with the chip file
        board.spi({kWriteEnable});
        board.spi({kWriteStatus, 0x9C});
        board.wait_ready();
        EXPECT_EQ(file_text(status_file), "m25p16 9c\n");
        board.driver->close(board.handle);
    }
    for (const char* written : {"m25p16 9c\n", "w25q16jv 9c\n"}) {
        std::ofstream(status_file) << written;
        Board again("flash=" + flash);
        ASSERT_EQ(again.open(), FT_OK);
        again.set_up();
        bool ours = std::string(written).starts_with("m25p16");
        // Another model's status file is ignored and rewritten.
        EXPECT_EQ(again.status(), ours ? 0x9C : 0x00) << written;
        again.driver->close(again.handle);
        EXPECT_EQ(file_text(status_file), ours ? "m25p16 9c\n" : "m25p16 00\n");
    }
    // A chip file made anew starts unprotected whatever was beside it.
    std::remove(flash.c_str());
    std::ofstream(status_file) << "m25p16 9c\n";
    Board fresh("flash=" + flash);
    ASSERT_EQ(fresh.open(), FT_OK);
    fresh.set_up();
    EXPECT_EQ(fresh.status(), 0x00);
    fresh.driver->close(fresh.handle);
    std::remove(flash.c_str());
    std::remove(status_file.c_str());
}

TEST(SimOptions, CountsRepeatAndEmptyItemsAreSkipped) {
    SimOptions options;
    std::string error;
    ASSERT_TRUE(
        parse_sim_options(",boards=3,,fault=write-fail@3,fault=write-fail@0x5,"
                          "fault=read-short,fault=stuck-zero@0x1F0000",
                          options, error))
        << error;
    EXPECT_EQ(options.devices.size(), 6u);
    EXPECT_EQ(options.write_fail.at, (std::vector<std::uint64_t>{3, 5}));
    EXPECT_TRUE(options.read_short.every);
    EXPECT_EQ(options.chip_faults.stuck_zero_address, 0x1F0000u);
}

// --- census --------------------------------------------------------------------

struct Entry {
    std::uint32_t flags;
    std::uint32_t type;
    std::uint32_t id;
    std::uint32_t location;
    std::string serial;
    std::string description;
    bool operator==(const Entry&) const = default;
};

Entry detail(SimDriver& driver, std::uint32_t index, FT_STATUS expected = FT_OK) {
    Entry entry{};
    char serial[FT_SERIAL_SIZE];
    char description[FT_DESCRIPTION_SIZE];
    FT_HANDLE handle = nullptr;
    EXPECT_EQ(driver.get_device_info_detail(index, &entry.flags, &entry.type, &entry.id,
                                            &entry.location, serial, description, &handle),
              expected);
    if (expected == FT_OK) {
        entry.serial = serial;
        entry.description = description;
    }
    return entry;
}

TEST(SimCensus, BlankBoardsAreTwoInterfacesEach) {
    Board board("boards=2");
    std::uint32_t count = 0;
    ASSERT_EQ(board.driver->create_device_info_list(&count), FT_OK);
    ASSERT_EQ(count, 4u);
    const std::uint32_t id = 0x04036010;
    EXPECT_EQ(detail(*board.driver, 0), (Entry{2, 6, id, 0x11, "A", "Dual RS232-HS A"}));
    EXPECT_EQ(detail(*board.driver, 1), (Entry{2, 6, id, 0x12, "B", "Dual RS232-HS B"}));
    EXPECT_EQ(detail(*board.driver, 2), (Entry{2, 6, id, 0x21, "A", "Dual RS232-HS A"}));
    EXPECT_EQ(detail(*board.driver, 3), (Entry{2, 6, id, 0x22, "B", "Dual RS232-HS B"}));
    detail(*board.driver, 4, FT_DEVICE_NOT_FOUND);
    ASSERT_EQ(board.open(3), FT_OK);
    EXPECT_EQ(detail(*board.driver, 3).flags, 3u);  // opened
    FT_HANDLE second = nullptr;
    EXPECT_EQ(board.driver->open(1, &second), FT_DEVICE_NOT_OPENED);  // one at a time
}

TEST(SimCensus, ReadFromAFileSkippingComments) {
    std::string path = temp_path("census.txt");
    std::ofstream(path) << "# type serial description\n"
                           "4\tFT1234\tFT2232C\n"
                           "\n"
                           "6\tXB\tBoard 7 B\r\n"
                           "8\t\tSingle RS232-HS\n";
    Board board("census=" + path);
    std::uint32_t count = 0;
    ASSERT_EQ(board.driver->create_device_info_list(&count), FT_OK);
    ASSERT_EQ(count, 3u);
    EXPECT_EQ(detail(*board.driver, 0).description, "FT2232C");
    EXPECT_EQ(detail(*board.driver, 1), (Entry{2, 6, 0x04036010, 0x12, "XB", "Board 7 B"}));
    EXPECT_EQ(detail(*board.driver, 2).type, 8u);
    // Whichever index is opened, the chip is behind it.
    ASSERT_EQ(board.open(2), FT_OK);
    board.set_up();
    EXPECT_EQ(board.spi({0x9F}, 3), (Bytes{0x20, 0x20, 0x15}));
}

TEST(SimCensus, EntryOpenElsewhereShowsItsFlagsOnlyAndDoesNotOpen) {
    Board board("fault=busy@1");
    EXPECT_EQ(detail(*board.driver, 0).serial, "A");
    EXPECT_EQ(detail(*board.driver, 1), (Entry{3, 0, 0, 0, "", ""}));
    EXPECT_EQ(board.open(1), FT_DEVICE_NOT_OPENED);
    const std::uintptr_t location = 0x12;
    EXPECT_EQ(board.driver->open_ex(reinterpret_cast<const void*>(location), 4, &board.handle),
              FT_DEVICE_NOT_OPENED);
}

// --- boards -------------------------------------------------------------------------

std::string for_board(std::string path, int k) {
    return path.replace(path.find("%d"), 2, std::to_string(k));
}

// Two threads burn a byte each into their own board at once.
TEST(SimBoards, EachHasItsOwnChipClockTraceAndReport) {
    std::string flash = temp_path("b%d.bin");
    std::string report = temp_path("r%d.json");
    std::string trace = temp_path("t%d.txt");
    for (int k = 0; k < 2; ++k) {
        std::remove(for_board(flash, k).c_str());
        std::remove(for_board(trace, k).c_str());
    }
    Board driver("boards=2,timing=zero,flash=" + flash + ",report=" + report + ",trace=" + trace);
    std::vector<std::thread> threads;
    for (int k = 0; k < 2; ++k) {
        threads.emplace_back([&driver, k] {
            Board board(driver.driver);
            ASSERT_EQ(board.open(2 * k + 1), FT_OK);
            board.set_up();
            board.driver->sleep_ms(50);
            board.program(0x100u * static_cast<std::uint32_t>(k + 1), 0x00);
            board.driver->close(board.handle);
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (int k = 0; k < 2; ++k) {
        std::string chip = file_text(for_board(flash, k));
        ASSERT_EQ(chip.size(), 2097152u);
        EXPECT_EQ(chip[0x100], k == 0 ? '\0' : '\xFF');
        EXPECT_EQ(chip[0x200], k == 1 ? '\0' : '\xFF');
        std::string lines = file_text(for_board(trace, k));
        EXPECT_NE(lines.find(k == 0 ? "FT_Open 1 -> 0" : "FT_Open 3 -> 0"), std::string::npos);
        EXPECT_EQ(lines.find(k == 0 ? "FT_Open 3" : "FT_Open 1"), std::string::npos);
    }
    // The same work on each board: the same report, virtual time included.
    std::string first = file_text(for_board(report, 0));
    EXPECT_NE(first.find("\"page_programs\": 1,"), std::string::npos) << first;
    EXPECT_EQ(file_text(for_board(report, 1)), first);
}

// Counted faults count each board's calls; #k names one board.
struct BoardFaultCase {
    std::string name;
    std::string fault;
    FT_STATUS second_write[2];  // each board's second FT_Write
    std::uint8_t byte_0x10[2];  // what each board's chip reads at 0x10
};

class SimBoardFaults : public testing::TestWithParam<BoardFaultCase> {};

TEST_P(SimBoardFaults, StrikeTheBoardsNamed) {
    const BoardFaultCase& c = GetParam();
    Board driver("boards=2,flash=" + temp_path("b%d.bin") + ",fault=" + c.fault);
    for (int k = 0; k < 2; ++k) {
        Board board(driver.driver);
        ASSERT_EQ(board.open(2 * k + 1), FT_OK);
        board.set_up();
        EXPECT_EQ(board.write({0xAA}), c.second_write[k]) << k;
        board.read(2);
        EXPECT_EQ(board.read_flash(0x10, 1), Bytes{c.byte_0x10[k]}) << k;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SimBoardFaults,
    testing::Values(
        BoardFaultCase{"OneBoard", "write-fail@2#1", {FT_OK, FT_IO_ERROR}, {0xFF, 0xFF}},
        BoardFaultCase{"EveryBoard", "write-fail@2", {FT_IO_ERROR, FT_IO_ERROR}, {0xFF, 0xFF}},
        BoardFaultCase{"ChipOfOneBoard", "stuck-zero@0x10#0", {FT_OK, FT_OK}, {0xFE, 0xFF}}),
    case_name<BoardFaultCase>);

// --- faults ------------------------------------------------------------------------

struct FaultCase {
    std::string name;
    std::string options;
    std::function<void(Board&)> check;
};

class SimFaults : public testing::TestWithParam<FaultCase> {};

TEST_P(SimFaults, StrikeAsNamed) {
    Board board(GetParam().options);
    GetParam().check(board);
}

void census_fails_second_time(Board& board) {
    std::uint32_t count = 0;
    EXPECT_EQ(board.driver->create_device_info_list(&count), FT_OK);
    EXPECT_EQ(board.driver->create_device_info_list(&count), FT_IO_ERROR);
    EXPECT_EQ(board.driver->create_device_info_list(&count), FT_OK);
}

void write_fails_second_time(Board& board) {
    ASSERT_EQ(board.open(), FT_OK);
    board.set_up();  // the first write
    std::uint32_t written = 99;
    EXPECT_EQ(board.write({0xAA}, &written), FT_IO_ERROR);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(board.write({0xAB}, &written), FT_OK);
    EXPECT_EQ(board.read(4), (Bytes{0xFA, 0xAB}));  // 0xAA never arrived
}

void write_short_drops_last_byte(Board& board) {
    ASSERT_EQ(board.open(), FT_OK);
    board.driver->set_timeouts(board.handle, 100, 100);
    board.driver->set_bit_mode(board.handle, 0, 2);
    std::uint32_t written = 0;
    EXPECT_EQ(board.write({0xAA, 0xAB}, &written), FT_OK);
    EXPECT_EQ(written, 1u);
    EXPECT_EQ(board.read(4), (Bytes{0xFA, 0xAA}));
}

void read_fails_and_consumes_nothing(Board& board) {
    ASSERT_EQ(board.open(), FT_OK);
    board.set_up();
    board.write({0xAA});
    FT_STATUS status = FT_OK;
    EXPECT_TRUE(board.read(2, &status).empty());
    EXPECT_EQ(status, FT_IO_ERROR);
    EXPECT_EQ(board.read(2, &status), (Bytes{0xFA, 0xAA}));
}

void read_short_after_time_out(Board& board) {
    ASSERT_EQ(board.open(), FT_OK);
    board.set_up();
    board.write({0xAA});
    std::uint64_t start = board.now();
    FT_STATUS status = FT_IO_ERROR;
    EXPECT_EQ(board.read(2, &status), (Bytes{0xFA}));
    EXPECT_EQ(status, FT_OK);
    EXPECT_EQ(board.now() - start, 3000 * kMs);
    EXPECT_EQ(board.read(1), (Bytes{0xAA}));  // the missing byte stayed queued
}

void set_up_fails_at_time_outs(Board& board) {
    ASSERT_EQ(board.open(), FT_OK);
    EXPECT_EQ(board.driver->set_timeouts(board.handle, 3000, 3000), FT_IO_ERROR);
    EXPECT_EQ(board.driver->set_latency_timer(board.handle, 1), FT_OK);
    EXPECT_EQ(board.driver->set_bit_mode(board.handle, 0, 2), FT_OK);
    EXPECT_EQ(board.driver->read_timeout_ms(), 0u);
}

void open_fails(Board& board) {
    EXPECT_EQ(board.open(), FT_DEVICE_NOT_OPENED);
    EXPECT_EQ(board.open(), FT_OK);  // open-fail@1: only the first
}

void detail_fails_for_index_1(Board& board) {
    detail(*board.driver, 0);
    detail(*board.driver, 1, FT_IO_ERROR);
}

void no_echo_answers_nothing(Board& board) {
    ASSERT_EQ(board.open(), FT_OK);
    board.set_up();
    board.write({0xAA});
    EXPECT_TRUE(board.read(2).empty());
}

void stays_busy(Board& board) {
    ASSERT_EQ(board.open(), FT_OK);
    board.set_up();
    board.spi({kWriteEnable});
    board.spi({kWrite, 0, 0, 0, 0x00});
    board.driver->sleep_ms(10'000);
    EXPECT_EQ(board.status() & 1, 1);
}

void bit_stuck_at_zero(Board& board) {
    ASSERT_EQ(board.open(), FT_OK);
    board.set_up();
    EXPECT_EQ(board.read_flash(0x0F, 3), (Bytes{0xFF, 0xFE, 0xFF}));
}

INSTANTIATE_TEST_SUITE_P(
    Names, SimFaults,
    testing::Values(FaultCase{"CensusFail", "fault=census-fail@2", census_fails_second_time},
                    FaultCase{"DetailFail", "fault=detail-fail@1", detail_fails_for_index_1},
                    FaultCase{"OpenFail", "fault=open-fail@1", open_fails},
                    FaultCase{"SetupFail", "fault=setup-fail", set_up_fails_at_time_outs},
                    FaultCase{"NoEcho", "fault=no-echo", no_echo_answers_nothing},
                    FaultCase{"WriteFail", "fault=write-fail@2", write_fails_second_time},
                    FaultCase{"WriteShort", "fault=write-short@1", write_short_drops_last_byte},
                    FaultCase{"ReadFail", "fault=read-fail@1", read_fails_and_consumes_nothing},
                    FaultCase{"ReadShort", "fault=read-short@1", read_short_after_time_out},
                    FaultCase{"StuckBusy", "timing=zero,fault=stuck-busy", stays_busy},
                    FaultCase{"StuckZero", "fault=stuck-zero@0x10", bit_stuck_at_zero}),
    case_name<FaultCase>);

// --- trace and report --------------------------------------------------------------

TEST(SimTrace, WriteAndReadLinesAreExact) {
    std::string path = temp_path("trace.txt");
    std::ofstream(path) << "earlier run\n";
    {
        Board board("fault=read-fail@2,fault=write-fail@3,trace=" + path);
        ASSERT_EQ(board.open(), FT_OK);
        board.driver->set_timeouts(board.handle, 50, 50);
        board.driver->set_bit_mode(board.handle, 0, 2);
        board.write({0x80, 0x08, 0x0B});
        board.write({0xAA});
        board.read(2);
        board.read(2);
        board.write({0xAB});
        board.read(3);
        board.driver->close(board.handle);
    }
    EXPECT_EQ(file_text(path),
              "earlier run\n"
              "FT_Open 1 -> 0\n"
              "FT_SetTimeouts 50 50 -> 0\n"
              "FT_SetBitMode 0 2 -> 0\n"
              "FT_Write 80080b -> 0 3\n"
              "FT_Write aa -> 0 1\n"
              "FT_Read 2 -> 0 faaa\n"
              "FT_Read 2 -> 4 \n"
              "FT_Write ab -> 4 0\n"
              "FT_Read 3 -> 0 \n"
              "FT_Close -> 0\n");
}

TEST(SimTrace, AFileThatCannotBeWrittenIsNamedOnce) {
    testing::internal::CaptureStderr();
    {
        Board board("trace=/dev/full");
        ASSERT_EQ(board.open(), FT_OK);
        board.driver->close(board.handle);
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "hexburn: sim: cannot write the trace '/dev/full'\n");
}

// "key": value pairs of the report, one per line.
std::uint64_t report_value(const std::string& json, const std::string& key) {
    std::size_t at = json.find("\"" + key + "\": ");
    EXPECT_NE(at, std::string::npos) << key;
    return at == std::string::npos ? 0 : std::stoull(json.substr(at + key.size() + 4));
}

TEST(SimReport, WrittenAtCloseWithTheRunsCounts) {
    std::string path = temp_path("report.json");
    Board board("timing=zero,report=" + path);
    ASSERT_EQ(board.open(), FT_OK);
    board.set_up();                               // write 1
    board.spi({kWriteEnable});                    // 2
    board.spi({kSectorErase, 0x01, 0x00, 0x00});  // 3
    board.program(0x10, 0x00);                    // 4, 5, 6 + read
    board.spi({kWriteEnable});                    // 7
    board.spi({kBulkErase});                      // 8
    board.read_flash(0, 4);                       // 9 + read
    EXPECT_EQ(file_text(path), "");
    ASSERT_EQ(board.driver->close(board.handle), FT_OK);
    std::string json = file_text(path);
    EXPECT_EQ(json.front(), '{');
    EXPECT_EQ(report_value(json, "usb_writes"), 9u);
    EXPECT_EQ(report_value(json, "usb_reads"), 2u);
    EXPECT_EQ(report_value(json, "bytes_out"), 10u + 10 + 13 + 10 + 14 + 13 + 10 + 10 + 16u);
    EXPECT_EQ(report_value(json, "bytes_in"), 5u);
    EXPECT_EQ(report_value(json, "spi_transactions"), 8u);
    EXPECT_EQ(report_value(json, "page_programs"), 1u);
    EXPECT_EQ(report_value(json, "sector_erases"), 1u);
    EXPECT_EQ(report_value(json, "bulk_erases"), 1u);
    std::size_t at = json.find("\"virtual_seconds\": ");
    ASSERT_NE(at, std::string::npos);
    EXPECT_DOUBLE_EQ(std::stod(json.substr(at + 19)), static_cast<double>(board.now()) / 1e9);
}

// --- the flash file -----------------------------------------------------------------

TEST(SimFlashFile, MissingFileBecomesAnErasedChipAtOpen) {
    std::string path = temp_path("flash.bin");
    Board board("flash=" + path);
    EXPECT_TRUE(board.driver->board().flash.empty());
    std::ifstream before(path);
    EXPECT_FALSE(before.good());
    ASSERT_EQ(board.open(), FT_OK);
    EXPECT_EQ(file_text(path), std::string(2097152, '\xFF'));
}

TEST(SimFlashFile, HoldsTheChipWhileTheProgramRunsAndAfter) {
    std::string path = temp_path("flash.bin");
    {
        Board board("timing=zero,flash=" + path);
        ASSERT_EQ(board.open(), FT_OK);
        board.set_up();
        board.program(0x123456, 0xA5);
        // Mapped: the file is current before anything is closed.
        EXPECT_EQ(static_cast<std::uint8_t>(file_text(path).at(0x123456)), 0xA5);
    }
    Board again("flash=" + path);
    ASSERT_EQ(again.open(), FT_OK);
    again.set_up();
    EXPECT_EQ(again.read_flash(0x123455, 3), (Bytes{0xFF, 0xA5, 0xFF}));
}

struct BadFlashCase {
    std::string name;
    std::string contents;  // written to the file first; "<dir>" makes the path unusable
};

class SimBadFlashFile : public testing::TestWithParam<BadFlashCase> {};

TEST_P(SimBadFlashFile, MakesOpenFail) {
    std::string path = temp_path("flash.bin");
    if (GetParam().contents == "<dir>") {
        path = temp_path("missing") + "/flash.bin";
    } else {
        std::ofstream(path, std::ios::binary) << GetParam().contents;
    }
    Board board("flash=" + path);
    EXPECT_EQ(board.open(), FT_DEVICE_NOT_OPENED);
    if (GetParam().contents != "<dir>") {
        EXPECT_EQ(file_text(path), GetParam().contents);  // left alone
    }
}

INSTANTIATE_TEST_SUITE_P(Files, SimBadFlashFile,
                         testing::Values(BadFlashCase{"TooShort", std::string(2097151, 'x')},
                                         BadFlashCase{"Uncreatable", "<dir>"}),
                         case_name<BadFlashCase>);

// A real interface opens once: so does a chip file, across processes too.
TEST(SimFlashFile, IsLockedWhileOpen) {
    std::string path = temp_path("flash.bin");
    Board first("flash=" + path);
    Board second("flash=" + path);
    ASSERT_EQ(first.open(), FT_OK);
    testing::internal::CaptureStderr();
    EXPECT_EQ(second.open(), FT_DEVICE_NOT_OPENED);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "hexburn: sim: flash file '" + path + "': in use by another process\n");
    first.driver->close(first.handle);
    EXPECT_EQ(second.open(), FT_OK);
}

// --- virtual time --------------------------------------------------------------------

TEST(SimTime, WriteTakesAMicroframeAndAShortAnswerWaitsForTheLatencyTimer) {
    Board board("");
    ASSERT_EQ(board.open(), FT_OK);
    board.set_up();
    std::uint64_t start = board.now();
    board.write({0x80, 0x88, 0x8B, 0x81});
    EXPECT_EQ(board.now(), start + kMicroframe);
    std::uint64_t written = board.now();
    EXPECT_EQ(board.read(1).size(), 1u);
    // Sent at the next tick of the 1 ms timer, never later.
    EXPECT_GT(board.now(), written);
    EXPECT_LE(board.now(), written + 1 * kMs);
    EXPECT_EQ(board.now() % kMs, 0u);
}

TEST(SimTime, ReadReturnsShortAtItsTimeOut) {
    Board board("");
    ASSERT_EQ(board.open(), FT_OK);
    board.set_up();
    std::uint64_t start = board.now();
    FT_STATUS status = FT_IO_ERROR;
    EXPECT_TRUE(board.read(4, &status).empty());
    EXPECT_EQ(status, FT_OK);
    EXPECT_EQ(board.now(), start + 3000 * kMs);
}

TEST(SimTime, ReadWithoutTimeOutReturnsWhenNothingMoreCanCome) {
    Board board("");
    ASSERT_EQ(board.open(), FT_OK);
    board.driver->set_bit_mode(board.handle, 0, 2);
    board.write({0xAA});
    EXPECT_EQ(board.read(5), (Bytes{0xFA, 0xAA}));  // does not hang
}

TEST(SimTime, QueueStatusPollingMakesProgress) {
    Board board("");
    ASSERT_EQ(board.open(), FT_OK);
    board.set_up();
    board.write({0xAA});
    std::uint32_t queued = 0;
    int polls = 0;
    while (queued == 0 && polls < 100) {
        ASSERT_EQ(board.driver->get_queue_status(board.handle, &queued), FT_OK);
        ++polls;
    }
    EXPECT_EQ(queued, 2u);
    EXPECT_LE(polls, 9);  // 1 ms of 125 us polls
}

TEST(SimTime, SleepAndClockRunOnVirtualTime) {
    Board board("");
    std::uint64_t before = board.driver->clock_ms();
    board.driver->sleep_ms(50);
    EXPECT_EQ(board.driver->clock_ms(), before + 50);
    // Watching the clock alone still moves it, so such a loop ends.
    std::uint64_t deadline = board.driver->clock_ms() + 2;
    while (board.driver->clock_ms() < deadline) {
    }
}

}  // namespace

// --- present= ------------------------------------------------------------------

TEST(SimPresent, PulledBoardIsGoneUntilPluggedInAgainThenPowersUpAfresh) {
    std::string present = temp_path("present");
    auto plug = [&](const char* boards) {
        std::ofstream(present + ".new") << boards;
        std::rename((present + ".new").c_str(), present.c_str());
    };
    plug("0 1");
    Board b("boards=2,timing=zero,flash=" + temp_path("chip%d.bin") + ",present=" + present);
    std::uint32_t count = 0;
    ASSERT_EQ(b.driver->create_device_info_list(&count), FT_OK);
    EXPECT_EQ(count, 4u);
    ASSERT_EQ(b.open(3), FT_OK);  // board 1's interface B
    b.set_up();
    b.program(0x100, 0x5A);
    b.spi({kWriteEnable});
    EXPECT_EQ(b.status() & 0x02, 0x02);

    plug("0");
    EXPECT_EQ(b.write({0x87}), FT_IO_ERROR);
    EXPECT_EQ(b.read(1).size(), 0u);
    EXPECT_EQ(b.driver->close(b.handle), FT_OK);
    ASSERT_EQ(b.driver->create_device_info_list(&count), FT_OK);
    EXPECT_EQ(count, 2u);
    FT_HANDLE other = nullptr;
    EXPECT_EQ(b.driver->open(3, &other), FT_DEVICE_NOT_FOUND);

    plug("1 0");
    ASSERT_EQ(b.driver->create_device_info_list(&count), FT_OK);
    EXPECT_EQ(count, 4u);
    ASSERT_EQ(b.open(3), FT_OK);
    b.set_up();
    EXPECT_EQ(b.status() & 0x03, 0) << "WEL and WIP start cleared";
    EXPECT_EQ(b.read_flash(0x100, 1), Bytes{0x5A}) << "the chip keeps its bytes";
    EXPECT_EQ(b.driver->close(b.handle), FT_OK);
}
