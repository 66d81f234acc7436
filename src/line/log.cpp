#include "line/log.h"

#include <cstdio>
#include <ctime>

#include "json/json.h"
#include "store/record_json.h"

#if defined(_WIN32)
#include "host/windows_api.h"
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

namespace {

// A line's fields after who wrote it and when, in the line's order.
const RecordField kLogFields[] = {
    {"location", field_location},   {"serial", field_serial},
    {"chip", field_chip},           {"jedec_id", field_jedec_id},
    {"unique_id", field_unique_id}, {"image", field_image_path},
    {"sha256", field_image_sha256}, {"erase", field_erase_mode},
    {"result", field_verdict},      {"exit_status", field_exit_status},
    {"phase", field_failed_phase},  {"message", field_failure},
    {"seconds", field_seconds},     {"retries", field_retries},
    {"protected", field_protected},
};

}  // namespace

std::string log_line(const RecordView& view, const LogSource& source) {
    JsonObject line;
    line.add("time", json_string(iso_time_now()))
        .add("host", host_json_string(source.host))
        .add("version", host_json_string(source.version));
    for (const RecordField& field : kLogFields) {
        line.add(field.key, field.value(view));
    }
    return line.line();
}

StoreRecord log_store_record(const RecordView& view, const LogSource& source,
                             const std::string& run_id) {
    StoreRecord record;
    std::string error;
    // The line is this program's own writing: it always reads back.
    store_record_from_json(log_line(view, source), record, error);
    record.run_id = run_id;
    return record;
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
