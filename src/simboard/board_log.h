// What a simulated board tells about a run, on either face: its trace (one
// line per call, into a file that boards with the same trace= path share)
// and its report (a JSON object of counters, one key per line).
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/ft2232h.h"
#include "sim/spi_nor.h"

// What went over the USB pipe (calls that succeeded only).
struct SimTraffic {
    std::uint64_t usb_writes = 0;
    std::uint64_t usb_reads = 0;
    std::uint64_t bytes_out = 0;  // bytes delivered to the chip
    std::uint64_t bytes_in = 0;   // bytes delivered to the caller
};

// A trace file.
class TraceSink {
  public:
    const std::string& path() const { return path_; }
    void emit(const std::string& line);
    // Says once on standard error when the file could not be written.
    void flush();

  private:
    friend class TraceFiles;
    std::string path_;
    std::FILE* file_ = nullptr;
    std::mutex lock_;
    bool failed_ = false;
};

// The trace files of a run, one per distinct path.
class TraceFiles {
  public:
    TraceFiles() = default;
    ~TraceFiles();  // flushed and closed
    TraceFiles(const TraceFiles&) = delete;
    TraceFiles& operator=(const TraceFiles&) = delete;

    // The sink for `path`, opened for appending at the first use; nullptr
    // when it cannot be opened.
    TraceSink* open(const std::string& path);
    bool empty() const { return sinks_.empty(); }
    // One line into every file.
    void emit_all(const std::string& line);

  private:
    std::vector<std::unique_ptr<TraceSink>> sinks_;
};

// printf into one trace line, with its newline.
std::string sim_trace_line(const char* format, std::va_list args);
std::string sim_trace_line(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Bytes as lowercase hexadecimal digits, two per byte.
std::string sim_hex(const void* bytes, std::size_t count);

// The report's JSON; `chip` may be null (no chip yet).
std::string sim_report_json(std::uint64_t now_ns, const SimTraffic& traffic,
                            const sim::ChipCounters* chip, const sim::ChannelCounters& channel);
// Writes the report at `path` (nothing when it is empty); says on standard
// error when it cannot.
void sim_write_report(const std::string& path, const std::string& json);
