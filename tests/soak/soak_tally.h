// What the soak learns from each ended run: the outcome table, the corruption that was caught, and
// every run that broke an invariant, crashed, leaked or hung.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "outcome_table.h"
#include "run_executor.h"

namespace soak {

struct Failure {
    uint64_t seed = 0;
    std::vector<std::string> reasons;
    std::string transcript;
};

class SoakTally {
  public:
    // Counts one ended run, whose plan had the given fault kind.
    void add(const RunEnd &end, FaultClass row);

    const OutcomeTable &table() const { return table_; }
    const std::vector<Failure> &failures() const { return failures_; }
    // Runs whose only fault is that a clean schedule failed: they await re-runs.
    const std::vector<Failure> &suspects() const { return suspects_; }
    // Decides a suspect by its re-runs: a failure when every one failed too.
    void settle(uint64_t seed, int reruns, int failed_reruns);
    // Suspects that succeeded when run again: starved threads at the chosen tick, most likely.
    int passed_on_rerun() const { return passed_on_rerun_; }
    int runs() const { return table_.total(); }
    // Runs that ended with a flipped bit still in a verified page (none may end in success).
    int corruption_seen() const { return corruption_seen_; }

  private:
    OutcomeTable table_;
    std::vector<Failure> failures_;
    std::vector<Failure> suspects_;
    int corruption_seen_ = 0;
    int passed_on_rerun_ = 0;
};

}  // namespace soak
