// The simulated device behind an in-process link that behaves like a device on a wire: an answer
// becomes readable after the report that caused it, a read blocks up to its timeout, and the
// device's clock advances with real time (one tick per 10 ms) so held-back answers come out late.
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "device/sim_device.h"
#include "host/link/transport.h"
#include "host/platform/env.h"
#include "timing/usb_timing.h"

namespace host {

class SimTransport : public Transport {
  public:
    // device_tick is the device's clock period (10 ms on a real wire).
    explicit SimTransport(sim::FaultSchedule faults,
                          std::chrono::microseconds device_tick = std::chrono::milliseconds(10));
    // With a timing model, answers become readable when the model says, not at once.
    SimTransport(sim::FaultSchedule faults, std::chrono::microseconds device_tick,
                 const std::optional<timing::UsbTimingFigures> &timing);

    int write(const uint8_t *report, size_t len) override;
    int read(uint8_t *buf, size_t len, int timeout_ms) override;
    bool product_string(std::wstring &out) override;
    // A board that left the bus on its reboot is gone as a real one is: reads fail for good.
    bool disconnected() const override { return left_.load(); }
    // Back on the bus after leaving on reboot (the catalog's boards).
    void replug();

    // Runs f with the device while no other call uses it.
    template <typename F>
    auto with_device(F f) {
        std::lock_guard<std::mutex> lock(mutex_);
        return f(device_);
    }

  private:
    using Clock = std::chrono::steady_clock;
    void advance_clock_locked(Clock::time_point now);
    // Under the timing model: moves the device's answers onto the wire, readable at `ready`.
    void take_answers_locked(Clock::time_point ready);
    bool pop_ready_locked(Clock::time_point now, sim::Report &out);

    std::mutex mutex_;
    Signal answered_;
    sim::SimDevice device_;
    const std::chrono::microseconds device_tick_;
    Clock::time_point next_tick_;
    std::optional<timing::UsbLinkModel> link_;
    std::deque<std::pair<Clock::time_point, sim::Report>> on_wire_;  // with the time readable
    std::atomic<bool> left_{false};
};

// One simulated board of the catalog, opened again and again (the station's boards leave and
// come back): every opening shares the board's one SimTransport, and so its flash, which each
// update over writes to the catalog's --sim-flash file (none: not kept).
class SharedSimTransport : public Transport {
  public:
    SharedSimTransport(std::shared_ptr<SimTransport> board, std::string flash_to)
        : board_(std::move(board)), flash_to_(std::move(flash_to)) {}
    int write(const uint8_t *report, size_t len) override { return board_->write(report, len); }
    int read(uint8_t *buf, size_t len, int timeout_ms) override {
        return board_->read(buf, len, timeout_ms);
    }
    bool product_string(std::wstring &out) override { return board_->product_string(out); }
    bool disconnected() const override { return board_->disconnected(); }
    // Several boards' flashes go to files of their own, named after each (per_device_path).
    base::Status keep_after_update(const std::string &name) override;

  private:
    std::shared_ptr<SimTransport> board_;
    const std::string flash_to_;
};

}  // namespace host
