#include "drivers/select.h"

#include <algorithm>
#include <string_view>

#include "drivers/ftd2xx_driver.h"
#include "simboard/sim_driver.h"
#if defined(HEXBURN_HAVE_LIBFTDI)
#include "drivers/libftdi_driver.h"
#endif

// The driver when HEXBURN_DRIVER is unset: the vendor's library on Windows,
// where it is the way to the chip; libftdi elsewhere, when it was built in.
#if defined(_WIN32) || !defined(HEXBURN_HAVE_LIBFTDI)
constexpr const char* kDefaultDriver = "ftd2xx";
#else
constexpr const char* kDefaultDriver = "libftdi";
#endif

std::unique_ptr<D2xxDriver> make_driver(const char* setting, std::string& error) {
    error.clear();
    if (setting == nullptr || *setting == '\0') {
        setting = kDefaultDriver;
    }
    std::string_view value(setting);
    std::string_view name = value.substr(0, value.find(':'));
    if (name == "ftd2xx") {
        // "ftd2xx:PATH" loads that file instead of the platform's library.
        std::string path(value.substr(std::min(value.size(), name.size() + 1)));
        return make_ftd2xx_driver(path.empty() ? nullptr : path.c_str(), error);
    }
    if (name == "sim") {
        // "sim" or "sim:OPTIONS": the simulated board.
        return make_sim_driver(value.substr(std::min(value.size(), name.size() + 1)), error);
    }
    if (name == "libftdi") {
#if defined(HEXBURN_HAVE_LIBFTDI)
        return make_libftdi_driver(make_libftdi_bus());
#else
        error = "hexburn: HEXBURN_DRIVER: this hexburn was built without libftdi";
        return nullptr;
#endif
    }
    error = "hexburn: HEXBURN_DRIVER: unknown driver '" + std::string(name) + "'";
    return nullptr;
}
