#include "host/run/engine_runner.h"

#include <algorithm>
#include <cstring>

#include "console/console.h"

namespace host {

void prepare_record(iap_env_t &record, uint8_t *image, uint32_t image_capacity, bool skip_unchanged,
                    bool skip_blank) {
    record = iap_env_t{};
    record.update_file_num = 2;
    iap_init(&record, iap_cmd_tx, iap_evnet_callback);
    record.local_img_buf = image;
    record.local_img_buf_size = static_cast<int>(image_capacity);
    record.skip_unchanged = skip_unchanged ? 1 : 0;
    record.skip_blank = skip_blank ? 1 : 0;
}

namespace {

thread_local EngineRunner *current_runner = nullptr;

// A waiting tick the reader has not made in this long is made by the tick thread: the reader is
// stuck, not merely late, and can hand over no answer anyway.
constexpr std::chrono::seconds kReaderGrace{1};

// Whether the engine's next tick does more than count a step's budget down: it resends the step,
// spends a retry of a page write, or times the run out. Outside an engine call no transition is
// under way.
bool tick_acts(const iap_env_t &record) {
    return record.state != IAP_ST_IDLE && record.state_change == 0 && record.tick_cnt == 0;
}

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
    begin(iap_start, addr, size, iap_addr);
}

void EngineRunner::verify(uint32_t addr, uint32_t size, uint32_t iap_addr) {
    begin(iap_verify_start, addr, size, iap_addr);
}

void EngineRunner::begin(uint32_t (*engine_start)(iap_env_t *, uint32_t, uint32_t, uint32_t),
                         uint32_t addr, uint32_t size, uint32_t iap_addr) {
    std::lock_guard<std::mutex> lock(engine_mutex_);
    // A run already over (its device found gone and its outcome told) sends nothing more: a
    // start now would print its failed frames after the outcome line.
    if (halted_) {
        return;
    }
    const CallScope scope(this);
    tick_waiting_ = false;
    engine_start(&record_, addr, size, iap_addr);
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
    if (finished_ || halted_) {
        return;
    }
    const CallScope scope(this);
    iap_rx_callback(&record_, data, len);
    activity_++;
    after_engine_call_locked();
}

void EngineRunner::on_tick() {
    std::lock_guard<std::mutex> lock(engine_mutex_);
    // Before its start a record has nothing to count down, and its observer must not report on
    // it yet: the device's first event is its plan.
    if (ticks_counted_locked()) {
        tick_locked();
    }
}

void EngineRunner::on_scheduled_tick() {
    std::lock_guard<std::mutex> lock(engine_mutex_);
    if (!ticks_counted_locked()) {
        return;
    }
    const SteadyTime now = env().now();
    if (tick_waiting_) {
        if (now - tick_waiting_since_ < kReaderGrace) {
            return;
        }
        tick_waiting_ = false;
    } else if (tick_acts(record_)) {
        tick_waiting_ = true;
        tick_waiting_since_ = now;
        return;
    }
    tick_locked();
}

void EngineRunner::settle_tick() {
    std::lock_guard<std::mutex> lock(engine_mutex_);
    if (!tick_waiting_) {
        return;
    }
    tick_waiting_ = false;
    if (ticks_counted_locked()) {
        tick_locked();
    }
}

bool EngineRunner::tick_waiting() {
    std::lock_guard<std::mutex> lock(engine_mutex_);
    return tick_waiting_;
}

std::optional<uint32_t> EngineRunner::ticks_before_one_waits() {
    std::lock_guard<std::mutex> lock(engine_mutex_);
    if (!ticks_counted_locked() || tick_waiting_ || record_.state == IAP_ST_IDLE) {
        return std::nullopt;
    }
    return record_.tick_cnt;
}

void EngineRunner::tick_locked() {
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

void EngineRunner::halt() {
    std::lock_guard<std::mutex> lock(engine_mutex_);
    halted_ = true;
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
    auto last_progress = env().now();
    while (!finished_) {
        changed_.wait_for(lock, std::chrono::milliseconds(100));
        if (interrupted && interrupted()) {
            return Outcome::Interrupted;
        }
        const auto now = env().now();
        if (activity_ != seen) {
            seen = activity_;
            last_progress = now;
        } else if (now - last_progress >= stall_limit) {
            return Outcome::Stalled;
        }
    }
    return finished_outcome_locked();
}

std::optional<Outcome> EngineRunner::outcome_if_over() {
    std::lock_guard<std::mutex> lock(engine_mutex_);
    if (!finished_) {
        return std::nullopt;
    }
    return finished_outcome_locked();
}

bool EngineRunner::takes_no_answers() {
    std::lock_guard<std::mutex> lock(engine_mutex_);
    return finished_ || halted_;
}

Outcome EngineRunner::finished_outcome_locked() const {
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

void dump_hex(const uint8_t *p_dat, int len, int number) {
    if (number <= 0) {
        return;
    }
    for (int i = 0; i < len; i += number) {
        console_printf("[%08x]: ", static_cast<unsigned>(i));
        for (int j = i; j < i + number && j < len; j++) {
            console_printf("%02x ", p_dat[j]);
        }
        console_printf("\n");
    }
}

void iap_cmd_tx(uint8_t *dat, int len) {
    host::EngineRunner *runner = host::EngineRunner::current();
    if (runner == nullptr) {
        return;
    }
    uint8_t report[host::kReportSize] = {0x01};
    const int n = std::clamp(len, 0, static_cast<int>(host::kReportSize) - 1);
    std::memcpy(report + 1, dat, static_cast<size_t>(n));
    if (runner->transport().write(report, sizeof report) < 0) {
        dump_hex(report, sizeof report, 16);
    }
}

void iap_evnet_callback(iap_event_t evt) {
    host::EngineRunner *runner = host::EngineRunner::current();
    // A run that only compares ranges says what it found in its own words.
    const bool verifying =
        runner != nullptr && (runner->record_.state == IAP_ST_FLASH_VERIFY_RANGE ||
                              runner->record_.state == IAP_ST_FLASH_VERIFY_SECTOR);
    switch (evt) {
        case IAP_EVT_SUCCESS:
            console_printf(verifying ? "Firmware already current !\r\n"
                                     : "Firmware updated successfully !\r\n");
            break;
        case IAP_EVT_CMD_RX_TIMEOUT:
            console_printf("IAP_EVT_CMD_RX_TIMEOUT\r\n");
            break;
        case IAP_EVT_CMD_ERROR:
            console_printf(verifying && runner->record_.crc_flag == IAP_CRC_FAIL
                               ? "Firmware differs !\r\n"
                               : "IAP_EVT_CMD_ERROR\r\n");
            break;
        default:
            console_printf("unknown error !\r\n");
            break;
    }
    if (runner != nullptr) {
        runner->last_event_ = evt;
    }
}
