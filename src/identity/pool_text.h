// What hexflash pool list and pool show print.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "identity/pools.h"

// The pools as a table: name, form, range, issued, spoiled, left; one line a
// pool under a heading ("no pools" when there are none).
std::string pool_table(const std::vector<Pool>& pools, const std::vector<PoolCounts>& counts);

// One value of a pool: its state and the board it went to, or that it was
// never handed out.
std::string pool_value_text(const Pool& pool, std::uint64_t number, const PoolValue* row);
