#include "identity/form.h"

#include <cstdio>
#include <limits>

namespace {

constexpr std::uint64_t kMaxNumber = std::numeric_limits<std::uint64_t>::max();
// ascii:W takes at most as many digits as a 64-bit number has.
constexpr unsigned kMaxDigits = 20;
constexpr unsigned kMacBytes = 6;

int digit_value(char c, unsigned base) {
    int value = -1;
    if (c >= '0' && c <= '9') {
        value = c - '0';
    } else if (c >= 'a' && c <= 'f') {
        value = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
        value = c - 'A' + 10;
    }
    return value >= 0 && static_cast<unsigned>(value) < base ? value : -1;
}

// Digits in `base`, all of `text`, without overflow.
bool parse_digits(const std::string& text, unsigned base, std::uint64_t& number) {
    number = 0;
    if (text.empty()) {
        return false;
    }
    for (char c : text) {
        const int d = digit_value(c, base);
        if (d < 0 || number > (kMaxNumber - static_cast<unsigned>(d)) / base) {
            return false;
        }
        number = number * base + static_cast<unsigned>(d);
    }
    return true;
}

bool parse_unsigned(const std::string& text, std::uint64_t& number) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        return parse_digits(text.substr(2), 16, number);
    }
    return parse_digits(text, 10, number);
}

bool parse_mac(const std::string& text, std::uint64_t& number, std::string& error) {
    number = 0;
    std::size_t at = 0;
    for (unsigned i = 0; i < kMacBytes; ++i) {
        const std::size_t end = i + 1 < kMacBytes ? text.find(':', at) : text.size();
        if (end == std::string::npos) {
            error = text + ": a MAC has 6 bytes, aa:bb:cc:dd:ee:ff";
            return false;
        }
        const std::string part = text.substr(at, end - at);
        std::uint64_t byte = 0;
        if (part.size() != 2 || !parse_digits(part, 16, byte)) {
            error = text + ": bad byte \"" + part + "\" (aa:bb:cc:dd:ee:ff, two hex digits each)";
            return false;
        }
        number = number << 8 | byte;
        at = end + 1;
    }
    return true;
}

bool parse_width(const std::string& text, unsigned low, unsigned high, unsigned& width) {
    std::uint64_t value = 0;
    if (!parse_digits(text, 10, value) || value < low || value > high) {
        return false;
    }
    width = static_cast<unsigned>(value);
    return true;
}

}  // namespace

bool parse_form(const std::string& text, const std::string& prefix, ValueForm& form,
                std::string& error) {
    form = ValueForm{};
    const std::size_t colon = text.find(':');
    const std::string kind = text.substr(0, colon);
    const std::string width = colon == std::string::npos ? "" : text.substr(colon + 1);
    if (kind == "ascii") {
        form.kind = FormKind::kAscii;
        if (!parse_width(width, 1, kMaxDigits, form.width)) {
            error = "--form " + text + ": ascii:W takes 1 to 20 digits";
            return false;
        }
    } else if (kind == "be" || kind == "le") {
        form.kind = kind == "be" ? FormKind::kBigEndian : FormKind::kLittleEndian;
        if (!parse_width(width, 1, 8, form.width)) {
            error = "--form " + text + ": " + kind + ":N takes 1 to 8 bytes";
            return false;
        }
    } else if (text == "mac") {
        form.kind = FormKind::kMac;
        form.width = kMacBytes;
    } else {
        error = "unknown --form " + text + " (ascii:W, be:N, le:N or mac)";
        return false;
    }
    if (!prefix.empty() && form.kind != FormKind::kAscii) {
        error = "--prefix goes with an ascii form only";
        return false;
    }
    for (char c : prefix) {
        if (c < 0x20 || c > 0x7E) {
            error = "--prefix " + prefix + ": printable ASCII only";
            return false;
        }
    }
    form.prefix = prefix;
    return true;
}

std::string form_text(const ValueForm& form) {
    switch (form.kind) {
        case FormKind::kAscii:
            return "ascii:" + std::to_string(form.width);
        case FormKind::kBigEndian:
            return "be:" + std::to_string(form.width);
        case FormKind::kLittleEndian:
            return "le:" + std::to_string(form.width);
        case FormKind::kMac:
            break;
    }
    return "mac";
}

std::size_t form_size(const ValueForm& form) {
    return form.kind == FormKind::kAscii ? form.prefix.size() + form.width : form.width;
}

std::uint64_t form_max(const ValueForm& form) {
    if (form.kind == FormKind::kAscii) {
        std::uint64_t max = 1;
        for (unsigned i = 0; i < form.width && i < kMaxDigits - 1; ++i) {
            max *= 10;
        }
        return form.width >= kMaxDigits ? kMaxNumber : max - 1;
    }
    return form.width >= 8 ? kMaxNumber : (std::uint64_t{1} << (8 * form.width)) - 1;
}

bool parse_value(const ValueForm& form, const std::string& text, std::uint64_t& number,
                 std::string& error) {
    if (form.kind == FormKind::kMac) {
        return parse_mac(text, number, error);
    }
    if (form.kind == FormKind::kAscii) {
        const bool prefixed = !form.prefix.empty() && text.rfind(form.prefix, 0) == 0;
        const std::string digits = prefixed ? text.substr(form.prefix.size()) : text;
        if (!parse_digits(digits, 10, number)) {
            error = text + ": not a decimal number" +
                    (form.prefix.empty() ? "" : " (with or without " + form.prefix + ")");
            return false;
        }
        return true;
    }
    if (!parse_unsigned(text, number)) {
        error = text + ": not a number (decimal or 0x hex, below 2^64)";
        return false;
    }
    return true;
}

bool check_range(const ValueForm& form, std::uint64_t first, std::uint64_t last,
                 std::string& error) {
    if (first > last) {
        error = "--first " + value_text(form, first) + " is above --last " + value_text(form, last);
        return false;
    }
    if (last > form_max(form)) {
        if (form.kind == FormKind::kAscii) {
            error = "--form " + form_text(form) + " is too narrow for --last " +
                    std::to_string(last) + " (" + std::to_string(form.width) + " digits at most)";
        } else {
            error = "--last " + std::to_string(last) + " does not fit " + form_text(form) +
                    " (at most " + std::to_string(form_max(form)) + ")";
        }
        return false;
    }
    return true;
}

std::string value_text(const ValueForm& form, std::uint64_t number) {
    if (form.kind == FormKind::kMac) {
        char text[20];
        std::snprintf(
            text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x",
            static_cast<unsigned>(number >> 40 & 0xFF), static_cast<unsigned>(number >> 32 & 0xFF),
            static_cast<unsigned>(number >> 24 & 0xFF), static_cast<unsigned>(number >> 16 & 0xFF),
            static_cast<unsigned>(number >> 8 & 0xFF), static_cast<unsigned>(number & 0xFF));
        return text;
    }
    std::string digits = std::to_string(number);
    if (form.kind != FormKind::kAscii) {
        return digits;
    }
    if (digits.size() < form.width) {
        digits.insert(0, form.width - digits.size(), '0');
    }
    return form.prefix + digits;
}

std::vector<std::uint8_t> value_bytes(const ValueForm& form, std::uint64_t number) {
    if (form.kind == FormKind::kAscii) {
        const std::string text = value_text(form, number);
        return {text.begin(), text.end()};
    }
    std::vector<std::uint8_t> bytes(form.width);
    for (unsigned i = 0; i < form.width; ++i) {
        // Byte i counted from the least significant end.
        const auto byte = static_cast<std::uint8_t>(number >> (8 * i) & 0xFF);
        const unsigned at = form.kind == FormKind::kLittleEndian ? i : form.width - 1 - i;
        bytes[at] = byte;
    }
    return bytes;
}
