// Shared libraries opened at run time (dlopen, LoadLibrary): the vendor's
// D2XX library and the record store's database clients are loaded this way,
// so that the programs build and start without them and say which file is
// missing only when one is needed.
#pragma once

#include <string>
#include <vector>

// A library once opened stays loaded: some (the vendor's D2XX builds) run
// threads of their own that may outlive the last call.
struct HostLibrary {
    void* handle = nullptr;
    std::string file;  // the name it was opened by
};

// Opens the first of `names` that loads. False with `tried` saying what each
// name gave: "libx.so (no such file)" or "a.dll (Windows error 126) or b.dll
// (Windows error 126)".
bool library_open(const std::vector<std::string>& names, HostLibrary& library, std::string& tried);

// A function the library exports, as the one function type every other may
// be cast from without a warning; nullptr when the library has none.
using LibrarySymbol = void (*)();
LibrarySymbol library_symbol(const HostLibrary& library, const char* symbol);

// Sets `slot` (a pointer to function) to the library's `symbol`; false with
// `missing` set to the name when there is none.
template <class Function>
bool library_resolve(const HostLibrary& library, const char* symbol, Function& slot,
                     std::string& missing) {
    slot = reinterpret_cast<Function>(library_symbol(library, symbol));
    if (slot == nullptr) {
        missing = symbol;
    }
    return slot != nullptr;
}
