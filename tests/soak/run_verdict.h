// Judging one finished run: what it printed, its exit status and the flash it left, against the
// invariants every run must keep whatever faults it was given.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "run_plan.h"

namespace soak {

// Column of the outcome table: the run's last event line.
enum class OutcomeColumn { kSuccess, kTimeout, kError, kOther };
constexpr int kOutcomeColumnCount = 4;
const char *outcome_column_name(OutcomeColumn c);

// What a run left behind.
struct RunObservation {
    int exit_status = -1;
    std::string console;         // every line the tool printed through its console
    std::string errors;          // its standard error
    std::vector<uint8_t> flash;  // the --sim-flash file; empty when none was written
};

struct Verdict {
    OutcomeColumn outcome = OutcomeColumn::kOther;
    int exit_status = -1;
    bool corruption_seen = false;  // a verified page still held one flipped bit at the end
    // No rule could hit, yet the update failed. Kept apart from the violations: besides a fault
    // of the tool, a thread starved past a step's budget of 10 ticks does this at a fast tick,
    // so the soak runs such a seed again before it calls it a failure.
    bool clean_run_failed = false;
    std::vector<std::string> violations;

    bool ok() const { return violations.empty(); }
};

Verdict judge_run(const RunPlan &plan, const RunObservation &seen);

// The event lines of a console transcript in order; "unknown error !" reads as kOther.
std::vector<OutcomeColumn> event_lines(const std::string &console);

// Start addresses of the pages inside [begin, end) that differ from expected in exactly one
// bit: the trace a corrupt fault leaves, and one no other fault can (a page is programmed whole
// or not at all). A page still erased is passed over: it was never written, even when the data
// meant for it is 0xFF but for one bit.
std::vector<uint32_t> single_bit_pages(const std::vector<uint8_t> &flash,
                                       const std::vector<uint8_t> &expected, uint32_t begin,
                                       uint32_t end);

// Text form of a verdict, as a soak child process hands it to its parent.
std::string encode_verdict(const Verdict &v);
// False when the text is not a whole verdict (the child died while writing it, or before).
bool decode_verdict(const std::string &text, Verdict &out);

}  // namespace soak
