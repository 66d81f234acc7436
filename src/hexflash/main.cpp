#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "d2xx/d2xx_driver.h"
#include "d2xx/in_use.h"
#include "drivers/select.h"
#include "hexflash/hexflash.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>
#endif

int main(int argc, char** argv) {
#if !defined(_WIN32)
    // A standard descriptor closed at start is opened on /dev/null, so that no
    // file opened later (an image, an output, a trace) takes its place.
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1) {
            open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        }
    }
    // A closed pipe on the output must not stop a burn half way.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    program_name = "hexflash";
    std::string error;
    std::unique_ptr<D2xxDriver> driver = make_driver(std::getenv("HEXBURN_DRIVER"), error);
    if (!error.empty()) {
        // The drivers' own refusals name the classic program; this one runs.
        constexpr std::string_view kClassic = "hexburn: ";
        if (error.starts_with(kClassic)) {
            error.replace(0, kClassic.size(), "hexflash: ");
        }
        std::fprintf(stderr, "%s\n", error.c_str());
    }
    d2xx_bind(driver.get());
    int status = hexflash_main(argc, argv);
    d2xx_bind(nullptr);
    return status;
}
