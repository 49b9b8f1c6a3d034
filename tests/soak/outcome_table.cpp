#include "outcome_table.h"

#include <cstdio>

namespace soak {

void OutcomeTable::add(FaultClass row, OutcomeColumn column) {
    counts_[static_cast<size_t>(row)][static_cast<size_t>(column)]++;
}

int OutcomeTable::count(FaultClass row, OutcomeColumn column) const {
    return counts_[static_cast<size_t>(row)][static_cast<size_t>(column)];
}

int OutcomeTable::row_total(FaultClass row) const {
    int sum = 0;
    for (int c = 0; c < kOutcomeColumnCount; c++) {
        sum += count(row, static_cast<OutcomeColumn>(c));
    }
    return sum;
}

int OutcomeTable::column_total(OutcomeColumn column) const {
    int sum = 0;
    for (int r = 0; r < kFaultClassCount; r++) {
        sum += count(static_cast<FaultClass>(r), column);
    }
    return sum;
}

int OutcomeTable::total() const {
    int sum = 0;
    for (int r = 0; r < kFaultClassCount; r++) {
        sum += row_total(static_cast<FaultClass>(r));
    }
    return sum;
}

std::string OutcomeTable::render() const {
    std::string text;
    char line[128];
    std::snprintf(line, sizeof line, "%-12s", "fault kind");
    text += line;
    for (int c = 0; c < kOutcomeColumnCount; c++) {
        std::snprintf(line, sizeof line, "%9s", outcome_column_name(static_cast<OutcomeColumn>(c)));
        text += line;
    }
    text += "    total\n";
    for (int r = 0; r < kFaultClassCount; r++) {
        const auto row = static_cast<FaultClass>(r);
        std::snprintf(line, sizeof line, "%-12s", fault_class_name(row));
        text += line;
        for (int c = 0; c < kOutcomeColumnCount; c++) {
            std::snprintf(line, sizeof line, "%9d", count(row, static_cast<OutcomeColumn>(c)));
            text += line;
        }
        std::snprintf(line, sizeof line, "%9d\n", row_total(row));
        text += line;
    }
    std::snprintf(line, sizeof line, "%-12s", "all");
    text += line;
    for (int c = 0; c < kOutcomeColumnCount; c++) {
        std::snprintf(line, sizeof line, "%9d", column_total(static_cast<OutcomeColumn>(c)));
        text += line;
    }
    std::snprintf(line, sizeof line, "%9d\n", total());
    return text + line;
}

}  // namespace soak
