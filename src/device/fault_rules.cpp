#include "device/fault_rules.h"

#include <algorithm>

namespace sim {

namespace {

// The occasion a rule counts: per command, or over all commands for "any".
bool hits(const FaultRule &rule, uint8_t command, uint32_t nth_of_command, uint32_t nth_overall) {
    if (!rule.matches(command)) {
        return false;
    }
    return rule.nth == (rule.command == kAnyCommand ? nth_overall : nth_of_command);
}

bool acts_on_frames(FaultKind kind) {
    return kind == FaultKind::kUnplug || kind == FaultKind::kFailWrite;
}

}  // namespace

AnswerFaults FaultSchedule::for_answer(uint8_t command, uint32_t nth_of_command,
                                       uint32_t nth_overall) const {
    AnswerFaults faults;
    for (const FaultRule &rule : rules_) {
        if (acts_on_frames(rule.kind) || !hits(rule, command, nth_of_command, nth_overall)) {
            continue;
        }
        switch (rule.kind) {
            case FaultKind::kDrop:
                faults.drop = true;
                break;
            case FaultKind::kDup:
                faults.dup = true;
                break;
            case FaultKind::kDelay:
                faults.delay_ticks = std::max(faults.delay_ticks, rule.arg);
                break;
            case FaultKind::kError:
                if (!faults.error) {
                    faults.error = true;
                    // A zero result would read as success, which a refusal must never do.
                    faults.error_result = (rule.arg == 0 || rule.arg > 0xFF)
                                              ? kDefaultErrorResult
                                              : static_cast<uint8_t>(rule.arg);
                }
                break;
            case FaultKind::kCorrupt:
                if (!faults.corrupt) {
                    faults.corrupt = true;
                    faults.corrupt_offset = rule.arg;
                }
                break;
            case FaultKind::kNoErase:
                faults.no_erase = true;
                break;
            case FaultKind::kUnplug:
            case FaultKind::kFailWrite:
                break;
        }
    }
    return faults;
}

FrameFault FaultSchedule::for_frame(uint8_t command, uint32_t nth_of_command,
                                    uint32_t nth_overall) const {
    FrameFault fault = FrameFault::kNone;
    for (const FaultRule &rule : rules_) {
        if (!acts_on_frames(rule.kind) || !hits(rule, command, nth_of_command, nth_overall)) {
            continue;
        }
        if (rule.kind == FaultKind::kUnplug) {
            return FrameFault::kUnplug;
        }
        fault = FrameFault::kFailWrite;
    }
    return fault;
}

}  // namespace sim
