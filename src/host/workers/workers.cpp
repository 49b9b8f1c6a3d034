#include "host/workers/workers.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "host/platform/debug_trace.h"

namespace host {

namespace {
// Short enough that stopping is prompt, long enough not to busy the device.
constexpr int kReadTimeoutMs = 50;
// After a failed read (device gone), wait this long rather than spin a core.
constexpr std::chrono::milliseconds kReadFailurePause{5};
}  // namespace

Workers::Workers(std::vector<Device> devices, std::chrono::microseconds tick_period)
    : devices_(std::move(devices)), tick_period_(tick_period) {}

Workers::~Workers() {
    stop();
}

base::Status Workers::start() {
    stopping_ = false;
    schedule_.emplace(tick_period_, env().now());
    base::Result<Thread> ticker = Thread::start([this] { _10ms_timer_thread_(); });
    if (!ticker.ok()) {
        return ticker.error();
    }
    ticker_ = std::move(*ticker);
    for (const Device &device : devices_) {
        base::Result<Thread> reader =
            Thread::start([this, device] { _usb_hid_rx_thread_(device); });
        if (!reader.ok()) {
            stop();
            return reader.error();
        }
        readers_.push_back(std::move(*reader));
    }
    return {};
}

void Workers::stop() {
    {
        std::lock_guard<std::mutex> lock(sleep_mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (ticker_.joinable()) {
        ticker_.join();
    }
    const bool had_readers = !readers_.empty();
    for (Thread &reader : readers_) {
        if (reader.joinable()) {
            reader.join();
        }
    }
    readers_.clear();
    if (had_readers) {
        trace_shutdown("worker threads stopped");
    }
}

void Workers::_10ms_timer_thread_() {
    std::unique_lock<std::mutex> lock(sleep_mutex_);
    while (!stopping_) {
        const auto wait = schedule_->wait_from(env().now());
        if (wake_.wait_for(lock, wait, [this] { return stopping_.load(); })) {
            break;
        }
        const auto now = env().now();
        if (now < schedule_->next_deadline()) {
            continue;
        }
        schedule_->ticked(now);
        lock.unlock();
        // Each runner takes its own lock: a device busy in a transition delays only its own tick.
        // A tick that would resend or time out waits for the device's reader (settle_tick).
        for (const Device &device : devices_) {
            device.runner->on_scheduled_tick();
        }
        lock.lock();
    }
}

TickStats Workers::tick_stats() {
    std::lock_guard<std::mutex> lock(sleep_mutex_);
    return schedule_ ? schedule_->stats() : TickStats{};
}

int Workers::read_timeout_ms(EngineRunner &runner) {
    if (runner.tick_waiting()) {
        return 0;  // only what has arrived already, then the tick
    }
    const std::optional<uint32_t> ticks = runner.ticks_before_one_waits();
    if (!ticks) {
        return kReadTimeoutMs;
    }
    // Be back just after the tick that will wait for this thread is due. Should the tick thread
    // be later still, the reads go on a millisecond at a time until it has come.
    std::lock_guard<std::mutex> lock(sleep_mutex_);
    const auto due = schedule_->next_deadline() + tick_period_ * *ticks;
    const auto until = std::chrono::ceil<std::chrono::milliseconds>(due - env().now());
    return static_cast<int>(std::clamp<int64_t>(until.count() + 1, 1, kReadTimeoutMs));
}

// The device's one reader: the only thread that reads it, since HIDAPI's read is not safe from
// two threads at once on every system. So it, not the tick thread, looks for answers already
// delivered before a tick resends or times out: that tick waits until a read here finds nothing
// more and is made here (settle_tick).
void Workers::_usb_hid_rx_thread_(Device device) {
    uint8_t buf[kReportSize];
    while (!stopping_) {
        buf[0] = 0x02;
        // Once the run takes no more answers, the reader no longer waits in the device's read,
        // which a stop cannot cut short: the next stage of a board (its update after its check)
        // would wait for it to time out.
        const bool over = device.runner->takes_no_answers();
        const int res =
            device.transport->read(buf, sizeof buf, over ? 0 : read_timeout_ms(*device.runner));
        if (res > 0) {
            // The report ID is dropped; the engine gets exactly the bytes that arrived after it.
            device.runner->on_answer(buf + 1, res - 1);
            continue;
        }
        // Nothing more has arrived (or nothing can): a tick that waits for it is made now.
        device.runner->settle_tick();
        if (res < 0) {
            // A device that is gone fails every read at once: end its run and stop reading.
            if (device.transport->disconnected()) {
                device.runner->on_device_lost();
                return;
            }
            std::unique_lock<std::mutex> lock(sleep_mutex_);
            wake_.wait_for(lock, kReadFailurePause, [this] { return stopping_.load(); });
        } else if (over) {
            // Still read now and then (queued reports go out, a device that leaves is seen), but
            // the wait is here, where stopping ends it at once.
            std::unique_lock<std::mutex> lock(sleep_mutex_);
            wake_.wait_for(lock, std::chrono::milliseconds(kReadTimeoutMs),
                           [this] { return stopping_.load(); });
        }
    }
}

}  // namespace host
