#include "image/image_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
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

bool load_image(const std::string& path, LoadedImage& image, std::string& error) {
    std::FILE* file = image_open(path.c_str());
    if (file == nullptr) {
        error = path + ": cannot open (not a readable regular file)";
        return false;
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
