// Several boards at once, in-process: a driver of its own puts one simulated
// board (its own chip, clock and faults) behind each pair of census entries,
// and routes each call to the board its thread opened.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "burn.h"
#include "case_name.h"
#include "drivers/sim_driver.h"
#include "hexflash/hexflash.h"
#include "mpsse/d2xx_driver.h"

namespace {

class Boards final : public D2xxDriver {
  public:
    // One simulated board per entry of `options` (its sim options, and
    // ",unplug": every USB transfer fails once the chip programmed a page).
    explicit Boards(const std::vector<std::string>& options) {
        for (std::string text : options) {
            bool unplug = text.ends_with(",unplug");
            text.resize(text.size() - (unplug ? 7 : 0));
            SimOptions parsed;
            std::string error;
            EXPECT_TRUE(parse_sim_options(text, parsed, error)) << error;
            boards_.push_back(std::make_unique<SimDriver>(parsed));
            unplug_.push_back(unplug);
        }
    }
    FT_STATUS create_device_info_list(std::uint32_t* count) override {
        *count = static_cast<std::uint32_t>(2 * boards_.size());
        return FT_OK;
    }
    FT_STATUS get_device_info_detail(std::uint32_t index, std::uint32_t* flags, std::uint32_t* type,
                                     std::uint32_t* id, std::uint32_t* location, char* serial,
                                     char* description, FT_HANDLE* handle) override {
        FT_STATUS status = boards_[index / 2]->get_device_info_detail(
            index % 2, flags, type, id, location, serial, description, handle);
        *location += 0x10 * (index / 2);
        return status;
    }
    FT_STATUS open(int index, FT_HANDLE* handle) override {
        board = static_cast<std::size_t>(index) / 2;
        current = boards_[board].get();
        return current->open(index % 2, handle);
    }
    FT_STATUS close(FT_HANDLE h) override { return current->close(h); }
    FT_STATUS reset_device(FT_HANDLE h) override { return current->reset_device(h); }
    FT_STATUS get_queue_status(FT_HANDLE h, std::uint32_t* n) override {
        return current->get_queue_status(h, n);
    }
    FT_STATUS set_usb_parameters(FT_HANDLE h, std::uint32_t in, std::uint32_t out) override {
        return current->set_usb_parameters(h, in, out);
    }
    FT_STATUS set_chars(FT_HANDLE h, std::uint8_t a, std::uint8_t b, std::uint8_t c,
                        std::uint8_t d) override {
        return current->set_chars(h, a, b, c, d);
    }
    FT_STATUS set_timeouts(FT_HANDLE h, std::uint32_t r, std::uint32_t w) override {
        return current->set_timeouts(h, r, w);
    }
    FT_STATUS set_latency_timer(FT_HANDLE h, std::uint8_t ms) override {
        return current->set_latency_timer(h, ms);
    }
    FT_STATUS set_bit_mode(FT_HANDLE h, std::uint8_t mask, std::uint8_t mode) override {
        return current->set_bit_mode(h, mask, mode);
    }
    FT_STATUS write(FT_HANDLE h, const std::uint8_t* data, std::uint32_t n,
                    std::uint32_t* written) override {
        return unplugged() ? FT_IO_ERROR : current->write(h, data, n, written);
    }
    FT_STATUS read(FT_HANDLE h, std::uint8_t* data, std::uint32_t n, std::uint32_t* got) override {
        return unplugged() ? FT_IO_ERROR : current->read(h, data, n, got);
    }
    void sleep_ms(std::uint32_t ms) override {
        if (current != nullptr) {
            current->sleep_ms(ms);
        }
    }
    std::uint64_t clock_ms() override { return current != nullptr ? current->clock_ms() : 0; }

  private:
    bool unplugged() {
        SimBoard& sim = boards_[board]->board();
        return unplug_[board] && sim.chip != nullptr && sim.chip->counters().page_programs > 0;
    }
    // Each board runs on a thread of its own: the board its thread opened.
    static thread_local SimDriver* current;
    static thread_local std::size_t board;
    std::vector<std::unique_ptr<SimDriver>> boards_;
    std::vector<bool> unplug_;
};

thread_local SimDriver* Boards::current = nullptr;
thread_local std::size_t Boards::board = 0;

int run_hexflash(std::vector<std::string> args) {
    std::vector<char*> argv;
    std::string name = "hexflash";
    argv.push_back(name.data());
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    return hexflash_main(static_cast<int>(argv.size()), argv.data());
}

struct GangCase {
    const char* name;
    std::vector<std::string> args;    // after --quiet; IMAGE for the image
    std::vector<std::string> faults;  // per board: more sim options
    bool good_image;
    int exit_status;
    std::string boards;  // per board: I holds the image, B as before, ? struck by its fault
    std::string json;    // the exit statuses the JSON record gives, in order
};

// The values of every "exit_status" key in `json`, as one string.
std::string exit_statuses(const std::string& json) {
    std::string out;
    const std::string key = "\"exit_status\": ";
    for (auto at = json.find(key); at != std::string::npos; at = json.find(key, at + 1)) {
        out += json[at + key.size()];
    }
    return out;
}

class GangTest : public testing::TestWithParam<GangCase> {};

TEST_P(GangTest, BoardsFailAlone) {
    const GangCase& c = GetParam();
    ScratchDir scratch;
    std::string hex = scratch.path("image.hex");
    std::string text;
    for (std::uint32_t i = 0; i < 40; ++i) {
        text += record_text(0, 0x7F0 + 16 * i, pattern(16, i)) + "\n";
    }
    write_file(hex, text + (c.good_image ? ":00000001FF\n" : ""));
    Bytes before = pattern(kFlashSize, 8);
    Bytes expected = c.good_image ? expected_flash(scratch, hex) : before;
    // STUCK: a byte whose bit 0 the image sets.
    std::size_t stuck = 0x7F0;
    while (c.good_image && (expected[stuck] & 1) == 0) {
        ++stuck;
    }
    std::vector<std::string> options;
    for (std::size_t k = 0; k < c.faults.size(); ++k) {
        std::string flash = scratch.path("b" + std::to_string(k) + ".bin");
        write_bytes(flash, before);
        std::string fault = c.faults[k];
        if (fault.ends_with("STUCK")) {
            fault.replace(fault.size() - 5, 5, std::to_string(stuck));
        }
        options.push_back("flash=" + flash + ",timing=zero" + fault);
    }
    std::vector<std::string> args = {"--quiet", "--json"};
    for (const std::string& arg : c.args) {
        args.push_back(arg == "IMAGE" ? hex : arg);
    }
    {
        Boards boards(options);
        d2xx_bind(&boards);
        testing::internal::CaptureStdout();
        EXPECT_EQ(run_hexflash(args), c.exit_status);
        EXPECT_EQ(exit_statuses(testing::internal::GetCapturedStdout()), c.json);
        d2xx_bind(nullptr);
    }
    for (std::size_t k = 0; k < c.faults.size(); ++k) {
        SCOPED_TRACE(k);
        Bytes flash = read_bytes(scratch.path("b" + std::to_string(k) + ".bin"));
        if (c.boards[k] != '?') {
            EXPECT_TRUE(flash == (c.boards[k] == 'I' ? expected : before));
        }
    }
}

const std::vector<std::string> kAllWrite = {"--all", "write", "IMAGE"};

INSTANTIATE_TEST_SUITE_P(
    Gang, GangTest,
    testing::Values(
        GangCase{"AllGood", kAllWrite, {"", "", ""}, true, 0, "III", "0000"},
        GangCase{"OneUsbWriteFails",
                 kAllWrite,
                 {"", ",fault=write-fail@40", ""},
                 true,
                 2,
                 "I?I",
                 "2020"},
        GangCase{
            "OneReadsShort", kAllWrite, {",fault=read-short@30", "", ""}, true, 2, "?II", "2200"},
        GangCase{"OneNeverFinishesAProgram",
                 kAllWrite,
                 {"", "", ",fault=stuck-busy@2"},
                 true,
                 2,
                 "II?",
                 "2002"},
        GangCase{"OneHoldsAStuckBit",
                 kAllWrite,
                 {"", ",fault=stuck-zero@STUCK", ""},
                 true,
                 3,
                 "I?I",
                 "3030"},
        GangCase{"OneBusyInAnotherProcess",
                 kAllWrite,
                 {",fault=open-fail", "", ""},
                 true,
                 1,
                 "BII",
                 "1100"},
        GangCase{"OneUnpluggedMidBurn", kAllWrite, {"", "", ",unplug"}, true, 2, "II?", "2002"},
        GangCase{"WorstStatusWins",
                 kAllWrite,
                 {",fault=open-fail", ",fault=write-fail@40", ",fault=stuck-zero@STUCK"},
                 true,
                 3,
                 "B??",
                 "3123"},
        GangCase{"SubsetByIndex",
                 {"--device", "#1", "--device", "#5", "write", "IMAGE"},
                 {"", "", ""},
                 true,
                 0,
                 "IBI",
                 "000"},
        GangCase{"ImageRefusedTouchesNoBoard", kAllWrite, {"", "", ""}, false, 1, "BBB", "1"}),
    case_name<GangCase>);

}  // namespace
