#include "store/spool.h"

#include <filesystem>
#include <sstream>
#include <utility>
#include <vector>

#include "json/json.h"
#include "store/json_reader.h"
#include "store/record_json.h"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// The spool file, open and locked for as long as this lives.
class LockedFile {
  public:
    LockedFile() = default;
    LockedFile(const LockedFile&) = delete;
    LockedFile& operator=(const LockedFile&) = delete;
    ~LockedFile() { close(); }

    bool open(const std::string& path, std::string& error);
    bool read_all(std::string& text);
    bool append(const std::string& text);
    // Puts `text` in the file's place, whole or not at all where the system allows.
    bool replace(const std::string& text);

  private:
    void close();
    std::string path_;
#if defined(_WIN32)
    HANDLE file_ = INVALID_HANDLE_VALUE;
#else
    int fd_ = -1;
#endif
};

#if defined(_WIN32)

bool LockedFile::open(const std::string& path, std::string& error) {
    path_ = path;
    file_ =
        CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    OVERLAPPED all{};
    if (file_ == INVALID_HANDLE_VALUE ||
        LockFileEx(file_, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &all) == 0) {
        error = "cannot open the spool " + path;
        close();
        return false;
    }
    return true;
}

bool LockedFile::read_all(std::string& text) {
    text.clear();
    SetFilePointer(file_, 0, nullptr, FILE_BEGIN);
    char buffer[65536];
    for (;;) {
        DWORD got = 0;
        if (ReadFile(file_, buffer, sizeof buffer, &got, nullptr) == 0) {
            return false;
        }
        if (got == 0) {
            return true;
        }
        text.append(buffer, got);
    }
}

bool LockedFile::append(const std::string& text) {
    SetFilePointer(file_, 0, nullptr, FILE_END);
    DWORD written = 0;
    return WriteFile(file_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) != 0 &&
           written == text.size() && FlushFileBuffers(file_) != 0;
}

// Windows cannot rename over a file held open: rewritten in place.
bool LockedFile::replace(const std::string& text) {
    SetFilePointer(file_, 0, nullptr, FILE_BEGIN);
    DWORD written = 0;
    return WriteFile(file_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) != 0 &&
           written == text.size() && SetEndOfFile(file_) != 0 && FlushFileBuffers(file_) != 0;
}

void LockedFile::close() {
    if (file_ != INVALID_HANDLE_VALUE) {
        OVERLAPPED all{};
        UnlockFileEx(file_, 0, MAXDWORD, MAXDWORD, &all);
        CloseHandle(file_);
        file_ = INVALID_HANDLE_VALUE;
    }
}

#else

bool LockedFile::open(const std::string& path, std::string& error) {
    path_ = path;
    // A replay puts a new file in the old one's place: a lock taken on the
    // old one while that happened is taken again on the new.
    for (;;) {
        fd_ = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ < 0 || flock(fd_, LOCK_EX) != 0) {
            error = "cannot open the spool " + path;
            close();
            return false;
        }
        struct stat held {};
        struct stat named {};
        if (fstat(fd_, &held) == 0 && ::stat(path.c_str(), &named) == 0 &&
            held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
            return true;
        }
        close();
    }
}

bool LockedFile::read_all(std::string& text) {
    text.clear();
    char buffer[65536];
    off_t at = 0;
    for (;;) {
        ssize_t got = pread(fd_, buffer, sizeof buffer, at);
        if (got < 0) {
            return false;
        }
        if (got == 0) {
            return true;
        }
        text.append(buffer, static_cast<std::size_t>(got));
        at += got;
    }
}

bool LockedFile::append(const std::string& text) {
    return ::write(fd_, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
           fsync(fd_) == 0;
}

// A new file renamed into place: a crash leaves the old spool or the new,
// never half of one.
bool LockedFile::replace(const std::string& text) {
    const std::string temporary = path_ + ".new";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
              fsync(fd) == 0;
    ::close(fd);
    ok = ok && std::rename(temporary.c_str(), path_.c_str()) == 0;
    if (ok) {
        const std::string folder = std::filesystem::path(path_).parent_path().string();
        int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_CLOEXEC);
        if (dir >= 0) {
            fsync(dir);
            ::close(dir);
        }
    } else {
        std::remove(temporary.c_str());
    }
    return ok;
}

void LockedFile::close() {
    if (fd_ >= 0) {
        flock(fd_, LOCK_UN);
        ::close(fd_);
        fd_ = -1;
    }
}

#endif

// One line of the spool: {"store": "...", "record": {...}}.
struct Line {
    std::string text;
    bool ours = false;  // for the store asked about
    StoreRecord record;
};

std::vector<Line> split(const std::string& text, const std::string& store) {
    std::vector<Line> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.empty()) {
            continue;
        }
        Line& entry = lines.emplace_back();
        entry.text = line;
        std::vector<JsonMember> members;
        std::string error;
        // A line that cannot be read (torn by a crash) is kept, and skipped.
        if (!json_read_object(line, members, error) || members.size() != 2 ||
            members[0].key != "store" || members[1].key != "record" || members[0].value != store) {
            continue;
        }
        entry.ours = store_record_from_json(members[1].value, entry.record, error);
    }
    return lines;
}

bool make_folder(const std::string& path, std::string& error) {
    std::error_code ec;
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    if (folder.empty() || std::filesystem::is_directory(folder, ec) ||
        std::filesystem::create_directories(folder, ec)) {
        return true;
    }
    error = "cannot make " + folder.string() + " for the spool: " + ec.message();
    return false;
}

}  // namespace

std::string spool_default_path() {
    return (std::filesystem::path(store_state_dir()) / "spool.jsonl").string();
}

bool Spool::append(const std::string& store, const StoreRecord& record, std::string& error) {
    LockedFile file;
    std::string text;
    if (!make_folder(path_, error) || !file.open(path_, error) || !file.read_all(text)) {
        error = error.empty() ? "cannot read the spool " + path_ : error;
        return false;
    }
    // A line torn by a crash is ended first, so that it never swallows this one.
    std::string line = text.empty() || text.back() == '\n' ? "" : "\n";
    line +=
        "{\"store\": " + json_string(store) + ", \"record\": " + store_record_json(record) + "}\n";
    if (!file.append(line)) {
        error = "cannot write the spool " + path_;
        return false;
    }
    return true;
}

bool Spool::waiting(const std::string& store, std::size_t& count, std::string& error) {
    count = 0;
    std::error_code ec;
    if (!std::filesystem::exists(path_, ec)) {
        return true;
    }
    LockedFile file;
    std::string text;
    if (!file.open(path_, error) || !file.read_all(text)) {
        error = error.empty() ? "cannot read the spool " + path_ : error;
        return false;
    }
    for (const Line& line : split(text, store)) {
        count += line.ours ? 1 : 0;
    }
    return true;
}

bool Spool::replay(const std::string& store, const std::function<bool(const StoreRecord&)>& put,
                   std::size_t& left, std::string& error) {
    left = 0;
    std::error_code ec;
    if (!std::filesystem::exists(path_, ec)) {
        return true;
    }
    LockedFile file;
    std::string text;
    if (!file.open(path_, error) || !file.read_all(text)) {
        error = error.empty() ? "cannot read the spool " + path_ : error;
        return false;
    }
    std::string kept;
    bool taking = true;
    std::size_t taken = 0;
    for (const Line& line : split(text, store)) {
        if (line.ours && taking && put(line.record)) {
            ++taken;
            continue;
        }
        taking = taking && !line.ours;
        left += line.ours ? 1 : 0;
        kept += line.text + "\n";
    }
    if (taken != 0 && !file.replace(kept)) {
        // The records stay in the spool; replayed again they are stored once.
        error = "cannot rewrite the spool " + path_;
        return false;
    }
    return true;
}
