// The threads that feed the engines: one tick thread (every 10 ms) for every device's runner, and
// one reader thread per device (its answers). All stop on request and are joined before the
// devices are closed.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <vector>

#include "host/link/transport.h"
#include "host/platform/env.h"
#include "host/run/engine_runner.h"
#include "host/workers/tick_schedule.h"

namespace host {

class Workers {
  public:
    // One device: its runner and the transport its answers arrive on.
    struct Device {
        EngineRunner *runner;
        Transport *transport;
    };

    // tick_period is the engine's 10 ms tick; tests and the soak may run the clock faster.
    Workers(std::vector<Device> devices,
            std::chrono::microseconds tick_period = std::chrono::milliseconds(10));
    Workers(EngineRunner &runner, Transport &transport,
            std::chrono::microseconds tick_period = std::chrono::milliseconds(10))
        : Workers(std::vector<Device>{{&runner, &transport}}, tick_period) {}
    ~Workers();  // stops and joins
    Workers(const Workers &) = delete;
    Workers &operator=(const Workers &) = delete;

    // Starts the tick thread, then one reader thread per device. When the system cannot start
    // one, none runs and the reason comes back.
    base::Status start();
    void stop();
    // The ticks made so far and the period they achieved.
    TickStats tick_stats();

  private:
    void _10ms_timer_thread_();
    void _usb_hid_rx_thread_(Device device);
    // How long the reader's next read may wait for an answer.
    int read_timeout_ms(EngineRunner &runner);

    const std::vector<Device> devices_;
    const std::chrono::microseconds tick_period_;
    std::atomic<bool> stopping_{false};
    std::mutex sleep_mutex_;
    Signal wake_;
    std::optional<TickSchedule> schedule_;  // guarded by sleep_mutex_
    Thread ticker_;
    std::vector<Thread> readers_;
};

}  // namespace host
