// Owns one engine record's exclusion: start, answers and ticks arrive on three threads, and one
// mutex per record makes them take turns. Every frame of a device is written inside one of them,
// so the same lock also keeps two reports from being written to that device at once.
//
// The engine's hooks carry no device. Each runner marks itself as this thread's current runner
// for the length of every engine call it makes, and the hooks (declared here, defined with the
// runner: they are one component) act on that runner: its transport for frames, its outcome for
// events. Several runners (one per device) can run at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>

#include "engine/iap.h"
#include "host/events/outcome.h"
#include "host/link/transport.h"
#include "host/platform/env.h"

// The engine's two hooks as the tool implements them: a frame goes to the device in one output
// report; an event becomes one console line. Both act on the runner whose engine call is under
// way on this thread; outside one they send nothing.
// Puts the frame in output report 1 (cut to 63 bytes) and writes it; a failed write is dumped.
void iap_cmd_tx(uint8_t *dat, int len);
// Prints the event's line and hands the event to the running update.
void iap_evnet_callback(iap_event_t evt);
// Prints len bytes as lines of `number` hex bytes, each line led by its offset.
void dump_hex(const uint8_t *p_dat, int len, int number);

namespace host {

// Sets `record` up afresh for a run of the tool's two files: the hooks above, the image buffer
// (the tool's img_file, of IMG_FILE_BUF_SIZE bytes), two buffers to program, and whether unchanged
// sectors and blank pages are skipped. Every record the tool drives starts here.
void prepare_record(iap_env_t &record, uint8_t *image, uint32_t image_capacity, bool skip_unchanged,
                    bool skip_blank = false);

class EngineRunner {
  public:
    // Drives `record` with frames going to `transport`. The caller initialises the record with
    // iap_cmd_tx and iap_evnet_callback and sets its buffer fields.
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
    // Like start, but the run only compares the ranges with the device's (iap_verify_start).
    void verify(uint32_t addr, uint32_t size, uint32_t iap_addr);
    void on_answer(uint8_t *data, int len);
    // One tick, made at once: for a caller that makes every engine call on one thread (the
    // browser's event loop), whose answers are all in before its timer's tick.
    void on_tick();

    // With a reader thread that hands the device's answers over (host/workers). The tick thread
    // calls on_scheduled_tick: a tick that only counts a step's budget down is made at once, but
    // one that would spend the last of it (a resend, a page write's retry, the time-out) waits
    // for the reader, which makes it (settle_tick) once every answer the device has already
    // delivered is in the engine: an answer that waits to be read is never resent over. While a
    // tick waits, later ones are dropped, since a late reader must not spend the budget either;
    // a reader that does not come back within a second (stuck in a write to a hung device) has
    // the waiting tick made by the tick thread after all.
    void on_scheduled_tick();
    // The reader, after a read that found nothing (or failed): makes the tick that waits, if any.
    void settle_tick();
    // The reader: whether a tick waits for it; and, while none does, how many ticks the engine
    // counts down before the one that will (0: the next), or none when no tick will.
    bool tick_waiting();
    std::optional<uint32_t> ticks_before_one_waits();

    // Blocks until the run that start() began is over (the engine back in IAP_ST_IDLE) and
    // returns its outcome. Gives up with Stalled when nothing at all happened for stall_limit,
    // and with Interrupted as soon as interrupted() says so (looked at every 100 ms).
    Outcome wait_for_outcome(std::chrono::milliseconds stall_limit,
                             const std::function<bool()> &interrupted = {});
    // The outcome of the run start() began once it is over, and none while it goes on: for a
    // caller that makes every engine call itself on one thread (the browser's event loop) and so
    // must not block.
    std::optional<Outcome> outcome_if_over();
    // True once no answer reaches the engine any more (its outcome fixed, or the run halted).
    bool takes_no_answers();

    // The device is gone (its transport says so). A run still under way ends now, with
    // Disconnected, and the engine gets no more ticks: its resends could only fail.
    void on_device_lost();

    // The run is being reported: no answer or tick reaches the engine any more, so nothing more
    // is sent to the device (an interrupted or stalled run would otherwise go on resending).
    void halt();

  private:
    friend void ::iap_evnet_callback(iap_event_t evt);

    class CallScope;
    bool ticks_counted_locked() const { return started_ && !device_lost_ && !halted_; }
    void tick_locked();
    void begin(uint32_t (*engine_start)(iap_env_t *, uint32_t, uint32_t, uint32_t), uint32_t addr,
               uint32_t size, uint32_t iap_addr);
    void after_engine_call_locked();
    Outcome finished_outcome_locked() const;

    Transport &transport_;
    iap_env_t &record_;
    std::function<void(const iap_env_t &)> observer_;
    std::mutex engine_mutex_;
    Signal changed_;
    bool started_ = false;
    bool finished_ = false;
    bool device_lost_ = false;
    bool halted_ = false;
    bool lost_before_outcome_ = false;
    std::optional<iap_event_t> last_event_;
    std::optional<iap_event_t> outcome_event_;  // the last event when the run went idle
    uint64_t activity_ = 0;  // bumped by every answer and every tick that changes the record
    bool tick_waiting_ = false;
    SteadyTime tick_waiting_since_{};
};

}  // namespace host
