#include "simboard/chip_file.h"

#include "host/windows_api.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "d2xx/in_use.h"
#include "sim/spi_nor.h"

namespace {

std::string wrong_size(long long size) {
    return "it holds " + std::to_string(size) + " bytes, not 2097152";
}

// A chip file, mapped; the file stays open so that it can be locked.
struct MappedFile {
    void* mapping = nullptr;
#if defined(_WIN32)
    HANDLE file = INVALID_HANDLE_VALUE;
#else
    int fd = -1;
#endif
};

// Maps the file at `path` as the chip's array, shared and writable, so the
// file holds what the chip holds however the program ends. A missing file is
// created at the chip's size with its space reserved (`created` set; its
// bytes are then zero), so a full disk fails here and not as a fault on a
// later write through the mapping. False with `why` set when the file cannot
// be used.
#if defined(_WIN32)
bool map_chip_file(const char* path, MappedFile& chip, bool& created, std::string& why) {
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, share, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    created = file != INVALID_HANDLE_VALUE;
    if (!created && GetLastError() == ERROR_FILE_EXISTS) {
        file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    if (file == INVALID_HANDLE_VALUE) {
        why = "Windows error " + std::to_string(GetLastError());
        return false;
    }
    void* mapping = nullptr;
    LARGE_INTEGER size{};
    if (!created && !GetFileSizeEx(file, &size)) {
        why = "Windows error " + std::to_string(GetLastError());
    } else if (!created && size.QuadPart != sim::SpiNor::kSize) {
        why = wrong_size(size.QuadPart);
    } else {
        // The section grows a new file to the chip's size, allocated (NTFS
        // files are not sparse); the view keeps the section alive once its
        // handle is closed.
        HANDLE section =
            CreateFileMappingA(file, nullptr, PAGE_READWRITE, 0, sim::SpiNor::kSize, nullptr);
        if (section != nullptr) {
            mapping = MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, sim::SpiNor::kSize);
        }
        if (mapping == nullptr) {
            why = "Windows error " + std::to_string(GetLastError());
        }
        if (section != nullptr) {
            CloseHandle(section);
        }
    }
    if (mapping == nullptr) {
        CloseHandle(file);
        if (created) {
            DeleteFileA(path);
        }
        return false;
    }
    chip.mapping = mapping;
    chip.file = file;
    return true;
}

// One byte past the chip's end is the lock: it never covers mapped data.
bool lock_chip_file(MappedFile& chip) {
    OVERLAPPED where{};
    where.Offset = sim::SpiNor::kSize;
    return LockFileEx(chip.file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                      &where) != 0;
}

void unlock_chip_file(MappedFile& chip) {
    OVERLAPPED where{};
    where.Offset = sim::SpiNor::kSize;
    UnlockFileEx(chip.file, 0, 1, 0, &where);
}

void unmap_chip_file(MappedFile& chip) {
    UnmapViewOfFile(chip.mapping);
    CloseHandle(chip.file);
    chip = MappedFile{};
}
#else
// Gives the file the chip's size with its blocks allocated; 0 or an errno
// value. An existing file's holes are filled, its bytes kept.
int reserve_chip_space(int fd) {
#if defined(__APPLE__)
    // No posix_fallocate: the size alone, the blocks left to the first write.
    return ::ftruncate(fd, sim::SpiNor::kSize) == 0 ? 0 : errno;
#else
    return ::posix_fallocate(fd, 0, sim::SpiNor::kSize);
#endif
}

bool map_chip_file(const char* path, MappedFile& chip, bool& created, std::string& why) {
    int fd = ::open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    created = fd >= 0;
    if (!created && errno == EEXIST) {
        fd = ::open(path, O_RDWR | O_CLOEXEC);
    }
    if (fd < 0) {
        why = std::strerror(errno);
        return false;
    }
    void* mapping = nullptr;
    struct stat info {};
    int error = 0;
    if (!created && ::fstat(fd, &info) != 0) {
        why = std::strerror(errno);
    } else if (!created && info.st_size != sim::SpiNor::kSize) {
        why = wrong_size(static_cast<long long>(info.st_size));
    } else if ((error = reserve_chip_space(fd)) != 0) {
        why = std::strerror(error);
    } else {
        mapping = ::mmap(nullptr, sim::SpiNor::kSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (mapping == MAP_FAILED) {
            why = std::strerror(errno);
            mapping = nullptr;
        }
    }
    if (mapping == nullptr) {
        ::close(fd);
        if (created) {
            ::unlink(path);
        }
        return false;
    }
    chip.mapping = mapping;
    chip.fd = fd;
    return true;
}

bool lock_chip_file(MappedFile& chip) {
    return ::flock(chip.fd, LOCK_EX | LOCK_NB) == 0;
}

void unlock_chip_file(MappedFile& chip) {
    ::flock(chip.fd, LOCK_UN);
}

void unmap_chip_file(MappedFile& chip) {
    ::munmap(chip.mapping, sim::SpiNor::kSize);
    ::close(chip.fd);
    chip = MappedFile{};
}
#endif

MappedFile held(void* mapping,
#if defined(_WIN32)
                void* file
#else
                int fd
#endif
) {
    MappedFile chip;
    chip.mapping = mapping;
#if defined(_WIN32)
    chip.file = static_cast<HANDLE>(file);
#else
    chip.fd = fd;
#endif
    return chip;
}

}  // namespace

#if defined(_WIN32)
#define CHIP_FILE_HANDLE file_
#else
#define CHIP_FILE_HANDLE fd_
#endif

ChipFile::~ChipFile() {
    if (mapping_ != nullptr) {
        MappedFile chip = held(mapping_, CHIP_FILE_HANDLE);
        unmap_chip_file(chip);
    }
}

bool ChipFile::map(const std::string& path, const sim::ChipModel& model, std::string& why) {
    MappedFile chip;
    bool created = false;
    if (!map_chip_file(path.c_str(), chip, created, why)) {
        return false;
    }
    path_ = path;
    mapping_ = chip.mapping;
#if defined(_WIN32)
    file_ = chip.file;
#else
    fd_ = chip.fd;
#endif
    if (created) {
        std::memset(mapping_, 0xFF, sim::SpiNor::kSize);
        write_status(model, model.factory);
    }
    return true;
}

bool ChipFile::lock() {
    MappedFile chip = held(mapping_, CHIP_FILE_HANDLE);
    return lock_chip_file(chip);
}

void ChipFile::unlock() {
    MappedFile chip = held(mapping_, CHIP_FILE_HANDLE);
    unlock_chip_file(chip);
}

std::uint16_t ChipFile::load_status(const sim::ChipModel& model) {
    std::ifstream in(status_path(path_));
    std::string name;
    unsigned bits = 0;
    unsigned second = 0;
    if (in >> name >> std::hex >> bits && name == model.name && bits <= 0xFF) {
        if (model.second_register && !(in >> second && second <= 0xFF)) {
            second = model.factory >> 8;
        }
        saved_ = static_cast<std::uint16_t>(bits | second << 8);
        saved_known_ = true;
        return saved_;
    }
    write_status(model, model.factory);
    return model.factory;
}

void ChipFile::save_status(const sim::ChipModel& model, std::uint16_t bits) {
    if (!saved_known_ || bits != saved_) {
        write_status(model, bits);
    }
}

// One line: the model's name, then the bits of register 1 and (on a part
// that has one) register 2 in hexadecimal ("m25p16 9c", "w25q16jv 24 02").
void ChipFile::write_status(const sim::ChipModel& model, std::uint16_t bits) {
    std::string path = status_path(path_);
    std::FILE* file = std::fopen(path.c_str(), "w");
    bool good = file != nullptr &&
                (model.second_register
                     ? std::fprintf(file, "%s %02x %02x\n", model.name, bits & 0xFF, bits >> 8)
                     : std::fprintf(file, "%s %02x\n", model.name, bits & 0xFF)) > 0;
    if (file != nullptr && std::fclose(file) != 0) {
        good = false;
    }
    saved_ = bits;
    saved_known_ = true;
    if (!good && !save_failed_) {
        save_failed_ = true;
        std::fprintf(stderr, "%s: sim: cannot write the status file '%s'\n", program_name,
                     path.c_str());
    }
}
