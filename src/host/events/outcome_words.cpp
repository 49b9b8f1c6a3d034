#include <cstdio>

#include "base/text.h"
#include "host/events/exit_status.h"
#include "host/events/outcome.h"

namespace host {

namespace {

template <typename E>
struct Word {
    E value;
    const char *word;
};

constexpr Word<Outcome> kOutcomes[] = {
    {Outcome::Success, "success"},
    {Outcome::Timeout, "timeout"},
    {Outcome::Error, "error"},
    {Outcome::Stalled, "stalled"},
    {Outcome::NoEvent, "no-event"},
    {Outcome::Interrupted, "interrupted"},
    {Outcome::Disconnected, "disconnected"},
    {Outcome::WrongProduct, "wrong product"},
};

constexpr Word<Status> kStatuses[] = {
    {Status::Success, "success"},         {Status::Failed, "failed"},
    {Status::Interrupted, "interrupted"}, {Status::BadInput, "bad-input"},
    {Status::NoDevice, "no-device"},      {Status::NoPermission, "no-permission"},
    {Status::Current, "current"},
};

constexpr Word<Cause> kCauses[] = {
    {Cause::None, ""},
    {Cause::CrcMismatch, "crc_mismatch"},
    {Cause::Disconnected, "disconnected"},
    {Cause::NoProgress, "no_progress"},
    {Cause::Refused, "refused"},
    {Cause::NotAnswered, "not_answered"},
    {Cause::Interrupted, "interrupted"},
    {Cause::SimFlash, "sim_flash"},
    {Cause::WrongProduct, "wrong_product"},
    // A run refused before any device carries its status as its cause too.
    {Cause::BadInput, "bad-input"},
    {Cause::NoDevice, "no-device"},
    {Cause::NoPermission, "no-permission"},
    {Cause::Differs, "differs"},
    {Cause::Record, "record"},
};

template <typename E, size_t N>
const char *word_of(const Word<E> (&table)[N], E value) {
    for (const Word<E> &w : table) {
        if (w.value == value) {
            return w.word;
        }
    }
    return "?";
}

Cause cause_of_refusal(Status s) {
    switch (s) {
        case Status::BadInput:
            return Cause::BadInput;
        case Status::NoDevice:
            return Cause::NoDevice;
        case Status::NoPermission:
            return Cause::NoPermission;
        case Status::Interrupted:
            return Cause::Interrupted;
        default:
            return Cause::None;
    }
}

}  // namespace

const char *outcome_word(Outcome o) {
    return word_of(kOutcomes, o);
}
const char *status_word(Status s) {
    return word_of(kStatuses, s);
}
const char *cause_word(Cause c) {
    return word_of(kCauses, c);
}

const char *range_file(unsigned range) {
    return range == 1 ? "image" : "TTS";
}

void RunReport::fail_after_success(Cause why, std::string words) {
    if (!succeeded()) {
        return;
    }
    status = Status::Failed;
    exit_status = kExitFailed;
    cause = why;
    reason = std::move(words);
}

RunReport refusal_report(Status status, int exit_status, std::string reason) {
    RunReport r;
    r.status = status;
    r.exit_status = exit_status;
    r.cause = cause_of_refusal(status);
    r.reason = std::move(reason);
    return r;
}

RunReport wrong_product_report(std::string reason, uint64_t total_bytes) {
    RunReport r;
    r.engine_outcome = Outcome::WrongProduct;
    r.cause = Cause::WrongProduct;
    r.reason = std::move(reason);
    r.total_bytes = total_bytes;
    return r;
}

std::string outcome_line(const RunReport &r, const std::string &tag) {
    const std::string head = tag.empty() ? "hidiap: " : "hidiap: [" + tag + "] ";
    const double rate = r.seconds > 0 ? static_cast<double>(r.bytes) / 1024.0 / r.seconds : 0;
    const std::string figures =
        base::format("%llu of %llu bytes programmed in %.2f s (%.1f KiB/s)",
                     static_cast<unsigned long long>(r.bytes),
                     static_cast<unsigned long long>(r.total_bytes), r.seconds, rate);
    if (r.status == Status::Current) {
        return head + "verify succeeded: the device already holds both files\n";
    }
    if (r.cause == Cause::Differs) {
        return head + "verify failed: " + r.reason + "\n";
    }
    if (r.succeeded()) {
        return head + "update succeeded: " + figures + ", every range verified" +
               (r.reason.empty() ? "" : " (" + r.reason + ")") + "\n";
    }
    if (r.status == Status::Interrupted) {
        std::string verified;
        for (const RangeCheck &c : r.verified) {
            verified += base::format("%s%s 0x%06x-0x%06x", verified.empty() ? "" : ", ",
                                     range_file(c.range), c.flash_addr, c.flash_addr + c.size);
        }
        return head + "update " + r.reason + " after " + figures +
               "; verified: " + (verified.empty() ? std::string("none") : verified) +
               ". The device may be left partly programmed and needs a new update.\n";
    }
    return head + base::format("update failed (%s): ", outcome_word(r.engine_outcome)) + r.reason +
           "; " + figures + "\n";
}

}  // namespace host
