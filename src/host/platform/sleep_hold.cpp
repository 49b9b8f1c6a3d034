#include "host/platform/sleep_hold.h"

#include <mutex>

#include "host/platform/env.h"

namespace host {

namespace {
// The holds of the process: how many, and the inhibitor while there are any.
std::mutex holds_mutex;
unsigned holds = 0;
intptr_t token = -1;
}  // namespace

SleepHold::SleepHold() {
    std::lock_guard<std::mutex> lock(holds_mutex);
    if (holds++ == 0) {
        token = env().hold_sleep("updating the flash of a board");
    }
}

SleepHold::~SleepHold() {
    std::lock_guard<std::mutex> lock(holds_mutex);
    if (--holds == 0) {
        env().release_sleep(token);
        token = -1;
    }
}

}  // namespace host
