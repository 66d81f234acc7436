// Debian's Chromium, headless, as the page's tests use it: a page's DOM once
// its scripts ran, a screenshot, and a tab kept open and asked questions.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

// The browser's path, or "" when it is not installed.
std::string chromium_program();

// Whether `unshare -n` can give a process a network of its own (none at all).
bool can_unshare_network();

struct PageLoad {
    std::string url;
    std::string profile;     // a new, empty folder for the browser's profile
    bool offline = false;    // in a network namespace of its own: nothing to reach
    int budget_ms = 5000;    // virtual time the page's scripts run for
    std::string screenshot;  // a PNG of the page instead of its DOM
};

// The DOM after the page's scripts ran for the budget ("" with `error` set
// when the browser failed).
std::string chromium_dom(const PageLoad& load, std::string& error);

// A tab kept open in real time and driven over the DevTools protocol, on the
// pipe Chromium offers for it (--remote-debugging-pipe): no socket, no port.
class DevTools {
  public:
    DevTools() = default;
    ~DevTools();
    DevTools(const DevTools&) = delete;
    DevTools& operator=(const DevTools&) = delete;

    bool start(const std::string& profile, std::string& error);
    // Opens `url` in a new tab and attaches to it.
    bool open(const std::string& url, std::string& error);
    // The value of a JavaScript expression in the tab, as JSON text ("10",
    // "\"passed\"", "true"); nullopt when it could not be had.
    std::optional<std::string> evaluate(const std::string& expression);

  private:
    // Sends one command and waits (up to 10 s) for its answer.
    std::optional<std::string> call(const std::string& method, const std::string& params,
                                    bool in_session);
    bool read_message(std::string& message, int timeout_ms);

    pid_t pid_ = -1;
    int to_browser_ = -1;
    int from_browser_ = -1;
    int next_id_ = 1000;
    std::string session_;
    std::string pending_;  // bytes read past the last whole message
};

// The text of the JSON string member `key` of `json` (the first one), unescaped
// for the plain identifiers the protocol hands out.
std::string json_member(const std::string& json, const std::string& key);
