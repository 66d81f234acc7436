// hexflash pool: the pools of per-board values in the record store.
#pragma once

#include "hexflash/options.h"

// pool add, pool list, pool show: 0 done, 1 refused (one line saying why).
int pool_command(const Options& options);
