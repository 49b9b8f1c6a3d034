// While any SleepHold lives the system is asked not to sleep: the first one takes the
// inhibitor, the last one to end releases it. Every board's update holds one, from any thread.
#pragma once

namespace host {

class SleepHold {
  public:
    SleepHold();
    ~SleepHold();
    SleepHold(const SleepHold &) = delete;
    SleepHold &operator=(const SleepHold &) = delete;
};

}  // namespace host
