// When the next tick is due. Ticks are kept at absolute times on the steady clock, one period
// apart, so that the work done in a tick and the lateness of a wake-up do not add up into drift.
// A missed tick is never made up for: a tick that comes a whole period late or more (the process
// was not running) is one tick, the deadlines that passed meanwhile are dropped, and the next
// tick is due a period after it. A step's budget so counts the time the process ran, never the
// time it was stopped.
#pragma once

#include <chrono>
#include <cstdint>

namespace host {

struct TickStats {
    uint64_t ticks = 0;
    std::chrono::nanoseconds mean_period{0};  // from the first tick to the last, stops included
    std::chrono::nanoseconds max_late{0};     // largest lateness of a tick against its deadline
    uint64_t dropped = 0;   // deadlines that passed while the tick before them was still due
    uint64_t restarts = 0;  // late ticks after which the schedule started afresh
};

class TickSchedule {
  public:
    using Clock = std::chrono::steady_clock;

    TickSchedule(Clock::duration period, Clock::time_point start);

    Clock::time_point next_deadline() const { return next_; }
    // How long to wait from `now`: until the deadline, but never more than one period, so a
    // wait is bounded whatever happened to the schedule.
    Clock::duration wait_from(Clock::time_point now) const;
    // Records a tick made at `now` for the current deadline and moves to the next one, which is
    // always later than `now`.
    void ticked(Clock::time_point now);

    TickStats stats() const;

  private:
    const Clock::duration period_;
    Clock::time_point next_;
    Clock::time_point first_tick_{};
    Clock::time_point last_tick_{};
    uint64_t ticks_ = 0;
    Clock::duration max_late_{0};
    uint64_t dropped_ = 0;
    uint64_t restarts_ = 0;
};

}  // namespace host
