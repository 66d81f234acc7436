#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "app/hexburn.h"
#include "drivers/select.h"
#include "mpsse/d2xx_driver.h"

int main(int argc, char** argv) {
    std::string error;
    std::unique_ptr<D2xxDriver> driver = make_driver(std::getenv("HEXBURN_DRIVER"), error);
    if (!error.empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
    }
    d2xx_bind(driver.get());
    int status = hexburn_main(argc, argv);
    d2xx_bind(nullptr);
    return status;
}
