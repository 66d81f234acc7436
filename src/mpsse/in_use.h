// The line the drivers print when the census holds an interface that another
// program has open: the vendor's library then lists it by its flags alone, so
// without this line the board would just seem to be missing.
#pragma once

inline constexpr char kInUseLine[] =
    "hexburn: an FTDI interface is in use by another program (close it, or unplug and replug "
    "the board)\n";
