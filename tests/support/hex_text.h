// Intel HEX text written by the tests themselves, checksums worked out here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One record line, without its line end.
std::string record_text(int type, std::uint32_t offset, const std::vector<std::uint8_t>& data);
