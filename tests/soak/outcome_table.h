// Counts of runs by fault kind (rows) and outcome (columns), and their printed form.
#pragma once

#include <array>
#include <string>

#include "run_plan.h"
#include "run_verdict.h"

namespace soak {

class OutcomeTable {
  public:
    void add(FaultClass row, OutcomeColumn column);
    int count(FaultClass row, OutcomeColumn column) const;
    int row_total(FaultClass row) const;
    int column_total(OutcomeColumn column) const;
    int total() const;
    // One header line, one line per fault kind, then the totals.
    std::string render() const;

  private:
    std::array<std::array<int, kOutcomeColumnCount>, kFaultClassCount> counts_{};
};

}  // namespace soak
