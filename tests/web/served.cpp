#include "served.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string text_of(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace

HttpAnswer http_exchange(int port, const std::string& request) {
    HttpAnswer answer;
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval limit{10, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 ||
        send(s, request.data(), request.size(), 0) != static_cast<ssize_t>(request.size())) {
        close(s);
        return answer;
    }
    std::string all;
    char buffer[16384];
    for (ssize_t n; (n = recv(s, buffer, sizeof buffer, 0)) > 0;) {
        all.append(buffer, static_cast<std::size_t>(n));
    }
    close(s);
    const std::size_t end = all.find("\r\n\r\n");
    if (all.rfind("HTTP/1.", 0) != 0 || end == std::string::npos) {
        return answer;
    }
    answer.status = std::atoi(all.c_str() + 9);
    answer.head = all.substr(0, end);
    answer.body = all.substr(end + 4);
    return answer;
}

HttpAnswer http(int port, const std::string& method, const std::string& path) {
    return http_exchange(port, method + " " + path +
                                   " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\n"
                                   "Connection: close\r\n\r\n");
}

Served::Served(const std::vector<std::string>& args, std::string screen)
    : screen_(std::move(screen)) {
    std::vector<std::string> argv = args;
    pid_ = fork();
    if (pid_ == 0) {
        std::freopen(screen_.c_str(), "w", stderr);
        std::vector<char*> pointers;
        for (std::string& arg : argv) {
            pointers.push_back(arg.data());
        }
        pointers.push_back(nullptr);
        execv(pointers[0], pointers.data());
        _exit(127);
    }
    const std::string says = "at http://";
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < end && waitpid(pid_, nullptr, WNOHANG) == 0) {
        // "... at http://127.0.0.1:PORT/ ...", "... at http://[::1]:PORT/ ...".
        const std::string text = this->screen();
        const std::size_t at = text.find(says);
        const std::size_t slash = at == std::string::npos ? at : text.find('/', at + says.size());
        if (slash != std::string::npos) {
            port_ = std::atoi(text.c_str() + text.rfind(':', slash) + 1);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

Served::~Served() {
    if (pid_ > 0) {
        stop();
    }
}

std::string Served::screen() const {
    return text_of(screen_);
}

int Served::stop() {
    if (pid_ <= 0) {
        return -1;
    }
    kill(pid_, SIGINT);
    int status = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > end) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            pid_ = -1;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
