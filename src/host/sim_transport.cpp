#include "sim_transport.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace host {

SimTransport::SimTransport(sim::FaultSchedule faults, std::chrono::microseconds device_tick)
    : device_(std::move(faults)),
      device_tick_(device_tick),
      next_tick_(Clock::now() + device_tick) {}

void SimTransport::advance_clock_locked(Clock::time_point now) {
    while (now >= next_tick_) {
        device_.tick();
        next_tick_ += device_tick_;
    }
}

int SimTransport::write(const uint8_t *report, size_t len) {
    std::lock_guard<std::mutex> lock(mutex_);
    advance_clock_locked(Clock::now());
    if (!device_.receive(report, len)) {
        return -1;
    }
    if (device_.answers_ready() != 0) {
        answered_.notify_all();
    }
    return static_cast<int>(len);
}

int SimTransport::read(uint8_t *buf, size_t len, int timeout_ms) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        const Clock::time_point now = Clock::now();
        advance_clock_locked(now);
        if (device_.unplugged()) {
            return -1;
        }
        sim::Report report;
        if (device_.pop_answer(report)) {
            const size_t n = std::min(len, report.size());
            std::memcpy(buf, report.data(), n);
            return static_cast<int>(n);
        }
        if (now >= deadline) {
            return 0;
        }
        // Wake for a written report, the device's next tick (a held answer may come due), or
        // the deadline, whichever is first.
        answered_.wait_until(lock, std::min(deadline, next_tick_));
    }
}

bool SimTransport::product_string(std::wstring &out) {
    out = L"Simulated IAP device";
    return true;
}

}  // namespace host
