// A device whose output reports never hold up a thread that serves other devices, nor a thread
// that holds the device's engine lock. With several devices on one tick thread, a tick must never
// wait for a device: a hung device's write can block for seconds, and every other device's ticks
// would wait with it. So an engine call only queues its reports. The device's reader, which
// serves this device alone, writes the queue out when it comes back to read (after its engine
// call, lock released): most reports answer an answer and go out without a thread switch. Reports
// queued by other threads (the tick's resends, the start) wake the device's writer thread.
// Either way reports reach the device one at a time, in the order they were queued.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "host/link/transport.h"
#include "host/platform/env.h"

namespace host {

class QueuedTransport : public Transport {
  public:
    // Called, on the thread that wrote it, with a report the device refused.
    using FailedWrite = std::function<void(const uint8_t *report, size_t len)>;

    // More reports than the engine ever has outstanding (a page's chunks and a few resends).
    static constexpr size_t kCapacity = 64;

    QueuedTransport(Transport &device, FailedWrite on_failure);
    ~QueuedTransport() override;  // stops
    QueuedTransport(const QueuedTransport &) = delete;
    QueuedTransport &operator=(const QueuedTransport &) = delete;

    // Starts the writer. When the system cannot start one, the reader writes every report on its
    // way back to read (within its read time-out).
    void start();
    // Waits for the writer's write under way, drops the reports not yet written and joins it.
    void stop();

    // Queues the report and returns its length; -1 when the queue is full (the device has
    // stopped taking reports) or the writer is stopped, as a failed write.
    int write(const uint8_t *report, size_t len) override;
    // Called by the device's one reader thread: writes out what is queued, then reads.
    int read(uint8_t *buf, size_t len, int timeout_ms) override;
    bool product_string(std::wstring &out) override { return device_.product_string(out); }
    // A device that is gone is gone for its reader too, which then ends its run at once.
    bool disconnected() const override { return device_.disconnected(); }
    base::Status keep_after_update(const std::string &name) override {
        return device_.keep_after_update(name);
    }

  private:
    // Writes queued reports in order while no other thread is writing one.
    void write_out(std::unique_lock<std::mutex> &lock);
    void writer_thread();

    Transport &device_;
    const FailedWrite on_failure_;
    std::atomic<std::thread::id> reader_{};
    std::mutex mutex_;
    Signal wake_writer_;
    std::deque<std::vector<uint8_t>> reports_;
    bool writing_ = false;  // a report is being written, by the reader or the writer
    bool running_ = false;
    Thread writer_;
};

}  // namespace host
