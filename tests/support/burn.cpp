#include "burn.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "process.h"

ScratchDir::ScratchDir() {
    std::string templ = test_path("scratch-XXXXXX");
    char* made = mkdtemp(templ.data());
    EXPECT_NE(made, nullptr);
    dir_ = templ;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

void write_bytes(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

Bytes read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void shell(const std::string& command) {
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

Bytes pattern(std::size_t size, std::uint32_t seed) {
    Bytes bytes(size);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& byte : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        byte = static_cast<std::uint8_t>(x >> 24);
    }
    return bytes;
}

std::uint8_t mirror(std::uint8_t byte) {
    std::uint8_t out = 0;
    for (int bit = 0; bit < 8; ++bit) {
        if (byte & (1u << bit)) {
            out = static_cast<std::uint8_t>(out | (0x80u >> bit));
        }
    }
    return out;
}

void srecord_image(const ScratchDir& scratch, const std::string& hex_path, const Bytes& data,
                   std::uint32_t offset, int record_size) {
    write_bytes(scratch.path("in.bin"), data);
    shell("srec_cat '" + scratch.path("in.bin") + "' -binary -offset " + std::to_string(offset) +
          " -o '" + hex_path + "' -intel -obs=" + std::to_string(record_size));
}

std::uint64_t report_value(const std::string& path, const std::string& key) {
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        auto at = line.find("\"" + key + "\": ");
        if (at != std::string::npos) {
            return std::stoull(line.substr(at + key.size() + 4));
        }
    }
    return 0;
}

Bytes expected_flash(const ScratchDir& scratch, const std::string& hex_path) {
    std::string bin = scratch.path("expected.bin");
    shell("srec_cat '" + hex_path + "' -intel -crop 0 0x200000 -fill 0xFF 0 0x200000 -o '" + bin +
          "' -binary");
    Bytes image = read_bytes(bin);
    for (auto& byte : image) {
        byte = mirror(byte);  // an unwritten 0xFF stays 0xFF
    }
    return image;
}

std::string after_banner(const std::string& out) {
    static const std::regex banner(
        R"(^Flash programmer for oxa-2\.x boards\(Built: [A-Z][a-z]{2} [ 123]\d \d{4} : \d\d:\d\d:\d\d\)
\r)");
    std::smatch match;
    EXPECT_TRUE(std::regex_search(out, match, banner)) << out.substr(0, 200);
    return match.empty() ? out : out.substr(static_cast<std::size_t>(match.length(0)));
}

Burn burn(const ScratchDir& scratch, const std::string& image_path, const BurnOptions& options) {
    std::string flash = scratch.path("flash.bin");
    std::remove(flash.c_str());
    if (!options.flash_before.empty()) {
        write_bytes(flash, options.flash_before);
    }
    std::string driver = "HEXBURN_DRIVER=sim:flash=" + flash + ",timing=zero";
    if (!options.sim_options.empty()) {
        driver += "," + options.sim_options;
    }
    ProcessResult run = run_process({HEXBURN_EXE, image_path}, {driver}, options.input, 600);
    EXPECT_FALSE(run.timed_out);
    Burn result;
    result.exit_status = run.exit_status;
    result.err = run.err;
    result.out = after_banner(run.out);
    result.flash = read_bytes(flash);
    return result;
}

std::string discovery_lines() {
    return "Founded FT2232H devices:\n\tDeviceID=1, description=\"Dual RS232-HS B\"\n";
}

std::string dots(int records) {
    std::string out;
    for (int i = 1; i <= records; ++i) {
        int in_line = (i - 1) % 480 + 1;
        if (in_line % 8 == 0) {
            out += '.';
        }
        if (in_line == 480) {
            out += '\n';
        }
    }
    return out;
}

// The ftd2xx driver opens the listed entry by its location and asks what it
// opened, where the sim driver is handed FT_Open(index) (index 1: one board);
// and it rounds the transfer size to the vendor's multiple of 64.
std::string as_sim_driver_trace(const std::string& trace) {
    std::istringstream lines(trace);
    std::string line;
    std::string out;
    while (std::getline(lines, line)) {
        if (line.rfind("FT_OpenEx ", 0) == 0) {
            line = "FT_Open 1" + line.substr(line.find(" ->"));
        } else if (line.rfind("FT_GetDeviceInfo -> ", 0) == 0) {
            continue;
        } else if (line.rfind("FT_SetUSBParameters 65536 65536 ", 0) == 0) {
            line = "FT_SetUSBParameters 65535 65535 " + line.substr(32);
        }
        out += line + "\n";
    }
    return out;
}
