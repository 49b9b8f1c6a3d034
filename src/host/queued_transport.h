// A device whose output reports are written by a thread of its own. With several devices on one
// tick thread, an engine call must never wait for a device: a hung device's write can block for
// seconds, and the tick (or answer) that sent it would hold up every other device's ticks with
// it. Here a write only queues the report; the writer thread writes the reports in order.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "transport.h"

namespace host {

class QueuedTransport : public Transport {
  public:
    // Called on the writer thread with a report the device refused.
    using FailedWrite = std::function<void(const uint8_t *report, size_t len)>;

    // More reports than the engine ever has outstanding (a page's chunks and a few resends).
    static constexpr size_t kCapacity = 64;

    QueuedTransport(Transport &device, FailedWrite on_failure);
    ~QueuedTransport() override;  // stops
    QueuedTransport(const QueuedTransport &) = delete;
    QueuedTransport &operator=(const QueuedTransport &) = delete;

    void start();
    // Waits for the write under way, drops the reports not yet written and joins the thread.
    void stop();

    // Queues the report; -1 when the queue is full (the device has stopped taking reports) or
    // the writer is stopped, as a failed write.
    int write(const uint8_t *report, size_t len) override;
    int read(uint8_t *buf, size_t len, int timeout_ms) override {
        return device_.read(buf, len, timeout_ms);
    }
    bool product_string(std::wstring &out) override { return device_.product_string(out); }

  private:
    void writer_thread();

    Transport &device_;
    const FailedWrite on_failure_;
    std::mutex mutex_;
    std::condition_variable queued_;
    std::deque<std::vector<uint8_t>> reports_;
    bool running_ = false;
    std::thread writer_;
};

}  // namespace host
