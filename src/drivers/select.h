// Chooses the driver behind the D2XX call surface from HEXBURN_DRIVER.
#pragma once

#include <memory>
#include <string>

#include "d2xx/d2xx_driver.h"

// `setting` is the variable's value (nullptr or empty when unset: the
// platform's default driver). Returns the driver, or nullptr with `error` set
// to a one-line explanation naming the bad word or the missing library.
std::unique_ptr<D2xxDriver> make_driver(const char* setting, std::string& error);
