// Text the host hands over (arguments, names the system gives) as UTF-8.
#pragma once

#include <string>

// Windows gives a program's arguments and its ANSI calls' names in the ANSI
// code page: converted to UTF-8. Elsewhere the text is returned as it is.
std::string host_text_to_utf8(const std::string& text);
