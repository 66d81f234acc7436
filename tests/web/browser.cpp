#include "browser.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "process.h"

namespace {

const char* const kChromium[] = {"/usr/bin/chromium", "/usr/bin/chromium-browser"};

// Without the background-networking flags Chromium reaches out to update and
// sync services, which this closed network refuses.
std::vector<std::string> browser_args(const std::string& profile) {
    return {chromium_program(),
            "--headless",
            "--no-sandbox",
            "--disable-gpu",
            "--disable-quic",
            "--no-first-run",
            "--disable-background-networking",
            "--disable-component-update",
            "--disable-sync",
            "--hide-scrollbars",
            "--user-data-dir=" + profile};
}

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x",
                          static_cast<unsigned>(static_cast<unsigned char>(c)));
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// The extent of the JSON value that starts at json[at].
std::string value_at(const std::string& json, std::size_t at) {
    if (at >= json.size()) {
        return "";
    }
    if (json[at] == '"') {
        std::size_t end = at + 1;
        while (end < json.size() && json[end] != '"') {
            end += json[end] == '\\' ? 2 : 1;
        }
        return json.substr(at, end + 1 - at);
    }
    return json.substr(at, json.find_first_of(",}]", at) - at);
}

}  // namespace

std::string chromium_program() {
    for (const char* path : kChromium) {
        if (access(path, X_OK) == 0) {
            return path;
        }
    }
    return "";
}

bool can_unshare_network() {
    ProcessResult result = run_process({"/usr/bin/unshare", "-n", "/bin/true"}, {}, "", 10);
    return result.exit_status == 0;
}

std::string chromium_dom(const PageLoad& load, std::string& error) {
    std::vector<std::string> args = browser_args(load.profile);
    if (load.offline) {
        args.insert(args.begin(), {"/usr/bin/unshare", "-n"});
    }
    args.push_back("--virtual-time-budget=" + std::to_string(load.budget_ms));
    if (load.screenshot.empty()) {
        args.push_back("--dump-dom");
    } else {
        args.push_back("--screenshot=" + load.screenshot);
        args.push_back("--window-size=1400,1000");
    }
    args.push_back(load.url);
    ProcessResult result = run_process(args, {}, "", 90);
    if (result.exit_status != 0) {
        error = "chromium exited " + std::to_string(result.exit_status) + ": " + result.err;
        return "";
    }
    return result.out;
}

std::string json_member(const std::string& json, const std::string& key) {
    const std::string wanted = "\"" + key + "\":";
    const std::size_t at = json.find(wanted);
    if (at == std::string::npos) {
        return "";
    }
    std::string value = value_at(json, at + wanted.size());
    return value.size() >= 2 && value.front() == '"' ? value.substr(1, value.size() - 2) : value;
}

// --- a tab over the DevTools pipe -----------------------------------------------------

DevTools::~DevTools() {
    if (pid_ <= 0) {
        return;
    }
    call("Browser.close", "{}", false);
    close(to_browser_);
    close(from_browser_);
    for (int i = 0; i < 50 && waitpid(pid_, nullptr, WNOHANG) == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    kill(-pid_, SIGKILL);  // whatever of the browser is left: its own process group
    waitpid(pid_, nullptr, WNOHANG);
}

bool DevTools::start(const std::string& profile, std::string& error) {
    int in[2];   // the browser reads commands from in[0], as its fd 3
    int out[2];  // and writes answers to out[1], its fd 4
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
        error = "pipe failed";
        return false;
    }
    std::vector<std::string> args = browser_args(profile);
    args.push_back("--remote-debugging-pipe");
    args.push_back("about:blank");
    pid_ = fork();
    if (pid_ == 0) {
        setpgid(0, 0);
        // Out of the way of 3 and 4 first: dup2 onto itself would keep close-on-exec.
        const int reads = fcntl(in[0], F_DUPFD, 10);
        const int writes = fcntl(out[1], F_DUPFD, 10);
        dup2(reads, 3);
        dup2(writes, 4);
        const int null = ::open("/dev/null", O_WRONLY);
        dup2(null, 2);  // its complaints about D-Bus and the like
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    to_browser_ = in[1];
    from_browser_ = out[0];
    if (pid_ < 0) {
        error = "fork failed";
        return false;
    }
    // The browser answers once it is up.
    std::optional<std::string> version = call("Browser.getVersion", "{}", false);
    if (!version || json_member(*version, "product").empty()) {
        error = "chromium does not answer on its DevTools pipe";
        return false;
    }
    return true;
}

bool DevTools::open(const std::string& url, std::string& error) {
    std::optional<std::string> target =
        call("Target.createTarget", "{\"url\":" + quoted(url) + "}", false);
    const std::string id = target ? json_member(*target, "targetId") : "";
    std::optional<std::string> attached =
        id.empty() ? std::nullopt
                   : call("Target.attachToTarget",
                          "{\"targetId\":" + quoted(id) + ",\"flatten\":true}", false);
    session_ = attached ? json_member(*attached, "sessionId") : "";
    if (session_.empty()) {
        error = "cannot open " + url + " in a tab: " + target.value_or("") + attached.value_or("");
        return false;
    }
    return true;
}

std::optional<std::string> DevTools::evaluate(const std::string& expression) {
    std::optional<std::string> answer =
        call("Runtime.evaluate",
             "{\"expression\":" + quoted(expression) + ",\"returnByValue\":true}", true);
    if (!answer || answer->find("\"exceptionDetails\"") != std::string::npos) {
        return std::nullopt;
    }
    const std::size_t at = answer->find("\"value\":");
    if (at == std::string::npos) {
        return std::nullopt;
    }
    return value_at(*answer, at + 8);
}

std::optional<std::string> DevTools::call(const std::string& method, const std::string& params,
                                          bool in_session) {
    const int id = next_id_++;
    std::string message =
        "{\"id\":" + std::to_string(id) + ",\"method\":" + quoted(method) + ",\"params\":" + params;
    if (in_session) {
        message += ",\"sessionId\":" + quoted(session_);
    }
    message += "}";
    message.push_back('\0');
    for (std::size_t sent = 0; sent < message.size();) {
        const ssize_t n = write(to_browser_, message.data() + sent, message.size() - sent);
        if (n <= 0) {
            return std::nullopt;
        }
        sent += static_cast<std::size_t>(n);
    }
    // Events come in between; the answer carries the command's id.
    const std::string mine = "\"id\":" + std::to_string(id);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < end) {
        std::string answer;
        if (!read_message(answer, 500)) {
            continue;
        }
        const std::size_t at = answer.find(mine);
        if (answer.rfind("{\"method\"", 0) != 0 && at != std::string::npos &&
            (answer[at + mine.size()] == ',' || answer[at + mine.size()] == '}')) {
            return answer;
        }
    }
    return std::nullopt;
}

bool DevTools::read_message(std::string& message, int timeout_ms) {
    for (;;) {
        const std::size_t end = pending_.find('\0');
        if (end != std::string::npos) {
            message = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return true;
        }
        pollfd ready{from_browser_, POLLIN, 0};
        if (poll(&ready, 1, timeout_ms) <= 0) {
            return false;
        }
        char buffer[65536];
        const ssize_t n = read(from_browser_, buffer, sizeof buffer);
        if (n <= 0) {
            return false;
        }
        pending_.append(buffer, static_cast<std::size_t>(n));
    }
}
