// Runs the built hexburn against a simulated board whose flash is a file,
// the way an operator would, and hands back everything it left behind.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "hex_text.h"
#include "test_dir.h"

inline constexpr std::size_t kFlashSize = 2 * 1024 * 1024;

using Bytes = std::vector<std::uint8_t>;

// A scratch directory inside test_dir(), removed with its contents at the
// end of the scope.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string path(const std::string& name) const { return dir_ + "/" + name; }

  private:
    std::string dir_;
};

struct Burn {
    int exit_status = -1;
    std::string out;  // standard output after the banner
    std::string err;
    Bytes flash;  // the flash file afterwards
};

struct BurnOptions {
    std::string sim_options;  // appended to sim:flash=...,timing=zero
    Bytes flash_before;       // empty: no flash file yet (an erased chip)
    std::string input;        // standard input
};

// Options for a board whose flash holds `flash` before the run.
inline BurnOptions holding(Bytes flash) {
    BurnOptions options;
    options.flash_before = std::move(flash);
    return options;
}

// Burns `image_path` into a board whose flash lives in `scratch`.
Burn burn(const ScratchDir& scratch, const std::string& image_path,
          const BurnOptions& options = {});

void write_file(const std::string& path, const std::string& text);
void write_bytes(const std::string& path, const Bytes& bytes);
Bytes read_bytes(const std::string& path);
// Runs a shell command line; fails the test when it does not exit 0.
void shell(const std::string& command);

// A trace of the simulated board's D2XX library, driven by the ftd2xx
// driver, as the sim driver writes it for the same run (line ends kept).
std::string as_sim_driver_trace(const std::string& trace);

// A deterministic pseudo-random pattern.
Bytes pattern(std::size_t size, std::uint32_t seed);
std::uint8_t mirror(std::uint8_t byte);  // bit order reversed
// What the flash must hold after a burn of the image at `hex_path`, worked out
// by srecord (not by hexburn's parser): each byte bit-reversed at its address.
Bytes expected_flash(const ScratchDir& scratch, const std::string& hex_path);
// Writes `data` to in.bin in `scratch` and has srecord turn it into the Intel
// HEX image `hex_path`: records of `record_size` bytes from `offset` on.
void srecord_image(const ScratchDir& scratch, const std::string& hex_path, const Bytes& data,
                   std::uint32_t offset, int record_size);

// The whole-number part of `key` in the simulated board's report at `path`;
// 0 when the report or the key is missing.
std::uint64_t report_value(const std::string& path, const std::string& key);

// What a run printed after its banner, whose form is checked.
std::string after_banner(const std::string& out);

// Standard output of a run, after the banner, up to the erase.
std::string discovery_lines();
// The dots a burn of `records` data records prints.
std::string dots(int records);
