// `hexburn_own_work IMAGE`: one run of the program against the board that
// answers at once, for valgrind's callgrind to count the instructions the
// program itself spends (bench/callgrind.sh). Prints the calls it answered.
#include <cstdio>

#include "hexburn/hexburn.h"
#include "host/console.h"
#include "instant_driver.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: hexburn_own_work IMAGE\n");
        return 2;
    }
    std::FILE* sink = std::fopen("/dev/null", "w");
    console_redirect(sink, nullptr);
    InstantDriver driver;
    d2xx_bind(&driver);
    char name[] = "hexburn";
    char* args[] = {name, argv[1], nullptr};
    int status = hexburn_main(2, args);
    d2xx_bind(nullptr);
    console_redirect(nullptr, nullptr);
    std::fclose(sink);
    std::printf("status %d, %llu writes, %llu reads\n", status,
                static_cast<unsigned long long>(driver.writes),
                static_cast<unsigned long long>(driver.reads));
    return status;
}
