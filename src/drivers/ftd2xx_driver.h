// The driver over FTDI's own D2XX library, loaded at run time.
//
// No vendor header or library is needed to build it: the library is opened
// when the program starts and its calls are found by their plain names.
#pragma once

#include <memory>
#include <string>

#include "d2xx/d2xx_driver.h"

// The file the driver loads when no path is given: ftd2xx.dll (then
// ftd2xx64.dll) on Windows, libftd2xx.dylib on macOS, libftd2xx.so elsewhere.
const char* ftd2xx_default_library();

// Loads the D2XX library at `path` (nullptr: the platform's default names)
// and resolves every call the program makes. Returns nullptr with `error`
// set to one line naming the library or the missing call.
std::unique_ptr<D2xxDriver> make_ftd2xx_driver(const char* path, std::string& error);
