#include "workers.h"

#include <chrono>

#include "debug_trace.h"

namespace host {

namespace {
// Short enough that stopping is prompt, long enough not to busy the device.
constexpr int kReadTimeoutMs = 50;
// After a failed read (device gone), wait this long rather than spin a core.
constexpr std::chrono::milliseconds kReadFailurePause{5};
}  // namespace

Workers::Workers(EngineRunner &runner, Transport &transport, std::chrono::microseconds tick_period)
    : runner_(runner), transport_(transport), tick_period_(tick_period) {}

Workers::~Workers() {
    stop();
}

void Workers::start() {
    stopping_ = false;
    ticker_ = std::thread(&Workers::_10ms_timer_thread_, this);
    reader_ = std::thread(&Workers::_usb_hid_rx_thread_, this);
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
    if (reader_.joinable()) {
        reader_.join();
        trace_shutdown("worker threads stopped");
    }
}

void Workers::_10ms_timer_thread_() {
    std::unique_lock<std::mutex> lock(sleep_mutex_);
    while (!stopping_) {
        if (wake_.wait_for(lock, tick_period_, [this] { return stopping_.load(); })) {
            break;
        }
        lock.unlock();
        runner_.on_tick();
        lock.lock();
    }
}

void Workers::_usb_hid_rx_thread_() {
    uint8_t buf[kReportSize];
    while (!stopping_) {
        buf[0] = 0x02;
        const int res = transport_.read(buf, sizeof buf, kReadTimeoutMs);
        if (res > 0) {
            // The report ID is dropped; the engine gets exactly the bytes that arrived after it.
            runner_.on_answer(buf + 1, res - 1);
        } else if (res < 0) {
            std::unique_lock<std::mutex> lock(sleep_mutex_);
            wake_.wait_for(lock, kReadFailurePause, [this] { return stopping_.load(); });
        }
    }
}

}  // namespace host
