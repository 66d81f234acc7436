#include "host/console.h"

#include <cstdarg>

namespace {
std::FILE* out_stream = nullptr;
std::FILE* in_stream = nullptr;
std::FILE* out() {
    return out_stream != nullptr ? out_stream : stdout;
}
std::FILE* in() {
    return in_stream != nullptr ? in_stream : stdin;
}
}  // namespace

void console_print(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(out(), format, args);
    va_end(args);
    std::fflush(out());
}

void console_text(const char* text) {
    console_print("%s", text);
}

int console_scan(const char* format, ...) {
    va_list args;
    va_start(args, format);
    int converted = std::vfscanf(in(), format, args);
    va_end(args);
    return converted;
}

void console_redirect(std::FILE* out_to, std::FILE* in_from) {
    out_stream = out_to;
    in_stream = in_from;
}
