#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#if !defined(_WIN32)
#include <fcntl.h>
#include <signal.h>
#endif

#include "drivers/select.h"
#include "hexburn/hexburn.h"
#include "d2xx/d2xx_driver.h"

namespace {

// The console must never take a burn down with it.
void guard_console() {
#if !defined(_WIN32)
    // A standard descriptor closed at start would be taken by the next file
    // opened (a flash or trace file of the simulated board, a USB device) and
    // the console text would go there: hold each such slot with /dev/null.
    // In this order, open takes the lowest free slot: the one that is missing.
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1) {
            open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        }
    }
    // Output to a reader that went away (hexburn image.hex | head) fails;
    // the burn goes on.
    signal(SIGPIPE, SIG_IGN);
#endif
}

}  // namespace

int main(int argc, char** argv) {
    guard_console();
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
