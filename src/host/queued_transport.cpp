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
    queued_.notify_all();
    if (writer_.joinable()) {
        writer_.join();
    }
}

int QueuedTransport::write(const uint8_t *report, size_t len) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!running_ || reports_.size() >= kCapacity) {
            return -1;
        }
        reports_.emplace_back(report, report + len);
    }
    queued_.notify_one();
    return static_cast<int>(len);
}

void QueuedTransport::writer_thread() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        // stop() wakes the thread at once; the time-out only keeps the wait bounded.
        if (!queued_.wait_for(lock, std::chrono::seconds(1),
                              [this] { return !running_ || !reports_.empty(); })) {
            continue;
        }
        if (!running_) {
            return;
        }
        std::vector<uint8_t> report = std::move(reports_.front());
        reports_.pop_front();
        lock.unlock();
        if (device_.write(report.data(), report.size()) < 0 && on_failure_) {
            on_failure_(report.data(), report.size());
        }
        lock.lock();
    }
}

}  // namespace host
