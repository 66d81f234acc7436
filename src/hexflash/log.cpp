#include "hexflash/log.h"

#include <cstdio>
#include <ctime>
#include <utility>
#include <vector>

#include "chip/chip.h"
#include "hexflash/report.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace {

std::string iso_time_now() {
    std::time_t now = std::time(nullptr);
    std::tm utc{};
#if defined(_WIN32)
    gmtime_s(&utc, &now);
#else
    gmtime_r(&now, &utc);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

}  // namespace

LogSource log_source(const char* version) {
    char name[256] = {};
#if defined(_WIN32)
    DWORD size = sizeof name;
    if (GetComputerNameA(name, &size) == 0) {
        name[0] = '\0';
    }
#else
    if (gethostname(name, sizeof name - 1) != 0) {
        name[0] = '\0';
    }
#endif
    return {name, version};
}

const char* log_result(const BoardRecord& record) {
    return record.exit_status == 0          ? "passed"
           : record.result == "interrupted" ? "interrupted"
                                            : "failed";
}

std::string log_line(const Options& options, const LoadedImage& image, const BoardRecord& record,
                     const LogSource& source) {
    const std::string null = "null";
    std::uint32_t jedec =
        static_cast<std::uint32_t>(record.id[0] << 16 | record.id[1] << 8 | record.id[2]);
    const chip_part* part = record.have_part ? &record.part : nullptr;
    char id[8];
    std::snprintf(id, sizeof id, "%06x", static_cast<unsigned>(jedec));
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", record.seconds);
    static const char* const kModes[] = {"auto", "chip", "none"};
    const bool failed = record.exit_status != 0;
    std::vector<std::pair<const char*, std::string>> keys = {
        {"time", json_string(iso_time_now())},
        {"host", json_string(source.host)},
        {"version", json_string(source.version)},
        {"location", std::to_string(record.board.location)},
        {"serial", json_string(record.board.serial)},
        {"chip", part != nullptr ? json_string(part->name) : null},
        {"jedec_id", record.have_id ? json_string(id) : null},
        {"unique_id", record.unique_id.empty() ? null : json_string(record.unique_id)},
        {"image", json_string(options.path)},
        {"sha256", json_string(image.sha256)},
        {"erase", json_string(kModes[options.erase])},
        {"result", json_string(log_result(record))},
        {"exit_status", std::to_string(record.exit_status)},
        {"phase", failed && !record.phase.empty() ? json_string(record.phase) : null},
        {"message", failed && !record.message.empty() ? json_string(record.message) : null},
        {"seconds", seconds},
        {"retries", retries_json(record)},
        {"protected", !record.have_protection ? null
                      : record.is_protected   ? "true"
                                              : "false"},
    };
    std::string out = "{";
    for (const auto& [key, value] : keys) {
        out += (out.size() > 1 ? ", " : "") + json_string(key) + ": " + value;
    }
    return out + "}";
}

bool log_check(const std::string& path, std::string& error) {
    std::FILE* file = std::fopen(path.c_str(), "a");
    if (file == nullptr) {
        error = "cannot open the log " + path;
        return false;
    }
    std::fclose(file);
    return true;
}

bool log_append(const std::string& path, const std::string& line, std::string& error) {
    const std::string whole = line + "\n";
#if defined(_WIN32)
    HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = "cannot open the log " + path;
        return false;
    }
    OVERLAPPED all{};
    bool locked = LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &all) != 0;
    DWORD written = 0;
    bool ok =
        locked &&
        WriteFile(file, whole.data(), static_cast<DWORD>(whole.size()), &written, nullptr) != 0 &&
        written == whole.size() && FlushFileBuffers(file) != 0;
    if (locked) {
        UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &all);
    }
    CloseHandle(file);
#else
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "cannot open the log " + path;
        return false;
    }
    // Another watch on the same log waits here for its turn.
    bool locked = flock(fd, LOCK_EX) == 0;
    bool ok = locked &&
              ::write(fd, whole.data(), whole.size()) == static_cast<ssize_t>(whole.size()) &&
              fsync(fd) == 0;
    if (locked) {
        flock(fd, LOCK_UN);
    }
    ::close(fd);
#endif
    if (!ok) {
        error = "cannot write the log " + path;
    }
    return ok;
}
