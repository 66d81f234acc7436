// The program's front end: command line, device discovery, programming run.
#pragma once

#include <cstdint>

#include "d2xx/d2xx_types.h"

// The whole program once a driver is bound: returns the exit status.
int hexburn_main(int argc, char** argv);

// Lists the qualifying interfaces, settles which one to use and opens it.
// Returns 0 with *handle set, or 1 after printing why not.
int discover_device(FT_STATUS census, std::uint32_t count, FT_HANDLE* handle);

// Burns the image at `path` through the opened interface and closes it.
// Returns the exit status.
int program_run(FT_HANDLE handle, const char* path);
