// A simulated chip kept in a file, for both faces of the simulated board:
// the array is the file (exactly sim::SpiNor::kSize bytes, its space
// reserved when it is created, mapped shared so it holds what the chip holds
// however the program ends), locked while a program has the board open; and
// beside it, F.status holds the chip's non-volatile status bits.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "sim/spi_nor.h"

class ChipFile {
  public:
    ChipFile() = default;
    ~ChipFile();
    ChipFile(const ChipFile&) = delete;
    ChipFile& operator=(const ChipFile&) = delete;

    // Maps the file at `path`; a missing one is created erased, with a status
    // file in the factory state of `model`. False with `why` set when the
    // file cannot be used.
    bool map(const std::string& path, const sim::ChipModel& model, std::string& why);
    bool mapped() const { return mapping_ != nullptr; }
    std::uint8_t* array() const { return static_cast<std::uint8_t*>(mapping_); }
    const std::string& path() const { return path_; }

    // Takes the file for this program; false when another program has it.
    bool lock();
    void unlock();

    // The non-volatile status bits of `model` the status file holds (register
    // 2 in bits 15..8): what a chip powering up starts with. A missing status
    // file, or one written by another model, counts as the model's factory
    // state and is rewritten.
    std::uint16_t load_status(const sim::ChipModel& model);
    // Records `bits` when they differ from what the status file holds.
    void save_status(const sim::ChipModel& model, std::uint16_t bits);

    // F.status, beside the chip file F.
    static std::string status_path(const std::string& path) { return path + ".status"; }

  private:
    void write_status(const sim::ChipModel& model, std::uint16_t bits);

    std::string path_;
    void* mapping_ = nullptr;
#if defined(_WIN32)
    void* file_ = nullptr;  // a HANDLE
#else
    int fd_ = -1;
#endif
    std::uint16_t saved_ = 0;  // what the status file holds, once loaded or written
    bool saved_known_ = false;
    bool save_failed_ = false;  // said so on standard error
};
