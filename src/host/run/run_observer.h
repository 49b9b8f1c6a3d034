// Watches an update from outside the engine: every report written to the device, every report
// read from it, and the engine record after every engine call. From these it tells the
// presenters what is happening (phase, erases, progress, checks, refusals, resends) and keeps
// the facts a failure is explained with. The engine's own text is left as it is.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "engine/iap.h"
#include "host/events/run_events.h"
#include "host/run/run_report.h"

namespace host {

class RunObserver {
  public:
    // total_bytes: the programmed sizes of both ranges.
    RunObserver(RunEvents &events, uint64_t total_bytes);

    // An output report (report ID first) and whether it was written.
    void on_report_sent(const uint8_t *report, size_t len, bool written);
    // An input report (report ID first), or len < 0 when the read failed.
    void on_report_received(const uint8_t *report, int len);
    // The record after an engine call.
    void on_record(const iap_env_t &record);

    RunFacts facts();

  private:
    void note_step_locked(uint8_t command, bool has_addr, uint32_t addr, bool written);
    void note_check_locked(const iap_env_t &record);
    void note_survey_locked(const iap_env_t &record);
    void note_verify_locked(const iap_env_t &record);
    void note_progress_locked(const iap_env_t &record);
    uint64_t unchanged_below_locked(uint64_t offset) const;

    RunEvents &events_;
    std::mutex mutex_;
    RunFacts facts_;
    iap_env_t previous_{};
    uint32_t range_start_ = 0;
    uint64_t acknowledged_in_range_ = 0;
    uint32_t last_check_crc_ = 0;
    const char *phase_ = "";
    unsigned phase_range_ = 0;
    uint64_t last_progress_bytes_ = UINT64_MAX;
    // --skip-unchanged: which sectors of the range under way its survey found unchanged, and the
    // bytes of such sectors in the ranges verified before it.
    std::vector<bool> unchanged_sectors_;
    uint32_t surveyed_size_ = 0;
    uint64_t unchanged_verified_ = 0;
};

}  // namespace host
