#include "engine_runner.h"

#include <cstring>

iap_env_t iap;

namespace host {

const char *outcome_name(Outcome o) {
    switch (o) {
        case Outcome::Success:
            return "success";
        case Outcome::Timeout:
            return "timeout";
        case Outcome::Error:
            return "error";
        case Outcome::Stalled:
            return "stalled";
        case Outcome::NoEvent:
            return "no-event";
        case Outcome::Disconnected:
            return "disconnected";
        case Outcome::Interrupted:
            return "interrupted";
    }
    return "?";
}

namespace {
thread_local EngineRunner *current_runner = nullptr;
}  // namespace

// Marks the runner as this thread's current one for the length of one engine call.
class EngineRunner::CallScope {
  public:
    explicit CallScope(EngineRunner *runner) : previous_(current_runner) {
        current_runner = runner;
    }
    ~CallScope() { current_runner = previous_; }
    CallScope(const CallScope &) = delete;
    CallScope &operator=(const CallScope &) = delete;

  private:
    EngineRunner *previous_;
};

EngineRunner::EngineRunner(Transport &transport, iap_env_t &record)
    : transport_(transport), record_(record) {}

EngineRunner *EngineRunner::current() {
    return current_runner;
}

void EngineRunner::start(uint32_t addr, uint32_t size, uint32_t iap_addr) {
    std::lock_guard<std::mutex> lock(engine_mutex_);
    const CallScope scope(this);
    iap_start(&record_, addr, size, iap_addr);
    started_ = record_.state != IAP_ST_IDLE;
    finished_ = !started_;
    // Gone already (the reader runs from before the start): the run cannot go anywhere.
    if (started_ && device_lost_) {
        finished_ = true;
        lost_before_outcome_ = true;
    }
    activity_++;
    if (observer_) {
        observer_(record_);
    }
    changed_.notify_all();
}

void EngineRunner::on_answer(uint8_t *data, int len) {
    std::lock_guard<std::mutex> lock(engine_mutex_);
    // The run is over once its outcome is fixed. A late answer (held back by the device, or a
    // duplicate) would still make the idle engine report an error answer, printing an event line
    // after the outcome that the exit status reports; it is not handed on.
    if (finished_) {
        return;
    }
    const CallScope scope(this);
    iap_rx_callback(&record_, data, len);
    activity_++;
    after_engine_call_locked();
}

void EngineRunner::on_tick() {
    std::lock_guard<std::mutex> lock(engine_mutex_);
    if (device_lost_) {
        return;
    }
    // A tick of a pending run is progress: the engine's own budgets bound how long it can last.
    if (record_.state != IAP_ST_IDLE) {
        activity_++;
    }
    const CallScope scope(this);
    iap_timer_callback(&record_);
    after_engine_call_locked();
}

void EngineRunner::on_device_lost() {
    std::lock_guard<std::mutex> lock(engine_mutex_);
    device_lost_ = true;
    if (started_ && !finished_) {
        finished_ = true;
        lost_before_outcome_ = true;
        changed_.notify_all();
    }
}

void EngineRunner::record_event(iap_event_t evt) {
    last_event_ = evt;
}

void EngineRunner::after_engine_call_locked() {
    if (observer_) {
        observer_(record_);
    }
    if (started_ && !finished_ && record_.state == IAP_ST_IDLE) {
        finished_ = true;
        // The outcome is fixed now: an error answer that comes in later, while idle, is not it.
        outcome_event_ = last_event_;
        changed_.notify_all();
    }
}

Outcome EngineRunner::wait_for_outcome(std::chrono::milliseconds stall_limit,
                                       const std::function<bool()> &interrupted) {
    std::unique_lock<std::mutex> lock(engine_mutex_);
    uint64_t seen = activity_;
    auto last_progress = std::chrono::steady_clock::now();
    while (!finished_) {
        changed_.wait_for(lock, std::chrono::milliseconds(100));
        if (interrupted && interrupted()) {
            return Outcome::Interrupted;
        }
        const auto now = std::chrono::steady_clock::now();
        if (activity_ != seen) {
            seen = activity_;
            last_progress = now;
        } else if (now - last_progress >= stall_limit) {
            return Outcome::Stalled;
        }
    }
    if (lost_before_outcome_) {
        return Outcome::Disconnected;
    }
    if (!outcome_event_) {
        return Outcome::NoEvent;
    }
    switch (*outcome_event_) {
        case IAP_EVT_SUCCESS:
            return Outcome::Success;
        case IAP_EVT_CMD_RX_TIMEOUT:
            return Outcome::Timeout;
        default:
            return Outcome::Error;
    }
}

}  // namespace host
