#include "host/codepage.h"

#include "host/windows_api.h"

std::string host_text_to_utf8(const std::string& text) {
#if defined(_WIN32)
    if (text.empty()) {
        return text;
    }
    const int size = static_cast<int>(text.size());
    int wide = MultiByteToWideChar(CP_ACP, 0, text.data(), size, nullptr, 0);
    std::wstring buffer(static_cast<std::size_t>(wide), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), size, buffer.data(), wide);
    int bytes = WideCharToMultiByte(CP_UTF8, 0, buffer.data(), wide, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, buffer.data(), wide, out.data(), bytes, nullptr, nullptr);
    return out;
#else
    return text;
#endif
}
