#include "host/status/status_server.h"

#include <httplib.h>

#include <cstdlib>

namespace host {

namespace {
// Few threads, short waits, small requests: the page is for a screen or two and a scraper.
constexpr size_t kThreads = 4;
constexpr time_t kTimeoutSeconds = 3;
constexpr size_t kMaxRequestBytes = 8192;
}  // namespace

base::Result<ListenAddress> parse_listen_address(const std::string &text) {
    ListenAddress a;
    std::string port = text;
    const size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
        a.host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (a.host.size() > 1 && a.host.front() == '[' && a.host.back() == ']') {
            a.host = a.host.substr(1, a.host.size() - 2);  // [::1]:8080
        }
        if (a.host.empty()) {
            return base::Error(base::ErrorCode::InvalidInput,
                               "--status-listen: '" + text + "' has an empty address");
        }
    }
    char *end = nullptr;
    const long n = std::strtol(port.c_str(), &end, 10);
    if (port.empty() || *end != '\0' || n < 1 || n > 65535) {
        return base::Error(
            base::ErrorCode::InvalidInput,
            "--status-listen: '" + text + "' is not [ADDRESS:]PORT with a port from 1 to 65535");
    }
    a.port = static_cast<int>(n);
    return a;
}

class StatusServer::Impl {
  public:
    explicit Impl(StatusBoard &board) : board_(board) {
        server_.new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
        server_.set_read_timeout(kTimeoutSeconds, 0);
        server_.set_write_timeout(kTimeoutSeconds, 0);
        server_.set_keep_alive_timeout(kTimeoutSeconds);
        server_.set_keep_alive_max_count(20);
        server_.set_payload_max_length(kMaxRequestBytes);
        server_.Get("/status", [this](const httplib::Request &, httplib::Response &res) {
            no_store(res);
            res.set_content(board_.status_json(), "application/json");
        });
        server_.Get("/metrics", [this](const httplib::Request &, httplib::Response &res) {
            no_store(res);
            res.set_content(board_.metrics_text(), "text/plain; version=0.0.4; charset=utf-8");
        });
        server_.Get("/", [](const httplib::Request &, httplib::Response &res) {
            no_store(res);
            res.set_header("Content-Security-Policy",
                           "default-src 'none'; script-src 'unsafe-inline'; "
                           "style-src 'unsafe-inline'; connect-src 'self'");
            res.set_content(status_page_html(), "text/html; charset=utf-8");
        });
        const auto refuse = [](const httplib::Request &, httplib::Response &res) {
            res.status = 405;
            res.set_header("Allow", "GET, HEAD");
            res.set_content("only GET\n", "text/plain");
        };
        server_.Post(".*", refuse);
        server_.Put(".*", refuse);
        server_.Patch(".*", refuse);
        server_.Delete(".*", refuse);
        server_.Options(".*", refuse);
    }
    ~Impl() { stop(); }

    base::Status start(const ListenAddress &a) {
        if (!server_.bind_to_port(a.host, a.port)) {
            return base::Error(
                base::ErrorCode::Unavailable,
                "--status-listen: cannot listen on " + a.host + ":" + std::to_string(a.port));
        }
        base::Result<Thread> thread = Thread::start([this] { server_.listen_after_bind(); });
        if (!thread.ok()) {
            return base::Error(base::ErrorCode::Unavailable, thread.message());
        }
        thread_ = std::move(*thread);
        return {};
    }

    void stop() {
        if (thread_.joinable()) {
            server_.stop();
            thread_.join();
        }
    }

  private:
    static void no_store(httplib::Response &res) { res.set_header("Cache-Control", "no-store"); }

    StatusBoard &board_;
    httplib::Server server_;
    Thread thread_;
};

StatusServer::StatusServer(StatusBoard &board) : impl_(std::make_unique<Impl>(board)) {}
StatusServer::~StatusServer() = default;

base::Status StatusServer::start(const ListenAddress &address) {
    return impl_->start(address);
}

void StatusServer::stop() {
    impl_->stop();
}

}  // namespace host
