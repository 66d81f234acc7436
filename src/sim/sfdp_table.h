// The SFDP area a simulated part answers 0x5A with, as JESD216 lays it out:
// the header, one parameter header, and the Basic Flash Parameter Table
// (16 DWORDs), built from the model's own erase instructions and times.
#pragma once

#include <cstdint>

#include "sim/chip_model.h"

namespace sim {

inline constexpr std::uint32_t kSfdpBfptAddress = 0x80;
inline constexpr std::uint32_t kSfdpBfptDwords = 16;
inline constexpr std::uint32_t kSfdpBytes = kSfdpBfptAddress + 4 * kSfdpBfptDwords;

// Fills `table` with the model's SFDP area; what lies between the headers
// and the BFPT reads as ones, and so does everything past kSfdpBytes.
void build_sfdp(const ChipModel& model, std::uint8_t (&table)[kSfdpBytes]);

}  // namespace sim
