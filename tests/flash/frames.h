// Expected wire bytes of the flash transactions, spelled out byte by byte,
// and the transactions a ScriptedDriver saw.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "scripted_driver.h"

using Bytes = std::vector<std::uint8_t>;

// One FT_Write and the byte count of the FT_Read after it (0: none).
struct Txn {
    Bytes write;
    std::uint32_t read = 0;
    bool operator==(const Txn&) const = default;
};

inline void PrintTo(const Txn& txn, std::ostream* os) {
    *os << "{write";
    for (std::uint8_t b : txn.write) {
        *os << ' ' << std::hex << unsigned{b};
    }
    *os << std::dec << ", read " << txn.read << "}";
}

// Reads that follow FT_GetQueueStatus drain the queue after a failure; they
// are no transaction's answer.
inline std::vector<Txn> transactions(const ScriptedDriver& driver) {
    std::vector<Txn> out;
    std::string previous;
    for (const auto& call : driver.calls) {
        if (call.name == "FT_Write") {
            out.push_back({call.bytes, 0});
        } else if (call.name == "FT_Read" && !out.empty() && previous != "FT_GetQueueStatus") {
            out.back().read = call.args[0];
        }
        previous = call.name;
    }
    return out;
}

inline Txn one_byte(std::uint8_t ins) {
    return {{0x80, 0x80, 0x8B, 0x13, 0x07, ins, 0x80, 0x80, 0x8B, 0x80, 0x88, 0x8B}, 0};
}
inline const Txn kWren = one_byte(0x06);
inline const Txn kWrdi = one_byte(0x04);
inline const Txn kBe = one_byte(0xC7);
inline const Txn kRdsr = {
    {0x80, 0x80, 0x8B, 0x13, 0x07, 0x05, 0x26, 0x07, 0x80, 0x80, 0x8B, 0x80, 0x88, 0x8B}, 1};
inline const Txn kRdid = {
    {0x80, 0x80, 0x8B, 0x13, 0x07, 0x9F, 0x24, 0x02, 0x00, 0x80, 0x80, 0x8B, 0x80, 0x88, 0x8B}, 3};

inline std::uint8_t byte(std::uint32_t value, int shift) {
    return static_cast<std::uint8_t>((value >> shift) & 0xFF);
}

inline Txn sector_erase(std::uint8_t a2) {
    return {{0x80, 0x80, 0x8B, 0x11, 0x03, 0x00, 0xD8, a2, 0x00, 0x00, 0x80, 0x80, 0x8B, 0x80, 0x88,
             0x8B},
            0};
}

inline Txn read_frame(std::uint32_t address, std::uint32_t n) {
    return {{0x80, 0x80, 0x8B, 0x11, 0x03, 0x00, 0x03, byte(address, 16), byte(address, 8),
             byte(address, 0), 0x24, byte(n - 1, 0), byte(n - 1, 8), 0x80, 0x80, 0x8B, 0x80, 0x88,
             0x8B},
            n};
}

inline Txn pp_frame(std::uint32_t address, const Bytes& data) {
    auto n = static_cast<std::uint32_t>(data.size());
    Bytes bytes = {0x80,
                   0x80,
                   0x8B,
                   0x11,
                   byte(n + 3, 0),
                   byte(n + 3, 8),
                   0x02,
                   byte(address, 16),
                   byte(address, 8),
                   byte(address, 0)};
    bytes.insert(bytes.end(), data.begin(), data.end());
    bytes.insert(bytes.end(), {0x80, 0x80, 0x8B, 0x80, 0x88, 0x8B});
    return {bytes, 0};
}

// `n` distinct-looking bytes starting at `first`.
inline Bytes pattern(std::uint32_t n, std::uint32_t first = 0) {
    Bytes out;
    for (std::uint32_t i = 0; i < n; ++i) {
        out.push_back(static_cast<std::uint8_t>((first + i) * 7 + 3));
    }
    return out;
}
