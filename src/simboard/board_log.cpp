#include "simboard/board_log.h"

#include <algorithm>

#include "d2xx/in_use.h"

void TraceSink::emit(const std::string& line) {
    std::lock_guard<std::mutex> hold(lock_);
    std::fwrite(line.data(), 1, line.size(), file_);
}

void TraceSink::flush() {
    std::lock_guard<std::mutex> hold(lock_);
    if ((std::fflush(file_) != 0 || std::ferror(file_) != 0) && !failed_) {
        failed_ = true;
        std::fprintf(stderr, "%s: sim: cannot write the trace '%s'\n", program_name, path_.c_str());
    }
}

TraceFiles::~TraceFiles() {
    for (auto& sink : sinks_) {
        sink->flush();
        if (std::fclose(sink->file_) != 0 && !sink->failed_) {
            std::fprintf(stderr, "%s: sim: cannot write the trace '%s'\n", program_name,
                         sink->path_.c_str());
        }
    }
}

TraceSink* TraceFiles::open(const std::string& path) {
    for (auto& sink : sinks_) {
        if (sink->path_ == path) {
            return sink.get();
        }
    }
    auto sink = std::make_unique<TraceSink>();
    sink->path_ = path;
    sink->file_ = std::fopen(path.c_str(), "a");
    if (sink->file_ == nullptr) {
        return nullptr;
    }
    std::setvbuf(sink->file_, nullptr, _IOFBF, 1 << 16);
    sinks_.push_back(std::move(sink));
    return sinks_.back().get();
}

void TraceFiles::emit_all(const std::string& line) {
    for (auto& sink : sinks_) {
        sink->emit(line);
    }
}

std::string sim_trace_line(const char* format, std::va_list args) {
    std::va_list again;
    va_copy(again, args);
    int size = std::vsnprintf(nullptr, 0, format, again);
    va_end(again);
    std::string line(static_cast<std::size_t>(std::max(size, 0)) + 1, '\0');
    std::vsnprintf(line.data(), line.size(), format, args);
    line.back() = '\n';
    return line;
}

std::string sim_trace_line(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::string line = sim_trace_line(format, args);
    va_end(args);
    return line;
}

std::string sim_hex(const void* bytes, std::size_t count) {
    static constexpr char kDigits[] = "0123456789abcdef";
    const auto* data = static_cast<const std::uint8_t*>(bytes);
    std::string text(count * 2, '0');
    for (std::size_t i = 0; i < count; ++i) {
        text[2 * i] = kDigits[data[i] >> 4];
        text[2 * i + 1] = kDigits[data[i] & 0x0F];
    }
    return text;
}

std::string sim_report_json(std::uint64_t now_ns, const SimTraffic& traffic,
                            const sim::ChipCounters* chip_or_null,
                            const sim::ChannelCounters& channel) {
    const sim::ChipCounters none{};
    const sim::ChipCounters& chip = chip_or_null != nullptr ? *chip_or_null : none;
    char text[1024];
    std::snprintf(text, sizeof text,
                  "{\n"
                  "  \"virtual_seconds\": %.9f,\n"
                  "  \"usb_writes\": %llu,\n"
                  "  \"usb_reads\": %llu,\n"
                  "  \"bytes_out\": %llu,\n"
                  "  \"bytes_in\": %llu,\n"
                  "  \"spi_transactions\": %llu,\n"
                  "  \"page_programs\": %llu,\n"
                  "  \"sector_erases\": %llu,\n"
                  "  \"bulk_erases\": %llu,\n"
                  "  \"erases_4k\": %llu,\n"
                  "  \"erases_32k\": %llu,\n"
                  "  \"erases_64k\": %llu,\n"
                  "  \"chip_erases\": %llu,\n"
                  "  \"sk_cycles\": %llu,\n"
                  "  \"bad_commands\": %llu\n"
                  "}\n",
                  static_cast<double>(now_ns) / 1e9,
                  static_cast<unsigned long long>(traffic.usb_writes),
                  static_cast<unsigned long long>(traffic.usb_reads),
                  static_cast<unsigned long long>(traffic.bytes_out),
                  static_cast<unsigned long long>(traffic.bytes_in),
                  static_cast<unsigned long long>(chip.transactions),
                  static_cast<unsigned long long>(chip.page_programs),
                  static_cast<unsigned long long>(chip.sector_erases),
                  static_cast<unsigned long long>(chip.bulk_erases),
                  static_cast<unsigned long long>(chip.erases_4k),
                  static_cast<unsigned long long>(chip.erases_32k),
                  static_cast<unsigned long long>(chip.sector_erases),
                  static_cast<unsigned long long>(chip.bulk_erases),
                  static_cast<unsigned long long>(channel.sk_cycles),
                  static_cast<unsigned long long>(channel.bad_commands));
    return text;
}

void sim_write_report(const std::string& path, const std::string& json) {
    if (path.empty()) {
        return;
    }
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr || std::fputs(json.c_str(), file) < 0 || std::fclose(file) != 0) {
        std::fprintf(stderr, "%s: sim: cannot write the report '%s'\n", program_name, path.c_str());
    }
}
