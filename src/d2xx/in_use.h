// The lines the drivers print themselves, and the name they start with.
#pragma once

#include <cstdio>

// The running program's name, which every line the drivers print starts with:
// hexburn's unless the program's main sets its own before making a driver.
inline const char* program_name = "hexburn";

// Printed when the census holds an interface that another program has open:
// the vendor's library then lists it by its flags alone, so without this line
// the board would just seem to be missing.
inline constexpr char kInUseText[] =
    "an FTDI interface is in use by another program (close it, or unplug and replug "
    "the board)\n";

inline void say_in_use() {
    std::fprintf(stderr, "%s: %s", program_name, kInUseText);
}
