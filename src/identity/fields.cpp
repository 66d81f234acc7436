#include "identity/fields.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "image/hex_record.h"

namespace {

constexpr std::size_t kNameMax = 64;

std::string hex_address(std::uint64_t address) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%06llx", static_cast<unsigned long long>(address));
    return text;
}

std::string field_text(const FieldPlace& field) {
    return field.name + "@" + hex_address(field.address) + " (" + std::to_string(field.size) +
           (field.size == 1 ? " byte)" : " bytes)");
}

// A digit of `base` (10 or 16), or -1.
int digit(char c, unsigned base) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    const char lower = static_cast<char>(c | 0x20);
    return base == 16 && lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
}

// An address below 4 GiB, decimal or 0x hex.
bool parse_address(const std::string& text, std::uint64_t& address) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    const unsigned base = hex ? 16 : 10;
    address = 0;
    for (char c : digits) {
        const int d = digit(c, base);
        if (d < 0) {
            return false;
        }
        address = address * base + static_cast<unsigned>(d);
        if (address > 0xFFFFFFFFu) {
            return false;
        }
    }
    return !digits.empty();
}

bool is_defined(const image_map& map, std::uint32_t a) {
    return (map.defined[a >> 3] >> (a & 7) & 1) != 0;
}

void add_range(std::vector<ByteRange>& ranges, std::uint32_t start, std::uint32_t end) {
    ranges.push_back({start, end});
    std::sort(ranges.begin(), ranges.end(),
              [](const ByteRange& a, const ByteRange& b) { return a.start < b.start; });
    std::vector<ByteRange> merged;
    for (const ByteRange& range : ranges) {
        if (!merged.empty() && range.start <= merged.back().end) {
            merged.back().end = std::max(merged.back().end, range.end);
        } else {
            merged.push_back(range);
        }
    }
    ranges = std::move(merged);
}

}  // namespace

bool check_pool_name(const std::string& name, std::string& error) {
    const bool fine = !name.empty() && name.size() <= kNameMax &&
                      std::all_of(name.begin(), name.end(), [](char c) {
                          return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                                 (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.';
                      });
    if (!fine) {
        error = "pool name \"" + name + "\": letters, digits, _ - and . only, 1 to 64 of them";
    }
    return fine;
}

bool parse_field(const std::string& text, FieldSpec& field, std::string& error) {
    const std::size_t at = text.find('@');
    if (at == std::string::npos) {
        error = "--field " + text + ": NAME@ADDR (serial@0x1FF000)";
        return false;
    }
    field.name = text.substr(0, at);
    std::string why;
    if (!check_pool_name(field.name, why)) {
        error = "--field " + text + ": " + why;
        return false;
    }
    std::uint64_t address = 0;
    if (!parse_address(text.substr(at + 1), address)) {
        error = "--field " + text + ": bad address " + text.substr(at + 1) + " (decimal or 0x hex)";
        return false;
    }
    field.address = static_cast<std::uint32_t>(address);
    return true;
}

bool check_fields(const std::vector<FieldPlace>& fields, std::uint32_t chip_size,
                  std::string& error) {
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const FieldPlace& a = fields[i];
        if (std::uint64_t{a.address} + a.size > chip_size) {
            error = "field " + field_text(a) + " reaches past the chip's end (" +
                    hex_address(chip_size) + ")";
            return false;
        }
        for (std::size_t j = 0; j < i; ++j) {
            const FieldPlace& b = fields[j];
            if (a.name == b.name) {
                error = "--field " + a.name + " is given twice (one value per pool and board)";
                return false;
            }
            if (a.address < b.address + b.size && b.address < a.address + a.size) {
                error = "fields " + field_text(b) + " and " + field_text(a) + " overlap";
                return false;
            }
        }
    }
    return true;
}

std::string fields_over_image(const std::vector<FieldPlace>& fields, const image_map& map) {
    std::string names;
    int count = 0;
    for (const FieldPlace& field : fields) {
        bool over = false;
        for (std::size_t i = 0; i < field.size && !over; ++i) {
            over = is_defined(map, field.address + static_cast<std::uint32_t>(i));
        }
        if (over) {
            names += (count++ == 0 ? "" : ", ") + field.name + "@" + hex_address(field.address);
        }
    }
    if (count == 0) {
        return "";
    }
    return (count == 1 ? "field " + names + " lies" : "fields " + names + " lie") +
           " over image data: the field's bytes win";
}

void apply_fields(LoadedImage& image, const std::vector<FieldBytes>& fields, bool raw) {
    image_map& map = *image.map;
    for (const FieldBytes& field : fields) {
        for (std::size_t i = 0; i < field.bytes.size(); ++i) {
            const std::uint32_t a = field.address + static_cast<std::uint32_t>(i);
            const std::uint8_t byte = field.bytes[i];
            map.bytes[a] = raw ? byte : static_cast<std::uint8_t>(reverse_bits(byte));
            map.defined[a >> 3] = static_cast<std::uint8_t>(map.defined[a >> 3] | 1u << (a & 7));
        }
        if (!field.bytes.empty()) {
            add_range(image.ranges, field.address,
                      field.address + static_cast<std::uint32_t>(field.bytes.size()));
        }
    }
}

LoadedImage copy_image(const LoadedImage& image) {
    LoadedImage copy;
    copy.map = std::make_unique<image_map>(*image.map);
    copy.sha256 = image.sha256;
    copy.ranges = image.ranges;
    return copy;
}
