#include <cstdlib>

#include "web/serve.h"

bool parse_listen(const std::string& text, ListenAddress& out, std::string& error) {
    error = "--listen " + text + ": ADDR:PORT expected (127.0.0.1:8080, [::1]:8080)";
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) {
        return false;
    }
    std::string host = text.substr(0, colon);
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']') {
            return false;
        }
        host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string::npos) {
        return false;  // an IPv6 address without brackets: which colon ends it?
    }
    const std::string port = text.substr(colon + 1);
    if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const long number = std::strtol(port.c_str(), nullptr, 10);
    if (number > 65535) {
        error = "--listen " + text + ": no port " + port + " (0 to 65535)";
        return false;
    }
    out.host = host;
    out.port = static_cast<int>(number);
    error.clear();
    return true;
}

bool listen_is_loopback(const std::string& host) {
    if (host == "localhost" || host == "::1" || host == "0:0:0:0:0:0:0:1") {
        return true;
    }
    // 127.0.0.0/8, in dotted form only.
    if (host.rfind("127.", 0) != 0) {
        return false;
    }
    int parts = 0;
    std::size_t at = 0;
    while (at <= host.size()) {
        const std::size_t dot = std::min(host.find('.', at), host.size());
        const std::string part = host.substr(at, dot - at);
        if (part.empty() || part.size() > 3 ||
            part.find_first_not_of("0123456789") != std::string::npos ||
            std::atoi(part.c_str()) > 255) {
            return false;
        }
        ++parts;
        at = dot + 1;
    }
    return parts == 4;
}
