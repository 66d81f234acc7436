// watch: burn every board as it is plugged in, log it, until --count boards
// or an interrupt.
#pragma once

#include "hexflash/options.h"

// The whole watch run; returns the exit status: 0 when every board passed,
// else the worst board's (an interrupt that cut a burn short above all).
int watch_boards(const Options& options, const char* version, bool terminal);
