// The two threads that feed the engine: the tick thread (every 10 ms) and the reader thread
// (device answers). Both stop on request and are joined before the device is closed.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "engine_runner.h"
#include "tick_schedule.h"
#include "transport.h"

namespace host {

class Workers {
  public:
    // tick_period is the engine's 10 ms tick; tests and the soak may run the clock faster.
    Workers(EngineRunner &runner, Transport &transport,
            std::chrono::microseconds tick_period = std::chrono::milliseconds(10));
    ~Workers();  // stops and joins
    Workers(const Workers &) = delete;
    Workers &operator=(const Workers &) = delete;

    // Starts the tick thread, then the reader thread.
    void start();
    void stop();
    // The ticks made so far and the period they achieved.
    TickStats tick_stats();

  private:
    void _10ms_timer_thread_();
    void _usb_hid_rx_thread_();

    EngineRunner &runner_;
    Transport &transport_;
    const std::chrono::microseconds tick_period_;
    std::atomic<bool> stopping_{false};
    std::mutex sleep_mutex_;
    std::condition_variable wake_;
    std::optional<TickSchedule> schedule_;  // guarded by sleep_mutex_
    std::thread ticker_;
    std::thread reader_;
};

}  // namespace host
