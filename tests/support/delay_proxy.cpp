#include "delay_proxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <list>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace test_support {

namespace {

using Clock = std::chrono::steady_clock;

// What one direction may hold before the proxy stops reading that side (TCP's own flow control
// then slows the sender down).
constexpr std::size_t kMaxQueued = 1 << 20;
constexpr auto kConnectLimit = std::chrono::seconds(5);

struct Chunk {
    Clock::time_point due;
    std::string bytes;  // empty: the sender's end of stream
    std::size_t sent = 0;
};

// One direction of a connection.
struct Flow {
    int from = -1;
    int to = -1;
    std::deque<Chunk> queue;
    std::size_t queued = 0;
    bool read_done = false;   // end of stream seen on `from`
    bool write_done = false;  // and passed on to `to`

    bool wants_read() const { return !read_done && queued < kMaxQueued; }
    bool due(Clock::time_point now) const { return !queue.empty() && queue.front().due <= now; }
};

struct Connection {
    int client = -1;
    int server = -1;
    bool connecting = true;
    Clock::time_point connect_deadline;
    bool broken = false;
    Flow up;    // client -> server
    Flow down;  // server -> client
};

sockaddr_in loopback(int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    return addr;
}

void no_delay(int fd) {
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// Closes with a reset rather than an orderly end, as a broken link looks to the other side.
void reset(int fd) {
    if (fd < 0) {
        return;
    }
    const linger abort{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    close(fd);
}

// Reads what `flow.from` has; false when the connection broke.
bool read_into(Flow &flow, Clock::time_point due) {
    char buf[65536];
    while (flow.wants_read()) {
        const ssize_t n = recv(flow.from, buf, sizeof buf, 0);
        if (n > 0) {
            flow.queue.push_back({due, std::string(buf, static_cast<std::size_t>(n))});
            flow.queued += static_cast<std::size_t>(n);
        } else if (n == 0) {
            flow.queue.push_back({due, std::string()});
            flow.read_done = true;
        } else {
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        }
    }
    return true;
}

// Writes the chunks that are due; false when the connection broke.
bool write_due(Flow &flow, Clock::time_point now) {
    while (flow.due(now)) {
        Chunk &c = flow.queue.front();
        if (c.bytes.empty()) {
            shutdown(flow.to, SHUT_WR);
            flow.write_done = true;
            flow.queue.pop_front();
            continue;
        }
        const ssize_t n =
            send(flow.to, c.bytes.data() + c.sent, c.bytes.size() - c.sent, MSG_NOSIGNAL);
        if (n < 0) {
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        }
        c.sent += static_cast<std::size_t>(n);
        if (c.sent < c.bytes.size()) {
            return true;  // the socket is full: wait until it can take more
        }
        flow.queued -= c.bytes.size();
        flow.queue.pop_front();
    }
    return true;
}

}  // namespace

struct DelayProxy::Loop {
    const int target_port;
    const std::chrono::milliseconds one_way;
    int port = 0;
    int listener = -1;
    int wake[2] = {-1, -1};
    std::list<Connection> connections;
    std::atomic<std::size_t> accepted{0};

    // Requests from other threads, applied by the loop's thread.
    std::mutex mutex;
    std::condition_variable applied;
    bool want_listening = true;
    bool want_stop = false;
    unsigned requested = 0;
    unsigned done = 0;
    std::string error;

    std::thread thread;

    Loop(int target, std::chrono::milliseconds delay) : target_port(target), one_way(delay) {}

    void listen_on(int at_port) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
        }
        const int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr = loopback(at_port);
        // The same port again after a cut: briefly retried, as it may still be settling.
        const auto until = Clock::now() + std::chrono::seconds(2);
        while (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
            if (errno != EADDRINUSE || Clock::now() >= until) {
                const std::string why = std::strerror(errno);
                close(fd);
                throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(at_port) +
                                         ": " + why);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        socklen_t len = sizeof addr;
        if (listen(fd, 64) != 0 || getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len)) {
            const std::string why = std::strerror(errno);
            close(fd);
            throw std::runtime_error("cannot listen: " + why);
        }
        listener = fd;
        if (at_port == 0) {
            port = ntohs(addr.sin_port);  // set once, before the loop's thread reads it
        }
    }

    void close_all() {
        for (Connection &c : connections) {
            reset(c.client);
            reset(c.server);
        }
        connections.clear();
    }

    void accept_one() {
        const int client = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0) {
            return;
        }
        accepted++;
        const int server = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const sockaddr_in addr = loopback(target_port);
        if (server < 0 ||
            (connect(server, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0 &&
             errno != EINPROGRESS)) {
            reset(server);
            reset(client);
            return;
        }
        no_delay(client);
        no_delay(server);
        Connection &c = connections.emplace_back();
        c.client = client;
        c.server = server;
        c.connect_deadline = Clock::now() + kConnectLimit;
        c.up.from = c.down.to = client;
        c.up.to = c.down.from = server;
    }

    // Applies what other threads asked for; false once asked to stop.
    bool apply_requests() {
        std::lock_guard<std::mutex> lock(mutex);
        if (want_stop) {
            return false;
        }
        if (done == requested) {
            return true;
        }
        error.clear();
        if (!want_listening && listener >= 0) {
            close_all();
            close(listener);
            listener = -1;
        } else if (want_listening && listener < 0) {
            try {
                listen_on(port);
            } catch (const std::exception &e) {
                error = e.what();
            }
        }
        done = requested;
        applied.notify_all();
        return true;
    }

    void run() {
        std::vector<pollfd> fds;
        while (apply_requests()) {
            const Clock::time_point now = Clock::now();
            // The soonest moment something must be written or given up on.
            Clock::time_point next = Clock::time_point::max();
            fds.clear();
            fds.push_back({wake[0], POLLIN, 0});
            fds.push_back({listener, POLLIN, 0});  // a negative fd is left out by poll
            for (Connection &c : connections) {
                short client_events = 0, server_events = 0;
                if (c.connecting) {
                    server_events = POLLOUT;
                    next = std::min(next, c.connect_deadline);
                } else {
                    client_events = static_cast<short>((c.up.wants_read() ? POLLIN : 0) |
                                                       (c.down.due(now) ? POLLOUT : 0));
                    server_events = static_cast<short>((c.down.wants_read() ? POLLIN : 0) |
                                                       (c.up.due(now) ? POLLOUT : 0));
                    for (const Flow *f : {&c.up, &c.down}) {
                        if (!f->queue.empty() && !f->due(now)) {
                            next = std::min(next, f->queue.front().due);
                        }
                    }
                }
                // A socket asked for nothing is left out: its hang-up would wake poll at once.
                fds.push_back({client_events != 0 ? c.client : -1, client_events, 0});
                fds.push_back({server_events != 0 ? c.server : -1, server_events, 0});
            }
            int timeout = -1;
            if (next != Clock::time_point::max()) {
                // Rounded up: a chunk is never written before it is due.
                const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - now);
                timeout = static_cast<int>(std::max<long long>(wait.count(), 0));
            }
            poll(fds.data(), fds.size(), timeout);

            if ((fds[0].revents & POLLIN) != 0) {
                char drain[64];
                while (read(wake[0], drain, sizeof drain) > 0) {
                }
            }
            const Clock::time_point after = Clock::now();
            std::size_t i = 2;
            for (Connection &c : connections) {
                const short client_revents = fds[i++].revents;
                const short server_revents = fds[i++].revents;
                if (c.connecting) {
                    if (server_revents != 0) {
                        int err = 0;
                        socklen_t len = sizeof err;
                        getsockopt(c.server, SOL_SOCKET, SO_ERROR, &err, &len);
                        c.connecting = false;
                        c.broken = err != 0;
                    } else if (after >= c.connect_deadline) {
                        c.broken = true;
                    }
                    continue;
                }
                const Clock::time_point due = after + one_way;
                if (client_revents != 0 && !read_into(c.up, due)) {
                    c.broken = true;
                }
                if (server_revents != 0 && !read_into(c.down, due)) {
                    c.broken = true;
                }
                if (!write_due(c.up, after) || !write_due(c.down, after)) {
                    c.broken = true;
                }
            }
            connections.remove_if([](Connection &c) {
                if (!c.broken && !(c.up.write_done && c.down.write_done)) {
                    return false;
                }
                reset(c.client);
                reset(c.server);
                return true;
            });
            // Accepted last: the new connections are not in this round's poll set.
            if (listener >= 0 && (fds[1].revents & POLLIN) != 0) {
                accept_one();
            }
        }
        close_all();
        if (listener >= 0) {
            close(listener);
            listener = -1;
        }
    }

    // Asks the loop for a state and waits until it has applied it.
    void request(bool listening) {
        std::unique_lock<std::mutex> lock(mutex);
        want_listening = listening;
        const unsigned mine = ++requested;
        lock.unlock();
        (void)!write(wake[1], "w", 1);
        lock.lock();
        if (!applied.wait_for(lock, std::chrono::seconds(10), [&] { return done >= mine; })) {
            throw std::runtime_error("the delay proxy did not answer in 10 s");
        }
        if (!error.empty()) {
            throw std::runtime_error(error);
        }
    }
};

DelayProxy::DelayProxy(int target_port, std::chrono::milliseconds one_way)
    : loop_(std::make_unique<Loop>(target_port, one_way)) {
    if (pipe2(loop_->wake, O_NONBLOCK | O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    try {
        loop_->listen_on(0);
    } catch (...) {
        close(loop_->wake[0]);
        close(loop_->wake[1]);
        throw;
    }
    loop_->thread = std::thread([loop = loop_.get()] { loop->run(); });
}

DelayProxy::~DelayProxy() {
    {
        std::lock_guard<std::mutex> lock(loop_->mutex);
        loop_->want_stop = true;
    }
    (void)!write(loop_->wake[1], "s", 1);
    loop_->thread.join();
    close(loop_->wake[0]);
    close(loop_->wake[1]);
}

int DelayProxy::port() const {
    return loop_->port;
}

void DelayProxy::cut() {
    loop_->request(false);
}

void DelayProxy::restore() {
    loop_->request(true);
}

std::size_t DelayProxy::accepted() const {
    return loop_->accepted.load();
}

}  // namespace test_support
