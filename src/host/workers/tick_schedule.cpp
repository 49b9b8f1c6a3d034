#include "host/workers/tick_schedule.h"

#include <algorithm>

namespace host {

TickSchedule::TickSchedule(Clock::duration period, Clock::time_point start)
    : period_(period), next_(start + period) {}

TickSchedule::Clock::duration TickSchedule::wait_from(Clock::time_point now) const {
    return std::clamp(next_ - now, Clock::duration::zero(), period_);
}

void TickSchedule::ticked(Clock::time_point now) {
    const Clock::duration late = std::max(now - next_, Clock::duration::zero());
    if (ticks_ == 0) {
        first_tick_ = now;
    }
    ticks_++;
    last_tick_ = now;
    max_late_ = std::max(max_late_, late);
    if (late >= period_) {
        // The deadlines since are gone with the time the process was not running: firing them
        // now, in a burst, would spend a step's budget on nothing but the stop.
        dropped_ += static_cast<uint64_t>(late / period_);
        restarts_++;
        next_ = now + period_;
        return;
    }
    next_ += period_;
}

TickStats TickSchedule::stats() const {
    TickStats s;
    s.ticks = ticks_;
    s.dropped = dropped_;
    s.restarts = restarts_;
    s.max_late = std::chrono::duration_cast<std::chrono::nanoseconds>(max_late_);
    if (ticks_ > 1) {
        s.mean_period =
            std::chrono::duration_cast<std::chrono::nanoseconds>(last_tick_ - first_tick_) /
            static_cast<int64_t>(ticks_ - 1);
    }
    return s;
}

}  // namespace host
