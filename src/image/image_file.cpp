#include "image/image_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "image/hex_record.h"
#include "image/sha256.h"

namespace {

const char* fault_text(ImageFault fault) {
    switch (fault) {
        case IMAGE_FAULT_READ:
            return "cannot be read";
        case IMAGE_FAULT_FORMAT:
            return "not a valid Intel HEX record";
        case IMAGE_FAULT_BASE:
            return "extended address record of the wrong length";
        case IMAGE_FAULT_RANGE:
            return "data past the end of the 2 MiB flash";
        case IMAGE_FAULT_OVERLAP:
            return "gives bytes an earlier record gave other values";
        case IMAGE_FAULT_INCOMPLETE:
            return "no end-of-file record";
        default:
            return "";
    }
}

bool defined_at(const image_map& map, std::uint32_t a) {
    return (map.defined[a >> 3] >> (a & 7)) & 1;
}

// 32 bytes a record: aligned, so no record crosses a page.
constexpr std::uint32_t kRecordSize = 32;

void put_record(std::string& out, int type, std::uint32_t offset, const std::uint8_t* data,
                std::uint32_t length) {
    std::uint8_t head[4] = {static_cast<std::uint8_t>(length),
                            static_cast<std::uint8_t>(offset >> 8),
                            static_cast<std::uint8_t>(offset), static_cast<std::uint8_t>(type)};
    unsigned sum = 0;
    char pair[3];
    out += ':';
    auto put = [&](std::uint8_t byte) {
        sum += byte;
        std::snprintf(pair, sizeof pair, "%02X", byte);
        out += pair;
    };
    for (std::uint8_t byte : head) {
        put(byte);
    }
    for (std::uint32_t i = 0; i < length; ++i) {
        put(data[i]);
    }
    std::snprintf(pair, sizeof pair, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    out += pair;
    out += '\n';
}

}  // namespace

std::string open_failure(const std::string& path) {
    std::error_code code;
    std::filesystem::file_status status = std::filesystem::status(path, code);
    if (status.type() == std::filesystem::file_type::not_found) {
        return "no such file";
    }
    if (std::filesystem::is_directory(status)) {
        return "a directory, not a file";
    }
    if (!code && !std::filesystem::is_regular_file(status)) {
        return "not a regular file";
    }
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file != nullptr) {
        std::fclose(file);
        return "cannot be read";
    }
    return errno == EACCES ? "permission denied" : std::strerror(errno);
}

namespace {

// Whether the name ends in ".bin", in any case.
bool is_bin_path(const std::string& path) {
    std::string tail = path.size() < 4 ? path : path.substr(path.size() - 4);
    for (char& ch : tail) {
        ch = static_cast<char>(ch >= 'A' && ch <= 'Z' ? ch - 'A' + 'a' : ch);
    }
    return tail == ".bin";
}

// A binary image: its bytes from form.base on, defined wherever the file gives one.
bool load_binary(const std::string& path, std::FILE* file, const ImageForm& form,
                 LoadedImage& image, std::string& error) {
    std::vector<std::uint8_t> bytes;
    std::uint8_t block[65536];
    std::uint64_t room = IMAGE_CHIP_SIZE - form.base;
    for (std::size_t n; (n = std::fread(block, 1, sizeof block, file)) > 0;) {
        bytes.insert(bytes.end(), block, block + n);
        if (bytes.size() > room) {
            error = path + ": runs past the end of the 2 MiB flash (from 0x" + [&] {
                char at[16];
                std::snprintf(at, sizeof at, "%06x", form.base);
                return std::string(at);
            }() + ")";
            return false;
        }
    }
    if (std::ferror(file)) {
        error = path + ": cannot be read";
        return false;
    }
    if (bytes.empty()) {
        error = path + ": empty";
        return false;
    }
    Sha256 hash;
    hash.update(bytes.data(), bytes.size());
    image.sha256 = hash.hex_digest();
    image.map = std::make_unique<image_map>();
    std::memset(image.map->bytes, 0xFF, sizeof image.map->bytes);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::uint32_t at = form.base + static_cast<std::uint32_t>(i);
        image.map->bytes[at] =
            form.raw ? bytes[i] : static_cast<std::uint8_t>(reverse_bits(bytes[i]));
        image.map->defined[at >> 3] =
            static_cast<std::uint8_t>(image.map->defined[at >> 3] | (1u << (at & 7)));
    }
    image.ranges = {{form.base, form.base + static_cast<std::uint32_t>(bytes.size())}};
    return true;
}

}  // namespace

bool load_image(const std::string& path, LoadedImage& image, std::string& error,
                const ImageForm& form) {
    std::FILE* file = image_open(path.c_str());
    if (file == nullptr) {
        error = path + ": cannot open: " + open_failure(path);
        return false;
    }
    bool binary = form.format == "bin" || (form.format.empty() && is_bin_path(path));
    if (!binary && form.format.empty()) {
        int first = std::fgetc(file);
        std::rewind(file);
        if (first != ':') {
            std::fclose(file);
            error = path +
                    ": not an Intel HEX file (no ':' at its start); a binary image "
                    "needs a .bin name or --format bin";
            return false;
        }
    }
    if (!binary && (form.raw || form.base_given)) {
        std::fclose(file);
        error = path + ": " + (form.raw ? "--raw" : "--base") +
                " is for binary images; this one is read as Intel HEX";
        return false;
    }
    if (binary) {
        bool fine = load_binary(path, file, form, image, error);
        std::fclose(file);
        return fine;
    }
    Sha256 hash;
    char block[65536];
    for (std::size_t n; (n = std::fread(block, 1, sizeof block, file)) > 0;) {
        hash.update(block, n);
    }
    bool read_fine = !std::ferror(file);
    std::rewind(file);
    image.map = std::make_unique<image_map>();
    std::uint32_t line = 0;
    ImageFault fault = read_fine ? image_scan(file, image.map.get(), &line) : IMAGE_FAULT_READ;
    std::fclose(file);
    if (fault != IMAGE_FINE) {
        bool at_line = fault != IMAGE_FAULT_READ && fault != IMAGE_FAULT_INCOMPLETE;
        error = path;
        if (at_line) {
            error += ':';
            error += std::to_string(line);
        }
        error += ": ";
        error += fault_text(fault);
        return false;
    }
    image.sha256 = hash.hex_digest();
    image.ranges.clear();
    for (std::uint32_t a = 0; a < IMAGE_CHIP_SIZE; ++a) {
        if (!defined_at(*image.map, a)) {
            continue;
        }
        if (!image.ranges.empty() && image.ranges.back().end == a) {
            ++image.ranges.back().end;
        } else {
            image.ranges.push_back({a, a + 1});
        }
    }
    return true;
}

bool check_writable(const std::string& path, std::string& error) {
    std::error_code code;
    std::filesystem::file_status status = std::filesystem::status(path, code);
    bool existed = std::filesystem::exists(status);
    std::string why;
    if (std::filesystem::is_directory(status)) {
        why = "a directory, not a file";
    } else if (std::FILE* file = std::fopen(path.c_str(), "ab"); file == nullptr) {
        why = errno == EACCES   ? "permission denied"
              : errno == ENOENT ? "no such directory"
                                : std::strerror(errno);
    } else {
        std::fclose(file);
        if (!existed) {
            std::remove(path.c_str());
        }
        return true;
    }
    error = path + ": cannot be written: " + why;
    return false;
}

bool is_hex_path(const std::string& path) {
    if (path.size() < 4) {
        return false;
    }
    std::string tail = path.substr(path.size() - 4);
    for (char& ch : tail) {
        ch = static_cast<char>(ch >= 'A' && ch <= 'Z' ? ch - 'A' + 'a' : ch);
    }
    return tail == ".hex";
}

bool save_chip(const std::string& path, const std::uint8_t* chip, bool raw, std::string& error) {
    std::vector<std::uint8_t> bytes(chip, chip + IMAGE_CHIP_SIZE);
    if (!raw) {
        for (std::uint8_t& byte : bytes) {
            byte = static_cast<std::uint8_t>(reverse_bits(byte));
        }
    }
    std::string text;
    if (is_hex_path(path)) {
        // An erased run (0xFF on the chip and in image form alike) gets no record.
        std::uint32_t segment = 0;
        for (std::uint32_t a = 0; a < IMAGE_CHIP_SIZE; a += kRecordSize) {
            const std::uint8_t* data = bytes.data() + a;
            bool erased = true;
            for (std::uint32_t i = 0; i < kRecordSize; ++i) {
                erased = erased && data[i] == 0xFF;
            }
            if (erased) {
                continue;
            }
            if (a >> 16 != segment) {
                segment = a >> 16;
                std::uint8_t upper[2] = {static_cast<std::uint8_t>(segment >> 8),
                                         static_cast<std::uint8_t>(segment)};
                put_record(text, 4, 0, upper, 2);
            }
            put_record(text, 0, a & 0xFFFF, data, kRecordSize);
        }
        text += ":00000001FF\n";
    }
    std::FILE* file = std::fopen(path.c_str(), "wb");
    bool fine = file != nullptr;
    if (fine && text.empty()) {
        fine = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    } else if (fine) {
        fine = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    }
    if (file != nullptr) {
        fine = std::fclose(file) == 0 && fine;
    }
    if (!fine) {
        error = path + ": cannot be written: " + std::strerror(errno);
        return false;
    }
    return true;
}
