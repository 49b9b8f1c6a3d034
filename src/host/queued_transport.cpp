#include "queued_transport.h"

#include <chrono>
#include <utility>

namespace host {

QueuedTransport::QueuedTransport(Transport &device, FailedWrite on_failure)
    : device_(device), on_failure_(std::move(on_failure)) {}

QueuedTransport::~QueuedTransport() {
    stop();
}

void QueuedTransport::start() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_) {
        return;
    }
    running_ = true;
    writer_ = std::thread(&QueuedTransport::writer_thread, this);
}

void QueuedTransport::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = false;
        reports_.clear();
    }
    wake_writer_.notify_all();
    if (writer_.joinable()) {
        writer_.join();
    }
}

int QueuedTransport::read(uint8_t *buf, size_t len, int timeout_ms) {
    reader_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    return device_.read(buf, len, timeout_ms);
}

int QueuedTransport::write(const uint8_t *report, size_t len) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!running_) {
        return -1;
    }
    // Reports go out in the order they were written: the reader writes only behind nothing.
    if (std::this_thread::get_id() == reader_.load(std::memory_order_relaxed) && reports_.empty() &&
        !writing_) {
        writing_ = true;
        lock.unlock();
        const int result = device_.write(report, len);
        lock.lock();
        writing_ = false;
        if (!reports_.empty()) {
            wake_writer_.notify_one();
        }
        return result;
    }
    if (reports_.size() >= kCapacity) {
        return -1;
    }
    reports_.emplace_back(report, report + len);
    if (!writing_) {
        wake_writer_.notify_one();
    }
    return static_cast<int>(len);
}

void QueuedTransport::writer_thread() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        // stop() and every queued report wake the thread; the time-out only bounds the wait.
        if (!wake_writer_.wait_for(lock, std::chrono::seconds(1), [this] {
                return !running_ || (!reports_.empty() && !writing_);
            })) {
            continue;
        }
        if (!running_) {
            return;
        }
        std::vector<uint8_t> report = std::move(reports_.front());
        reports_.pop_front();
        writing_ = true;
        lock.unlock();
        const bool failed = device_.write(report.data(), report.size()) < 0;
        if (failed && on_failure_) {
            on_failure_(report.data(), report.size());
        }
        lock.lock();
        writing_ = false;
    }
}

}  // namespace host
