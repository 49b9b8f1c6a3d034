#include "host/workers/tick_schedule.h"

#include <algorithm>

namespace host {

TickSchedule::TickSchedule(Clock::duration period, Clock::time_point start)
    : period_(period), next_(start + period) {}

TickSchedule::Clock::duration TickSchedule::wait_from(Clock::time_point now) const {
    return std::clamp(next_ - now, Clock::duration::zero(), period_);
}

void TickSchedule::ticked(Clock::time_point now) {
    const Clock::duration late = now - next_;
    if (ticks_ == 0) {
        restart_tick_ = now;
    }
    ticks_++;
    last_tick_ = now;
    if (late > period_ * kLatePeriodsLimit) {
        // Far behind: start again from now instead of catching up in a burst.
        restarts_++;
        ticks_at_restart_ = ticks_ - 1;
        restart_tick_ = now;
        next_ = now + period_;
        return;
    }
    max_late_ = std::max(max_late_, late);
    next_ += period_;
}

TickStats TickSchedule::stats() const {
    TickStats s;
    s.ticks = ticks_;
    s.restarts = restarts_;
    s.max_late = std::chrono::duration_cast<std::chrono::nanoseconds>(max_late_);
    // The period over the current schedule: a restart's gap is not a tick period.
    const uint64_t intervals = ticks_ - ticks_at_restart_ - 1;
    if (ticks_ > ticks_at_restart_ + 1) {
        s.mean_period =
            std::chrono::duration_cast<std::chrono::nanoseconds>(last_tick_ - restart_tick_) /
            static_cast<int64_t>(intervals);
    }
    return s;
}

}  // namespace host
