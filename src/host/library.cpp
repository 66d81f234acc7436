#include "host/library.h"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

// The platform's loader: the handle, or nullptr with `why` set.
void* load(const std::string& name, std::string& why) {
#if defined(_WIN32)
    HMODULE module = LoadLibraryA(name.c_str());
    if (module == nullptr) {
        why = "Windows error " + std::to_string(GetLastError());
    }
    return reinterpret_cast<void*>(module);
#else
    void* handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* text = dlerror();
        why = text != nullptr ? text : "unknown loader error";
    }
    return handle;
#endif
}

}  // namespace

bool library_open(const std::vector<std::string>& names, HostLibrary& library, std::string& tried) {
    tried.clear();
    for (const std::string& name : names) {
        std::string why;
        void* handle = load(name, why);
        if (handle != nullptr) {
            library.handle = handle;
            library.file = name;
            return true;
        }
        tried += (tried.empty() ? "" : " or ") + name + " (" + why + ")";
    }
    if (names.empty()) {
        tried = "no library named";
    }
    return false;
}

LibrarySymbol library_symbol(const HostLibrary& library, const char* symbol) {
    if (library.handle == nullptr) {
        return nullptr;
    }
#if defined(_WIN32)
    return reinterpret_cast<LibrarySymbol>(
        GetProcAddress(reinterpret_cast<HMODULE>(library.handle), symbol));
#else
    return reinterpret_cast<LibrarySymbol>(dlsym(library.handle, symbol));
#endif
}
