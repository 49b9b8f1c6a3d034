#include "soak_tally.h"

#include <string.h>

#include <algorithm>
#include <cstdio>

#include "run_verdict.h"

namespace soak {

namespace {

constexpr char kCleanRunFailed[] = "no fault could hit (a clean run), yet the update failed";

// Why a run's process did not hand back a verdict, or "" when it did.
std::string process_failure(const RunEnd &end, bool decoded) {
    char text[160];
    if (end.hung) {
        std::snprintf(text, sizeof text, "hang: the run did not end within its bound (%.1f s)",
                      end.seconds);
        return text;
    }
    if (end.signal != 0) {
        std::snprintf(text, sizeof text, "crash: the run's process was killed by signal %d (%s)",
                      end.signal, strsignal(end.signal));
        return text;
    }
    if (end.exited && end.exit_code != 0) {
        std::snprintf(text, sizeof text,
                      "the run's process exited with status %d (a sanitizer or leak report, or "
                      "an exception; see its output)",
                      end.exit_code);
        return text;
    }
    if (!decoded) {
        return "the run ended without handing back a verdict";
    }
    return "";
}

}  // namespace

void SoakTally::add(const RunEnd &end, FaultClass row) {
    Verdict verdict;
    const bool decoded = decode_verdict(end.report, verdict);
    std::vector<std::string> reasons;
    const std::string broken = process_failure(end, decoded);
    if (!broken.empty()) {
        reasons.push_back(broken);
    }
    if (decoded) {
        reasons.insert(reasons.end(), verdict.violations.begin(), verdict.violations.end());
        corruption_seen_ += verdict.corruption_seen ? 1 : 0;
    }
    table_.add(row, decoded ? verdict.outcome : OutcomeColumn::kOther);
    const bool clean_run_failed = decoded && verdict.clean_run_failed;
    if (!reasons.empty()) {
        if (clean_run_failed) {
            reasons.push_back(kCleanRunFailed);
        }
        failures_.push_back(Failure{end.seed, reasons, end.transcript});
    } else if (clean_run_failed) {
        suspects_.push_back(Failure{end.seed, {kCleanRunFailed}, end.transcript});
    }
}

void SoakTally::settle(uint64_t seed, int reruns, int failed_reruns) {
    const auto it = std::find_if(suspects_.begin(), suspects_.end(),
                                 [seed](const Failure &f) { return f.seed == seed; });
    if (it == suspects_.end()) {
        return;
    }
    if (failed_reruns < reruns) {
        passed_on_rerun_++;
    } else {
        Failure f = *it;
        f.reasons.front() += " (and again in " + std::to_string(failed_reruns) + " of " +
                             std::to_string(reruns) + " re-runs)";
        failures_.push_back(f);
    }
    suspects_.erase(it);
}

}  // namespace soak
