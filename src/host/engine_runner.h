// Owns one engine record's exclusion: start, answers and ticks arrive on three threads, and one
// mutex per record makes them take turns. Every frame of a device is written inside one of them,
// so the same lock also keeps two reports from being written to that device at once.
//
// The engine's hooks carry no device. Each runner marks itself as this thread's current runner
// for the length of every engine call it makes, and the hooks act on that runner: its transport
// for frames, its outcome for events. Several runners (one per device) can run at once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>

#include "iap.h"
#include "transport.h"

extern iap_env_t iap;  // the tool's engine record for its first (usually only) device

namespace host {

enum class Outcome {
    Success,       // IAP_EVT_SUCCESS: every range verified and the reboot answered
    Timeout,       // IAP_EVT_CMD_RX_TIMEOUT
    Error,         // IAP_EVT_CMD_ERROR as the last event: an error answer or a checksum mismatch
    Stalled,       // the engine made no progress for far longer than any step may take
    NoEvent,       // the engine went idle without raising an outcome
    Interrupted,   // the user asked the tool to stop before the outcome
    Disconnected,  // the device went away before the outcome
};

const char *outcome_name(Outcome o);

class EngineRunner {
  public:
    // Drives `record` with frames going to `transport`. The caller initialises the record with
    // iap_cmd_tx and iap_evnet_callback (engine_hooks.h) and sets its buffer fields.
    EngineRunner(Transport &transport, iap_env_t &record);
    EngineRunner(const EngineRunner &) = delete;
    EngineRunner &operator=(const EngineRunner &) = delete;

    Transport &transport() { return transport_; }
    iap_env_t &record() { return record_; }

    // The runner whose engine call is under way on this thread, or null outside engine calls.
    static EngineRunner *current();

    // Called with the record after every engine call, inside the engine's lock. Set before start.
    void set_observer(std::function<void(const iap_env_t &)> observer) {
        observer_ = std::move(observer);
    }

    void start(uint32_t addr, uint32_t size, uint32_t iap_addr);
    void on_answer(uint8_t *data, int len);
    void on_tick();

    // Blocks until the run that start() began is over (the engine back in IAP_ST_IDLE) and
    // returns its outcome. Gives up with Stalled when nothing at all happened for stall_limit,
    // and with Interrupted as soon as interrupted() says so (looked at every 100 ms).
    Outcome wait_for_outcome(std::chrono::milliseconds stall_limit,
                             const std::function<bool()> &interrupted = {});

    // The device is gone (its transport says so). A run still under way ends now, with
    // Disconnected, and the engine gets no more ticks: its resends could only fail.
    void on_device_lost();

    // Called by the event hook, inside an engine call.
    void record_event(iap_event_t evt);

  private:
    class CallScope;
    void after_engine_call_locked();

    Transport &transport_;
    iap_env_t &record_;
    std::function<void(const iap_env_t &)> observer_;
    std::mutex engine_mutex_;
    std::condition_variable changed_;
    bool started_ = false;
    bool finished_ = false;
    bool device_lost_ = false;
    bool lost_before_outcome_ = false;
    std::optional<iap_event_t> last_event_;
    std::optional<iap_event_t> outcome_event_;  // the last event when the run went idle
    uint64_t activity_ = 0;  // bumped by every answer and every tick that changes the record
};

}  // namespace host
