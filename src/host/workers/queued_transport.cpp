#include "host/workers/queued_transport.h"

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
    base::Result<Thread> writer = Thread::start([this] { writer_thread(); });
    if (writer.ok()) {
        writer_ = std::move(*writer);
    }
}

void QueuedTransport::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = false;
        reports_.clear();
    }
    wake_writer_.notify_all();
    writer_.join();
}

int QueuedTransport::write(const uint8_t *report, size_t len) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_ || reports_.size() >= kCapacity) {
        return -1;
    }
    reports_.emplace_back(report, report + len);
    // The reader writes its own reports on its way back to read; others need the writer.
    if (std::this_thread::get_id() != reader_.load(std::memory_order_relaxed) && !writing_) {
        wake_writer_.notify_all();
    }
    return static_cast<int>(len);
}

int QueuedTransport::read(uint8_t *buf, size_t len, int timeout_ms) {
    reader_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    {
        std::unique_lock<std::mutex> lock(mutex_);
        write_out(lock);
    }
    return device_.read(buf, len, timeout_ms);
}

void QueuedTransport::write_out(std::unique_lock<std::mutex> &lock) {
    while (running_ && !writing_ && !reports_.empty()) {
        std::vector<uint8_t> report = std::move(reports_.front());
        reports_.pop_front();
        writing_ = true;
        lock.unlock();
        if (device_.write(report.data(), report.size()) < 0 && on_failure_) {
            on_failure_(report.data(), report.size());
        }
        lock.lock();
        writing_ = false;
    }
    // Reports queued meanwhile by another thread, which saw the writing under way, are the
    // writer's.
    if (!reports_.empty()) {
        wake_writer_.notify_all();
    }
}

void QueuedTransport::writer_thread() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (running_) {
        // stop() and queued reports wake the thread; the time-out only bounds the wait.
        wake_writer_.wait_for(lock, std::chrono::seconds(1),
                              [this] { return !running_ || (!reports_.empty() && !writing_); });
        write_out(lock);
    }
}

}  // namespace host
