// When the next tick is due. Ticks are kept at absolute times on the steady clock, one period
// apart, so the work done in a tick and the lateness of a wake-up do not add up into drift. A
// tick that comes later than a few periods (the process was stopped) starts a new schedule
// rather than a burst of ticks that would time every step out at once.
#pragma once

#include <chrono>
#include <cstdint>

namespace host {

struct TickStats {
    uint64_t ticks = 0;
    std::chrono::nanoseconds mean_period{0};  // from the first tick to the last
    std::chrono::nanoseconds max_late{0};     // largest lateness of a tick against its deadline
    uint64_t restarts = 0;                    // schedules abandoned after falling far behind
};

class TickSchedule {
  public:
    using Clock = std::chrono::steady_clock;

    TickSchedule(Clock::duration period, Clock::time_point start);

    Clock::time_point next_deadline() const { return next_; }
    // How long to wait from `now`: until the deadline, but never more than one period, so a
    // wait is bounded whatever happened to the schedule.
    Clock::duration wait_from(Clock::time_point now) const;
    // Records a tick made at `now` for the current deadline and moves to the next one.
    void ticked(Clock::time_point now);

    TickStats stats() const;

  private:
    static constexpr int kLatePeriodsLimit = 5;

    const Clock::duration period_;
    Clock::time_point next_;
    Clock::time_point last_tick_{};
    uint64_t ticks_ = 0;
    uint64_t ticks_at_restart_ = 0;  // ticks before the current schedule began
    Clock::time_point restart_tick_{};
    Clock::duration max_late_{0};
    uint64_t restarts_ = 0;
};

}  // namespace host
