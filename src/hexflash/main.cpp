#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "drivers/select.h"
#include "hexflash/hexflash.h"
#include "mpsse/d2xx_driver.h"

int main(int argc, char** argv) {
#if defined(SIGPIPE)
    // A closed pipe on the output must not stop a burn half way.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    std::string error;
    std::unique_ptr<D2xxDriver> driver = make_driver(std::getenv("HEXBURN_DRIVER"), error);
    if (!error.empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
    }
    d2xx_bind(driver.get());
    int status = hexflash_main(argc, argv);
    d2xx_bind(nullptr);
    return status;
}
