// hexflash serve: the live page over HTTP, read-only.
#pragma once

#include <string>

#include "store/store.h"

struct ListenAddress {
    std::string host;  // as given, without an IPv6 address's brackets
    int port = 0;      // 0: any free port (the one taken is printed)
};

inline constexpr const char kDefaultListen[] = "127.0.0.1:8080";

// "ADDR:PORT", "[IPv6]:PORT". False with `error` for anything else.
bool parse_listen(const std::string& text, ListenAddress& out, std::string& error);
// Whether only this computer can reach `host` (127.0.0.0/8, ::1, localhost).
bool listen_is_loopback(const std::string& host);

// Whether this build can serve (the HTTP library was found).
bool web_serve_available();
// Serves the page over the store at `url` (opened read-only) until an
// interrupt; says on standard error where. The exit status: 0 once stopped,
// 1 when the store, the address or the build does not allow it.
int web_serve(const StoreUrl& url, const std::string& listen, const std::string& version);
