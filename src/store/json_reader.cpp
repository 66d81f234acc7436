#include "store/json_reader.h"

#include <cstdint>

namespace {

class Reader {
  public:
    explicit Reader(std::string_view text) : text_(text) {}

    bool object(std::vector<JsonMember>& members) {
        space();
        if (!take('{')) {
            return fail("no object");
        }
        space();
        if (take('}')) {
            return end();
        }
        do {
            JsonMember member;
            space();
            if (!string(member.key)) {
                return false;
            }
            space();
            if (!take(':')) {
                return fail("no ':' after a key");
            }
            space();
            if (peek() == '"') {
                member.is_string = true;
                if (!string(member.value)) {
                    return false;
                }
            } else if (!raw(member.value)) {
                return false;
            }
            members.push_back(std::move(member));
            space();
        } while (take(','));
        return take('}') ? end() : fail("no '}' to end the object");
    }

    const std::string& error() const { return error_; }

  private:
    char peek() const { return at_ < text_.size() ? text_[at_] : '\0'; }
    bool take(char ch) {
        if (peek() == ch && at_ < text_.size()) {
            ++at_;
            return true;
        }
        return false;
    }
    void space() {
        while (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r') {
            ++at_;
        }
    }
    bool end() {
        space();
        return at_ == text_.size() || fail("text after the object");
    }
    bool fail(const char* why) {
        error_ = std::string(why) + " at character " + std::to_string(at_ + 1);
        return false;
    }

    bool hex4(std::uint32_t& unit) {
        unit = 0;
        for (int i = 0; i < 4; ++i) {
            const char ch = peek();
            const int digit = ch >= '0' && ch <= '9'   ? ch - '0'
                              : ch >= 'a' && ch <= 'f' ? ch - 'a' + 10
                              : ch >= 'A' && ch <= 'F' ? ch - 'A' + 10
                                                       : -1;
            if (digit < 0) {
                return fail("a bad \\u escape");
            }
            unit = unit * 16 + static_cast<std::uint32_t>(digit);
            ++at_;
        }
        return true;
    }

    static void utf8(std::uint32_t code, std::string& out) {
        auto byte = [&](std::uint32_t value) { out += static_cast<char>(value); };
        if (code < 0x80) {
            byte(code);
        } else if (code < 0x800) {
            byte(0xC0 | code >> 6);
            byte(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            byte(0xE0 | code >> 12);
            byte(0x80 | ((code >> 6) & 0x3F));
            byte(0x80 | (code & 0x3F));
        } else {
            byte(0xF0 | code >> 18);
            byte(0x80 | ((code >> 12) & 0x3F));
            byte(0x80 | ((code >> 6) & 0x3F));
            byte(0x80 | (code & 0x3F));
        }
    }

    // \uXXXX, a surrogate pair as one character.
    bool unicode(std::string& out) {
        std::uint32_t unit = 0;
        if (!hex4(unit)) {
            return false;
        }
        if (unit >= 0xD800 && unit <= 0xDBFF && take('\\') && take('u')) {
            std::uint32_t low = 0;
            if (!hex4(low) || low < 0xDC00 || low > 0xDFFF) {
                return fail("a lone surrogate");
            }
            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            return fail("a lone surrogate");
        }
        utf8(unit, out);
        return true;
    }

    bool string(std::string& out) {
        if (!take('"')) {
            return fail("no string");
        }
        for (;;) {
            if (at_ >= text_.size()) {
                return fail("an unterminated string");
            }
            const char ch = text_[at_++];
            if (ch == '"') {
                return true;
            }
            if (static_cast<unsigned char>(ch) < 0x20) {
                return fail("a control character in a string");
            }
            if (ch != '\\') {
                out += ch;
                continue;
            }
            const char escape = peek();
            ++at_;
            static const std::string_view kFrom = "\"\\/bfnrt";
            static const std::string_view kTo = "\"\\/\b\f\n\r\t";
            const std::size_t which = kFrom.find(escape);
            if (escape == 'u') {
                if (!unicode(out)) {
                    return false;
                }
            } else if (which != std::string_view::npos && escape != '\0') {
                out += kTo[which];
            } else {
                return fail("a bad escape");
            }
        }
    }

    // A number, true, false, null, or a nested object or array, kept as written.
    bool raw(std::string& out) {
        const std::size_t start = at_;
        int depth = 0;
        while (at_ < text_.size()) {
            const char ch = peek();
            if (ch == '"') {
                std::string ignored;
                if (!string(ignored)) {
                    return false;
                }
                continue;
            }
            if (ch == '{' || ch == '[') {
                ++depth;
            } else if (ch == '}' || ch == ']') {
                if (depth == 0) {
                    break;
                }
                --depth;
            } else if (ch == ',' && depth == 0) {
                break;
            }
            ++at_;
        }
        if (depth != 0) {
            return fail("an unbalanced value");
        }
        std::size_t end = at_;
        while (end > start && (text_[end - 1] == ' ' || text_[end - 1] == '\t')) {
            --end;
        }
        out.assign(text_.substr(start, end - start));
        if (out.empty()) {
            return fail("no value");
        }
        return true;
    }

    std::string_view text_;
    std::size_t at_ = 0;
    std::string error_;
};

}  // namespace

bool json_read_object(std::string_view text, std::vector<JsonMember>& members, std::string& error) {
    Reader reader(text);
    members.clear();
    if (!reader.object(members)) {
        error = reader.error();
        members.clear();
        return false;
    }
    return true;
}
