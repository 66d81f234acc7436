// A build without the HTTP library (the Windows one: Debian has cpp-httplib
// for Linux only): the report works, serving does not.
#include <cstdio>

#include "web/serve.h"

bool web_serve_available() {
    return false;
}

int web_serve(const StoreUrl&, const std::string&, const std::string&) {
    std::fputs(
        "hexflash: serve is not available in this build (it has no HTTP server library); "
        "report --html OUT writes the same figures to a file\n",
        stderr);
    return 1;
}
