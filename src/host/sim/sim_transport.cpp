#include "host/sim/sim_transport.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "host/sim/sim_flash_file.h"

namespace host {

SimTransport::SimTransport(sim::FaultSchedule faults, std::chrono::microseconds device_tick)
    : SimTransport(std::move(faults), device_tick, std::nullopt) {}

SimTransport::SimTransport(sim::FaultSchedule faults, std::chrono::microseconds device_tick,
                           const std::optional<timing::UsbTimingFigures> &timing)
    : device_(std::move(faults)), device_tick_(device_tick), next_tick_(env().now() + device_tick) {
    if (timing) {
        link_.emplace(*timing, env().now());
    }
}

void SimTransport::advance_clock_locked(Clock::time_point now) {
    while (now >= next_tick_) {
        device_.tick();
        next_tick_ += device_tick_;
    }
    if (link_ && device_.answers_ready() != 0) {
        take_answers_locked(link_->released_answer_ready(now));
    }
}

void SimTransport::take_answers_locked(Clock::time_point ready) {
    sim::Report report;
    while (device_.pop_answer(report)) {
        on_wire_.emplace_back(ready, report);
    }
}

bool SimTransport::pop_ready_locked(Clock::time_point now, sim::Report &out) {
    if (!link_) {
        return device_.pop_answer(out);
    }
    if (on_wire_.empty() || on_wire_.front().first > now) {
        return false;
    }
    out = on_wire_.front().second;
    on_wire_.pop_front();
    return true;
}

int SimTransport::write(const uint8_t *report, size_t len) {
    std::lock_guard<std::mutex> lock(mutex_);
    const Clock::time_point now = env().now();
    advance_clock_locked(now);
    if (!device_.receive(report, len)) {
        answered_.notify_all();  // an unplugged device fails the reader's wait at once
        return -1;
    }
    if (device_.left_on_reboot()) {
        left_ = true;
        answered_.notify_all();
    }
    if (link_) {
        // The reader may be asleep until a later time than this answer's.
        take_answers_locked(link_->on_report(now, report, len));
        answered_.notify_all();
    } else if (device_.answers_ready() != 0 || device_.answers_held() != 0) {
        answered_.notify_all();
    }
    return static_cast<int>(len);
}

int SimTransport::read(uint8_t *buf, size_t len, int timeout_ms) {
    const Clock::time_point deadline = env().now() + std::chrono::milliseconds(timeout_ms);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        const Clock::time_point now = env().now();
        advance_clock_locked(now);
        if (device_.unplugged()) {
            return -1;
        }
        sim::Report report;
        if (pop_ready_locked(now, report)) {
            const size_t n = std::min(len, report.size());
            std::memcpy(buf, report.data(), n);
            return static_cast<int>(n);
        }
        if (now >= deadline) {
            return 0;
        }
        // Wake for a written report, the device's next tick when it holds an answer that may
        // come due, or the deadline, whichever is first. An idle device's ticks change nothing
        // the reader could see, so they do not wake it.
        Clock::time_point wake = deadline;
        if (device_.answers_held() != 0) {
            wake = std::min(wake, next_tick_);
        }
        if (!on_wire_.empty()) {
            wake = std::min(wake, on_wire_.front().first);
        }
        answered_.wait_until(lock, wake);
    }
}

bool SimTransport::product_string(std::wstring &out) {
    out = L"Simulated IAP device";
    return true;
}

void SimTransport::replug() {
    std::lock_guard<std::mutex> lock(mutex_);
    device_.replug();
    on_wire_.clear();
    left_ = false;
}

base::Status SharedSimTransport::keep_after_update(const std::string &name) {
    if (flash_to_.empty()) {
        return {};
    }
    const std::string path = name.empty() ? flash_to_ : per_device_path(flash_to_, name);
    base::Status written = write_sim_flash(*board_, path);
    if (!written.ok()) {
        return written.error().in("cannot write the simulated flash to '" + path + "'");
    }
    return {};
}

}  // namespace host
