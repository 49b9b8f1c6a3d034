#include "gadget/hidg_endpoint.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace gadget {

namespace {

// Interrupts the reader's blocking read() at shutdown; the handler itself does nothing.
void on_wake_signal(int) {}

}  // namespace

HidgEndpoint::~HidgEndpoint() {
    close();
}

bool HidgEndpoint::open(const std::string &path) {
    read_fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (read_fd_ < 0) {
        return false;
    }
    write_fd_ = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (write_fd_ < 0) {
        const int saved = errno;
        ::close(read_fd_);
        read_fd_ = -1;
        errno = saved;
        return false;
    }
    struct sigaction sa {};
    sa.sa_handler = on_wake_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: the read must return EINTR
    sigaction(SIGUSR1, &sa, nullptr);
    stopping_ = false;
    reader_ = std::thread(&HidgEndpoint::reader, this);
    return true;
}

void HidgEndpoint::close() {
    if (reader_.joinable()) {
        stopping_ = true;
        // Repeat the wake-up until the reader has seen it: the signal may land just before it
        // enters read().
        while (true) {
            pthread_kill(reader_.native_handle(), SIGUSR1);
            std::unique_lock<std::mutex> lock(mutex_);
            if (arrived_.wait_for(lock, std::chrono::milliseconds(20),
                                  [this] { return reader_done_; })) {
                break;
            }
        }
        reader_.join();
    }
    if (read_fd_ >= 0) {
        ::close(read_fd_);
        read_fd_ = -1;
    }
    if (write_fd_ >= 0) {
        ::close(write_fd_);
        write_fd_ = -1;
    }
}

void HidgEndpoint::reader() {
    // In SET_REPORT mode the kernel keeps only the latest report until it is read, so a read
    // stays pending here at all times and this thread does nothing else.
    uint8_t buf[1024];
    while (!stopping_) {
        const ssize_t n = ::read(read_fd_, buf, sizeof buf);
        if (n > 0) {
            std::lock_guard<std::mutex> lock(mutex_);
            reports_.emplace_back(buf, buf + n);
            arrived_.notify_all();
        } else if (n < 0 && errno != EINTR) {
            // The function was unbound; avoid spinning while it is gone.
            usleep(5000);
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    reader_done_ = true;
    arrived_.notify_all();
}

std::vector<std::vector<uint8_t>> HidgEndpoint::wait_reports(
    std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait_until(lock, deadline, [this] { return !reports_.empty(); });
    std::vector<std::vector<uint8_t>> out(std::make_move_iterator(reports_.begin()),
                                          std::make_move_iterator(reports_.end()));
    reports_.clear();
    return out;
}

bool HidgEndpoint::write_report(const uint8_t *report, size_t len,
                                std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const ssize_t n = ::write(write_fd_, report, len);
        if (n == static_cast<ssize_t>(len)) {
            return true;
        }
        if (n >= 0 || (errno != EAGAIN && errno != EINTR)) {
            return false;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd p{write_fd_, POLLOUT, 0};
        ::poll(&p, 1, static_cast<int>(left.count()));
    }
}

}  // namespace gadget
