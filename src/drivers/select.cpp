#include "drivers/select.h"

#include <string_view>

std::unique_ptr<D2xxDriver> make_driver(const char* spec, std::string& error) {
    error.clear();
    if (spec == nullptr || *spec == '\0') {
        return nullptr;
    }
    std::string_view value(spec);
    std::string_view name = value.substr(0, value.find(':'));
    error = "hexburn: HEXBURN_DRIVER: unknown driver '" + std::string(name) + "'";
    return nullptr;
}
