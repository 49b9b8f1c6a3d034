// A TCP proxy on 127.0.0.1 that adds latency in front of another local port, for tests that
// measure what a slow network costs (no traffic shaping is needed on the machine), and that can
// cut the network while the server behind it keeps running.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>

namespace test_support {

class DelayProxy {
  public:
    // Listens on 127.0.0.1 at a free port and forwards each connection made to it to
    // 127.0.0.1:target_port. Every chunk read from either side is written to the other side
    // one_way after it was read, never sooner, in order and without holding up the chunks behind
    // it: a request and its answer take at least 2 * one_way longer than they would directly
    // (e.g. 10 ms gives a 20 ms round trip). Nagle's algorithm is off on both sides. A
    // connection the target refuses is closed at once. Throws std::runtime_error when it cannot
    // listen.
    DelayProxy(int target_port, std::chrono::milliseconds one_way);
    // Closes every connection and stops the proxy's thread.
    ~DelayProxy();
    DelayProxy(const DelayProxy &) = delete;
    DelayProxy &operator=(const DelayProxy &) = delete;

    int port() const;
    // The network is cut: every connection is reset, and connecting to port() is refused until
    // restore(). Returns once that is so.
    void cut();
    // Listens again on the same port. Throws when the port cannot be had again.
    void restore();
    // Connections accepted so far (whether or not the target took them).
    std::size_t accepted() const;

  private:
    struct Loop;
    std::unique_ptr<Loop> loop_;
};

}  // namespace test_support
