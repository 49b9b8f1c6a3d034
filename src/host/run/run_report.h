// What the tool observed of an update, and the outcome it reports from it: a status, an exit
// status and, for a failure, the reason in words.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/events/outcome.h"

namespace host {

// The step sent last: its command, where, how often, and the device's refusals of it.
struct StepFacts {
    uint8_t command = 0;
    bool has_addr = false;
    uint32_t flash_addr = 0;  // for unlock and reboot: the start of the range being programmed
    unsigned sends = 0;
    bool delivered = false;  // at least one of its sends was written to the device
    unsigned refusals = 0;
    uint8_t result_code = 0;  // of the last refusal
};

struct RunFacts {
    uint64_t bytes = 0;  // bytes of both ranges done, as the progress shows them
    uint64_t total_bytes = 0;
    // --skip-unchanged: of `bytes`, those of sectors the survey found already current, which
    // were not programmed.
    uint64_t unchanged_bytes = 0;
    std::vector<RangeCheck> verified;
    std::optional<RangeCheck> mismatch;
    bool verify_only = false;          // the run only compared the ranges (--verify)
    std::vector<RangeCheck> compared;  // what each range's comparison found

    StepFacts last_step;
    bool disconnected = false;  // a read from the device failed: it is gone
    unsigned failed_writes = 0;
};

// interrupt_status: 0, or the exit status an interruption asked for (130, 143).
RunReport make_run_report(const RunFacts &facts, Outcome outcome, int interrupt_status,
                          double seconds);

// "unlock", "erase", "page write", "check", "reboot", ... for a command code.
const char *step_name(uint8_t command);

}  // namespace host
