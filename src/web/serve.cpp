// The live page over cpp-httplib: GET and HEAD of the page's own paths,
// nothing else; one read-only connection to the store, shared under a lock.
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

#include "host/interrupt.h"
#include "web/figures_json.h"
#include "web/page.h"
#include "web/serve.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr long long kShiftSeconds = 8 * 3600;
constexpr std::size_t kRecordsShown = 100;
constexpr std::size_t kSearchLimit = 500;
// Many open pages poll at once: each second's figures are read once.
constexpr auto kFiguresFresh = std::chrono::milliseconds(500);

// The only policy the page needs: its own script, style and data.
const char kPolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
    "img-src 'self' data:; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

// The store behind the page: reopened after the database went away.
class Source {
  public:
    explicit Source(StoreUrl url, std::unique_ptr<RecordStore> store)
        : url_(std::move(url)), store_(std::move(store)) {}

    // The shift's figures as JSON; false with {"error": ...} when the store did not answer.
    bool figures(std::string& body) {
        std::lock_guard<std::mutex> hold(lock_);
        if (fresh_ && Clock::now() - read_at_ < kFiguresFresh) {
            body = cached_;
            return true;
        }
        const std::string now = store_time_now();
        FigureQuery query;
        query.since = figures_iso(figures_seconds(now).value_or(0) - kShiftSeconds);
        query.records = kRecordsShown;
        Figures figures;
        std::string error;
        if (!usable(error) || !figures_read(*store_, query, figures, error)) {
            forget_if_gone();
            fresh_ = false;
            body = error_json(error);
            return false;
        }
        cached_ = figures_json(figures, true, now);
        read_at_ = Clock::now();
        fresh_ = true;
        body = cached_;
        return true;
    }

    bool search(const std::string& text, std::string& body) {
        std::lock_guard<std::mutex> hold(lock_);
        std::vector<StoreRecord> found;
        std::string error;
        if (!usable(error) || !figures_search(*store_, text, kSearchLimit, found, error)) {
            forget_if_gone();
            body = error_json(error);
            return false;
        }
        body = search_json(text, found);
        return true;
    }

  private:
    bool usable(std::string& error) {
        if (store_ == nullptr) {
            store_ = RecordStore::open(url_, RecordStore::Mode::kReadOnly, error);
        }
        return store_ != nullptr;
    }
    void forget_if_gone() {
        if (store_ != nullptr && !store_->sql().alive()) {
            store_.reset();
        }
    }

    std::mutex lock_;
    StoreUrl url_;
    std::unique_ptr<RecordStore> store_;
    std::string cached_;
    Clock::time_point read_at_{};
    bool fresh_ = false;
};

void routes(httplib::Server& server, Source& source, const std::string& version) {
    using httplib::Request;
    using httplib::Response;
    // Read-only: whatever else is asked is refused before any route is looked at.
    server.set_pre_routing_handler([](const Request& request, Response& response) {
        if (request.method == "GET" || request.method == "HEAD") {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        response.status = 405;
        response.set_header("Allow", "GET, HEAD");
        response.set_content("method not allowed\n", "text/plain; charset=utf-8");
        return httplib::Server::HandlerResponse::Handled;
    });
    server.set_error_handler([](const Request&, Response& response) {
        if (response.status == 404 && response.body.empty()) {
            response.set_content("not found\n", "text/plain; charset=utf-8");
        }
    });
    const std::string page = page_live(version);
    server.Get("/", [page](const Request&, Response& response) {
        response.set_content(page, "text/html; charset=utf-8");
    });
    server.Get("/page\\.(css|js)", [](const Request& request, Response& response) {
        std::string_view body;
        const char* type = nullptr;
        if (page_asset(request.path, body, type)) {
            response.set_content(body.data(), body.size(), type);
        }
    });
    server.Get("/figures\\.json", [&source](const Request&, Response& response) {
        std::string body;
        response.status = source.figures(body) ? 200 : 503;
        response.set_content(body, "application/json");
    });
    server.Get("/search\\.json", [&source](const Request& request, Response& response) {
        std::string body;
        response.status = source.search(request.get_param_value("q"), body) ? 200 : 503;
        response.set_content(body, "application/json");
    });
}

std::string shown(const ListenAddress& address, int port) {
    const bool v6 = address.host.find(':') != std::string::npos;
    return (v6 ? "[" + address.host + "]" : address.host) + ":" + std::to_string(port);
}

}  // namespace

bool web_serve_available() {
    return true;
}

int web_serve(const StoreUrl& url, const std::string& listen, const std::string& version) {
    ListenAddress address;
    std::string error;
    if (!parse_listen(listen.empty() ? kDefaultListen : listen, address, error)) {
        std::fprintf(stderr, "hexflash: %s\n", error.c_str());
        return 1;
    }
    std::unique_ptr<RecordStore> store =
        RecordStore::open(url, RecordStore::Mode::kReadOnly, error);
    if (store == nullptr) {
        std::fprintf(stderr, "hexflash: %s\n", error.c_str());
        return 1;
    }
    Source source(url, std::move(store));
    httplib::Server server;
    server.set_default_headers({{"Content-Security-Policy", kPolicy},
                                {"X-Content-Type-Options", "nosniff"},
                                {"Referrer-Policy", "no-referrer"},
                                {"Cache-Control", "no-store"}});
    server.set_payload_max_length(64 * 1024);
    routes(server, source, version);
    int port = address.port;
    if (port == 0) {
        port = server.bind_to_any_port(address.host);
    } else if (!server.bind_to_port(address.host, port)) {
        port = -1;
    }
    if (port <= 0) {
        std::fprintf(stderr, "hexflash: cannot listen on %s (in use, or not this computer's)\n",
                     shown(address, address.port).c_str());
        return 1;
    }
    if (!listen_is_loopback(address.host)) {
        std::fprintf(stderr,
                     "hexflash: warning: the page has no login: whoever reaches %s sees the line\n",
                     shown(address, port).c_str());
    }
    std::fprintf(stderr, "hexflash: serving the line of %s at http://%s/ (Ctrl-C stops)\n",
                 store_url_text(url).c_str(), shown(address, port).c_str());
    std::fflush(stderr);
    interrupt_arm();
    std::atomic<bool> done{false};
    // Asked again until the server has stopped: an interrupt may come before
    // it runs, when stopping it would do nothing.
    std::thread stopper([&] {
        while (!done) {
            if (interrupt_signal() != INTERRUPT_NONE) {
                server.stop();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    const bool served = server.listen_after_bind();
    done = true;
    stopper.join();
    interrupt_disarm();
    return served || interrupt_signal() != INTERRUPT_NONE ? 0 : 1;
}
