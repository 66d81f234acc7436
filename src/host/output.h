// Where the classic driver's messages and progress dots go. The driver
// layers print nothing themselves: the program that owns the console sets
// the hook at start-up; with none set, the text is dropped.
#pragma once

#if defined(__GNUC__)
#define OUTPUT_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define OUTPUT_PRINTF(f, a)
#endif

using output_hook = void (*)(const char* text);

// Sets the hook (nullptr: drop the text). Returns the previous one.
output_hook output_set_hook(output_hook hook);

// Formats like printf (at most 255 characters) and hands the text to the hook.
void output_print(const char* format, ...) OUTPUT_PRINTF(1, 2);
