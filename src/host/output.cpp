#include "host/output.h"

#include <cstdarg>
#include <cstdio>

namespace {
output_hook current_hook = nullptr;
}  // namespace

output_hook output_set_hook(output_hook hook) {
    output_hook previous = current_hook;
    current_hook = hook;
    return previous;
}

void output_print(const char* format, ...) {
    if (current_hook == nullptr) {
        return;
    }
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    current_hook(text);
}
