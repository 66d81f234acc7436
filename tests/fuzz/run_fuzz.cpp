// Fuzz target: the whole program, in-process, on a simulated board, with a
// fuzzed image file and, for inputs that start with '#', two boards and a
// fuzzed answer to the DeviceID prompt (the rest of that first line).
//
// Every run is checked against a model of the job written here from the
// image format alone: the outcome (last message and exit status) must be the
// model's, success is printed only when the flash holds exactly the image,
// and an image refused before the erase leaves the flash as it was.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "hexburn/hexburn.h"
#include "host/console.h"
#include "reference.h"
#include "simboard/sim_driver.h"
#include "test_dir.h"

namespace {

constexpr std::size_t kMaxInput = 4096;  // small images keep each run fast
constexpr std::size_t kFlashSize = 0x200000;
constexpr std::size_t kLongestLine = 523;  // a record of 255 bytes, CR and LF

// --- the model -----------------------------------------------------------------

struct Expected {
    int exit_status = 0;
    std::string ending;   // the last message before "Process completed.\n"
    bool opened = true;   // a device was opened ("Process completed.\n" follows)
    bool erased = false;  // the chip was erased; `flash` is then what it must hold
    std::vector<std::uint8_t> flash;
};

Expected ending(int exit_status, const char* message, bool opened = true) {
    Expected expected;
    expected.exit_status = exit_status;
    expected.ending = message;
    expected.opened = opened;
    return expected;
}

struct Record {
    int type = 0;
    std::uint32_t offset = 0;
    std::vector<std::uint8_t> data;  // as written in the file
};

// One line: a valid record (read up to the first NUL), then nothing but
// blanks and LF, CR LF or the end of the file.
bool parse(std::string_view line, Record& record) {
    std::vector<std::uint8_t> fields = reference_decode(line);
    if (fields.empty()) {
        return false;
    }
    std::string_view rest = line.substr(11 + 2 * std::size_t{fields[0]});
    rest.remove_prefix(std::min(rest.find_first_not_of(" \t"), rest.size()));
    if (!rest.empty() && rest != "\n" && rest != "\r\n") {
        return false;
    }
    record.offset = static_cast<std::uint32_t>(fields[1] << 8 | fields[2]);
    record.type = fields[3];
    record.data.assign(fields.begin() + 4, fields.end() - 1);
    return true;
}

// The lines of the file, each with its LF.
std::vector<std::string_view> lines_of(std::string_view file) {
    std::vector<std::string_view> lines;
    while (!file.empty()) {
        std::size_t newline = file.find('\n');
        std::size_t end = newline == std::string_view::npos ? file.size() : newline + 1;
        lines.push_back(file.substr(0, end));
        file.remove_prefix(end);
    }
    return lines;
}

Expected refused(const char* message) {
    return ending(1, message);
}

// The programming run on an opened board: the image is read to its
// end-of-file record before anything is erased.
Expected model_run(std::string_view file) {
    std::map<std::uint32_t, std::uint8_t> image;  // address: what the chip must hold
    std::uint32_t base = 0;
    for (std::string_view line : lines_of(file)) {
        Record record;
        if (line.size() > kLongestLine || !parse(line, record)) {
            return refused("Incorrect file format!\n");
        }
        if (record.type == 1) {
            Expected expected = ending(0, "\nImage has been written successfully\n");
            expected.erased = true;
            expected.flash.assign(kFlashSize, 0xFF);
            for (auto [address, chip] : image) {
                expected.flash[address] = chip;
            }
            return expected;
        }
        if (record.type == 2 || record.type == 4) {
            if (record.data.size() != 2) {
                return refused("Incorrect extended address record in file!\n");
            }
            std::uint32_t value = static_cast<std::uint32_t>(record.data[0] << 8 | record.data[1]);
            base = record.type == 4 ? value << 16 : value << 4;
        } else if (record.type == 0) {
            std::uint64_t address = std::uint64_t{base} + record.offset;
            if (address + record.data.size() > kFlashSize) {
                return refused("Image does not fit into flash!\n");
            }
            for (std::uint8_t byte : record.data) {
                auto [at, added] = image.try_emplace(static_cast<std::uint32_t>(address++),
                                                     reference_mirror(byte));
                if (!added && at->second != reference_mirror(byte)) {
                    return refused("Overlapping records in file!\n");
                }
            }
        }
    }
    return refused("Incompleted file error!\n");
}

// Whether the answer to the prompt picks one of the listed interfaces, 1 or
// 3: its first word, of at most 31 characters, must be that number, in decimal.
bool picks_listed(std::string_view answer) {
    std::size_t start = answer.find_first_not_of(" \t\n\v\f\r");
    if (start == std::string_view::npos) {
        return false;
    }
    std::string_view word = answer.substr(start);
    word = word.substr(0, word.find_first_of(" \t\n\v\f\r"));
    if (word.size() > 31) {
        return false;  // longer than the program's buffer
    }
    if (!word.empty() && (word[0] == '+' || word[0] == '-')) {
        if (word[0] == '-') {
            return false;  // -0 and the negatives: none is listed
        }
        word.remove_prefix(1);
    }
    word = word.substr(std::min(word.find_first_not_of('0'), word.size()));  // leading zeros
    return word == "1" || word == "3";
}

// --- the harness -----------------------------------------------------------------

// The image file, one for the process, gone with its folder at exit.
std::string& image_path() {
    static std::string path = test_path("image.hex");
    return path;
}

std::string read_all(std::FILE* file) {
    std::string text;
    std::rewind(file);
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
        text.append(buffer, n);
    }
    return text;
}

void fail(const char* what, const std::string& out) {
    std::fprintf(stderr, "run_fuzz: %s\n--- output:\n%s---\n", what, out.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > kMaxInput) {
        return 0;
    }
    std::string_view input(reinterpret_cast<const char*>(data), size);
    bool two_boards = input.starts_with('#');
    std::string answer;
    if (two_boards) {
        std::size_t newline = input.find('\n');
        answer = input.substr(1, newline == std::string_view::npos ? input.size() : newline);
        input.remove_prefix(std::min(input.size(), answer.size() + 1));
        answer = answer.substr(0, answer.find('\0'));
    }

    std::FILE* image = std::fopen(image_path().c_str(), "wb");
    std::fwrite(input.data(), 1, input.size(), image);
    std::fclose(image);

    SimOptions options;
    options.devices = sim_blank_boards(two_boards ? 2 : 1);
    options.timing = sim::ChipTiming::zero();
    SimDriver driver(std::move(options));
    // What the board holds before the run; made once (a loop over 2 MiB in the
    // instrumented harness would cost more than the run).
    static const std::vector<std::uint8_t> before = [] {
        std::vector<std::uint8_t> bytes(kFlashSize);
        for (std::size_t i = 0; i < kFlashSize; ++i) {
            bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
        }
        return bytes;
    }();
    std::memcpy(driver.board().flash.data(), before.data(), kFlashSize);

    std::FILE* out = std::tmpfile();
    std::FILE* in = std::tmpfile();
    std::fwrite(answer.data(), 1, answer.size(), in);
    std::rewind(in);
    console_redirect(out, in);
    d2xx_bind(&driver);
    char program[] = "hexburn";
    char* argv[] = {program, image_path().data(), nullptr};
    int status = hexburn_main(2, argv);
    d2xx_bind(nullptr);
    console_redirect(nullptr, nullptr);
    std::string text = read_all(out);
    std::fclose(out);
    std::fclose(in);

    Expected expected = two_boards && !picks_listed(answer)
                            ? ending(1, "Incorrect DeviceID!\n", false)
                            : model_run(input);
    std::string tail = expected.ending + (expected.opened ? "Process completed.\n" : "");
    bool success_printed =
        text.find("\nImage has been written successfully\n") != std::string::npos;
    const std::uint8_t* flash = driver.board().flash.data();
    if (status != expected.exit_status || !text.ends_with(tail)) {
        fail(("exit status " + std::to_string(status) + ", expected " +
              std::to_string(expected.exit_status) + " after " + expected.ending)
                 .c_str(),
             text);
    }
    if (success_printed != (status == 0)) {
        fail("success printed with another exit status, or the other way round", text);
    }
    if (expected.erased && std::memcmp(flash, expected.flash.data(), kFlashSize) != 0) {
        fail("the flash does not hold what the image says", text);
    }
    if (!expected.erased && (text.find("Erasing flash...") != std::string::npos ||
                             std::memcmp(flash, before.data(), kFlashSize) != 0)) {
        fail("a refused image changed the flash", text);
    }
    return 0;
}
