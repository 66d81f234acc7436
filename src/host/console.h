// The operator's console: the one place the program prints or reads.
#pragma once

#include <cstdio>

#if defined(__GNUC__)
#define HEXBURN_PRINTF(f, a) __attribute__((format(printf, f, a)))
#define HEXBURN_SCANF(f, a) __attribute__((format(scanf, f, a)))
#else
#define HEXBURN_PRINTF(f, a)
#define HEXBURN_SCANF(f, a)
#endif

// printf to standard output, flushed at once so that prompts and progress
// dots reach a terminal or a pipe as they are printed.
void console_print(const char* format, ...) HEXBURN_PRINTF(1, 2);

// scanf from standard input; returns the number of fields converted, or EOF.
int console_scan(const char* format, ...) HEXBURN_SCANF(1, 2);

// Prints `text` as it is: the hook through which the driver layers print.
void console_text(const char* text);

// Points the console at other streams (tests); nullptr restores stdout/stdin.
void console_redirect(std::FILE* out, std::FILE* in);
