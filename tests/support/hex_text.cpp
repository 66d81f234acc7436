#include "hex_text.h"

std::string record_text(int type, std::uint32_t offset, const std::vector<std::uint8_t>& data) {
    static const char digits[] = "0123456789ABCDEF";
    std::string line = ":";
    unsigned sum = 0;
    auto put = [&line, &sum](unsigned byte) {
        line += digits[(byte >> 4) & 0xF];
        line += digits[byte & 0xF];
        sum += byte;
    };
    put(static_cast<unsigned>(data.size()));
    put((offset >> 8) & 0xFF);
    put(offset & 0xFF);
    put(static_cast<unsigned>(type));
    for (std::uint8_t byte : data) {
        put(byte);
    }
    put((0x100 - (sum & 0xFF)) & 0xFF);
    return line;
}
