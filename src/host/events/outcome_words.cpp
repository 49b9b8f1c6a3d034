#include <cstdio>

#include "base/text.h"
#include "host/events/exit_status.h"
#include "host/events/outcome.h"

namespace host {

namespace {

template <typename E, typename W>
struct Entry {
    E value;
    W words;
};

constexpr Entry<Outcome, const char *> kOutcomes[] = {
    {Outcome::Success, "success"},
    {Outcome::Timeout, "timeout"},
    {Outcome::Error, "error"},
    {Outcome::Stalled, "stalled"},
    {Outcome::NoEvent, "no-event"},
    {Outcome::Interrupted, "interrupted"},
    {Outcome::Disconnected, "disconnected"},
    {Outcome::WrongProduct, "wrong product"},
    {Outcome::Refused, "refused"},
};

// The JSON word, the record's word, the station's word.
constexpr Entry<Status, StatusWords> kStatuses[] = {
    {Status::Success, {"success", "success", "updated"}},
    {Status::Failed, {"failed", "failed", "FAILED"}},
    {Status::Interrupted, {"interrupted", "interrupted", "interrupted"}},
    {Status::BadInput, {"bad-input", "failed", "FAILED"}},
    {Status::NoDevice, {"no-device", "failed", "FAILED"}},
    {Status::NoPermission, {"no-permission", "failed", "FAILED"}},
    {Status::Current, {"current", "current", "current"}},
};

constexpr Entry<Cause, const char *> kCauses[] = {
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
    {Cause::Downgrade, "downgrade"},
};

// Every value once, in the enum's order: a value's words are found at its own index.
template <typename E, typename W, size_t N>
constexpr bool complete(const Entry<E, W> (&table)[N], int count) {
    for (size_t i = 0; i < N; i++) {
        if (static_cast<size_t>(table[i].value) != i) {
            return false;
        }
    }
    return N == static_cast<size_t>(count);
}

static_assert(complete(kOutcomes, kOutcomeCount), "one word per outcome, in order");
static_assert(complete(kStatuses, kStatusCount), "one set of words per status, in order");
static_assert(complete(kCauses, kCauseCount), "one word per cause, in order");

template <typename E, typename W, size_t N>
const W &words_of(const Entry<E, W> (&table)[N], E value) {
    const auto i = static_cast<size_t>(value);
    return table[i < N ? i : 0].words;
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
    return words_of(kOutcomes, o);
}
const StatusWords &status_words(Status s) {
    return words_of(kStatuses, s);
}
const char *status_word(Status s) {
    return status_words(s).word;
}
const char *cause_word(Cause c) {
    return words_of(kCauses, c);
}

const char *range_file(unsigned range) {
    return range == 1 ? "image" : "TTS";
}

void RunReport::fail_after_success(Cause why, std::string words) {
    if (!succeeded()) {
        return;
    }
    device_status = status;
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

RunReport board_refusal_report(const BoardRefusal &refusal, uint64_t total_bytes) {
    if (refusal.cause == Cause::WrongProduct) {
        return wrong_product_report(refusal.reason, total_bytes);
    }
    RunReport r;
    r.engine_outcome = Outcome::Refused;
    r.cause = refusal.cause;
    r.reason = refusal.reason;
    r.total_bytes = total_bytes;
    return r;
}

namespace {

std::string figures_of(const RunReport &r) {
    const double rate = r.seconds > 0 ? static_cast<double>(r.bytes) / 1024.0 / r.seconds : 0;
    return base::format("%llu of %llu bytes programmed in %.2f s (%.1f KiB/s)",
                        static_cast<unsigned long long>(r.bytes),
                        static_cast<unsigned long long>(r.total_bytes), r.seconds, rate);
}

// Overlapping ranges: the image bytes the flash holds from the TTS data's sectors; "" for none.
std::string replaced_words(const ReplacedBytes &x) {
    if (x.to == 0) {
        return "";
    }
    return base::format("the TTS data's sectors replaced the image's bytes 0x%06x-0x%06x", x.from,
                        x.to) +
           (x.to > x.data_end ? base::format(" (0x%06x-0x%06x left erased)", x.data_end, x.to)
                              : std::string());
}

std::string success_words(const RunReport &r) {
    std::string notes = r.reason;
    if (r.unchanged_bytes != 0) {
        notes += base::format("%s%llu bytes already current", notes.empty() ? "" : "; ",
                              static_cast<unsigned long long>(r.unchanged_bytes));
    }
    const std::string replaced = replaced_words(r.replaced);
    return "update succeeded: " + figures_of(r) + ", every range verified" +
           (notes.empty() ? "" : " (" + notes + ")") + (replaced.empty() ? "" : "; " + replaced);
}

std::string interrupted_words(const RunReport &r) {
    std::string verified;
    for (const RangeCheck &c : r.verified) {
        verified += base::format("%s%s 0x%06x-0x%06x", verified.empty() ? "" : ", ",
                                 range_file(c.range), c.flash_addr, c.flash_addr + c.size);
    }
    return "update " + r.reason + " after " + figures_of(r) +
           "; verified: " + (verified.empty() ? std::string("none") : verified) +
           ". The device may be left partly programmed and needs a new update.";
}

std::string outcome_words(const RunReport &r) {
    if (r.status == Status::Current) {
        const std::string replaced = replaced_words(r.replaced);
        return "verify succeeded: the device already holds both files" +
               (replaced.empty() ? "" : ", as an update leaves them: " + replaced);
    }
    if (r.cause == Cause::Differs) {
        return "verify failed: " + r.reason;
    }
    // The device did its part; what the user asked for after it could not be done.
    if (r.device_status == Status::Current) {
        return "verify failed: the device already holds both files, but " + r.reason;
    }
    if (r.device_status == Status::Success) {
        return "update failed: the device was updated and every range verified, but " + r.reason +
               "; " + figures_of(r);
    }
    if (r.succeeded()) {
        return success_words(r);
    }
    if (r.status == Status::Interrupted) {
        return interrupted_words(r);
    }
    return base::format("update failed (%s): ", outcome_word(r.engine_outcome)) + r.reason + "; " +
           figures_of(r);
}

}  // namespace

std::string outcome_line(const RunReport &r, const std::string &tag) {
    return (tag.empty() ? "hidiap: " : "hidiap: [" + tag + "] ") + outcome_words(r) + "\n";
}

}  // namespace host
