#include "host/run/run_report.h"

#include <algorithm>

#include "base/text.h"
#include "engine/iap.h"
#include "host/events/exit_status.h"

namespace host {

namespace {

std::string where(const StepFacts &s) {
    return s.has_addr ? base::format(" at 0x%06x", s.flash_addr)
                      : base::format(" of the range at 0x%06x", s.flash_addr);
}

std::string times(unsigned n) {
    return n == 1 ? "once" : base::format("%u times", n);
}

std::string unanswered(const StepFacts &s) {
    if (s.sends == 0) {
        return "the device never answered";
    }
    if (s.command == IAP_CMD_RSP || s.command == 0) {
        return "the device stopped answering";
    }
    std::string text = base::format("the %s%s was not answered; sent %s", step_name(s.command),
                                    where(s).c_str(), times(s.sends).c_str());
    if (s.command == IAP_CMD_FLASH_WRITE_PAGE_BUF) {
        text += " (a page is never sent again)";
    }
    return text;
}

void fill_failure(RunReport &r, const RunFacts &f, Outcome outcome) {
    const StepFacts &s = f.last_step;
    if (f.mismatch) {
        const RangeCheck &m = *f.mismatch;
        r.cause = Cause::CrcMismatch;
        r.reason = base::format(
            "the CRC of the %s range 0x%06x-0x%06x did not match: device 0x%08x, "
            "host 0x%08x",
            range_file(m.range), m.flash_addr, m.flash_addr + m.size, m.device_crc, m.host_crc);
    } else if (f.disconnected || outcome == Outcome::Disconnected) {
        r.cause = Cause::Disconnected;
        r.reason =
            "the device disconnected during the " + std::string(step_name(s.command)) + where(s);
    } else if (outcome == Outcome::Stalled || outcome == Outcome::NoEvent) {
        r.cause = Cause::NoProgress;
        r.reason = outcome == Outcome::Stalled ? "no progress at all: the update stood still"
                                               : "the update stopped without an outcome";
    } else if (s.refusals > 0) {
        r.cause = Cause::Refused;
        r.reason = base::format("the device refused the %s%s with result code 0x%02x (%s); sent %s",
                                step_name(s.command), where(s).c_str(), s.result_code,
                                times(s.refusals).c_str(), times(s.sends).c_str());
    } else {
        r.cause = Cause::NotAnswered;
        r.reason = unanswered(s);
    }
    if (f.failed_writes > 0) {
        r.reason += base::format("; %u report%s could not be written", f.failed_writes,
                                 f.failed_writes == 1 ? "" : "s");
    }
}

// --verify: every range that differs, with both CRCs and, when known, its sectors that differ.
std::string differences(const std::vector<RangeCheck> &compared) {
    std::string text;
    for (const RangeCheck &c : compared) {
        if (c.match) {
            continue;
        }
        text += base::format("%sthe %s range 0x%06x-0x%06x differs: device 0x%08x, host 0x%08x",
                             text.empty() ? "" : "; ", range_file(c.range), c.flash_addr,
                             c.flash_addr + c.size, c.device_crc, c.host_crc);
        for (size_t i = 0; i < c.differing_sectors.size(); i++) {
            text += base::format("%s0x%06x", i == 0 ? ", sectors " : " ", c.differing_sectors[i]);
        }
    }
    return text;
}

// Every range verified and the reboot sent, then the device went away: it rebooted, and its
// answer to the reboot went with it.
bool rebooted_before_answering(const RunFacts &f, Outcome outcome) {
    uint64_t verified = 0;
    for (const RangeCheck &c : f.verified) {
        verified += c.size;
    }
    return (outcome == Outcome::Disconnected || f.disconnected) &&
           f.last_step.command == IAP_CMD_FLASH_REBOOT && f.last_step.delivered &&
           f.total_bytes > 0 && verified >= f.total_bytes;
}

}  // namespace

const char *step_name(uint8_t command) {
    switch (command) {
        case IAP_CMD_FLASH_UNLOCK:
            return "unlock";
        case IAP_CMD_FLASH_LOCK:
            return "lock";
        case IAP_CMD_FLASH_ERASE:
            return "erase";
        case IAP_CMD_FLASH_WRITE:
        case IAP_CMD_FLASH_WRITE_PAGE_BUF:
            return "page write";
        case IAP_CMD_FLASH_CHECK:
            return "check";
        case IAP_CMD_FLASH_REBOOT:
            return "reboot";
        default:
            return "step";
    }
}

RunReport make_run_report(const RunFacts &facts, Outcome outcome, int interrupt_status,
                          double seconds) {
    RunReport r;
    r.bytes = facts.bytes - std::min(facts.bytes, facts.unchanged_bytes);
    r.unchanged_bytes = facts.unchanged_bytes;
    r.total_bytes = facts.total_bytes;
    r.seconds = seconds;
    r.verified = facts.verified;
    r.compared = facts.compared;
    if (facts.mismatch) {
        r.compared.push_back(*facts.mismatch);
    }
    r.engine_outcome = outcome;
    if (interrupt_status != 0) {
        r.status = Status::Interrupted;
        r.exit_status = interrupt_status;
        r.cause = Cause::Interrupted;
        r.reason = interrupt_status == 143 ? "terminated (SIGTERM)" : "interrupted (Ctrl-C)";
    } else if (facts.verify_only && outcome == Outcome::Success) {
        r.status = Status::Current;
        r.exit_status = kExitSuccess;
    } else if (facts.verify_only && !differences(facts.compared).empty()) {
        r.status = Status::Failed;
        r.exit_status = kExitFailed;
        r.cause = Cause::Differs;
        r.reason = differences(facts.compared);
    } else if (outcome == Outcome::Success) {
        r.status = Status::Success;
        r.exit_status = kExitSuccess;
    } else if (rebooted_before_answering(facts, outcome)) {
        r.status = Status::Success;
        r.exit_status = kExitSuccess;
        r.reason = "the device went away after the reboot was sent: it rebooted";
    } else {
        r.status = Status::Failed;
        r.exit_status = kExitFailed;
        fill_failure(r, facts, outcome);
    }
    return r;
}

}  // namespace host
