#include "host/records/unit_values.h"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace host {

namespace {

using base::Error;
using base::ErrorCode;

constexpr uint64_t kLargest = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());

}  // namespace

base::Status check_unit_series(const UnitSeries &series) {
    if (series.field.empty()) {
        return Error(ErrorCode::InvalidInput, "a unit field needs a name");
    }
    if (series.field.find('\0') != std::string::npos) {
        return Error(ErrorCode::InvalidInput, "a unit field's name holds a NUL byte");
    }
    if (series.is_list) {
        for (const uint64_t n : series.list) {
            if (n > kLargest) {
                return Error(ErrorCode::InvalidInput, "the unit field " + series.field +
                                                          "'s list holds " + std::to_string(n) +
                                                          ", past the largest value " +
                                                          std::to_string(kLargest));
            }
        }
        return {};
    }
    if (series.first > series.last || series.last > kLargest) {
        return Error(ErrorCode::InvalidInput,
                     "the unit field " + series.field + "'s range " + std::to_string(series.first) +
                         "-" + std::to_string(series.last) +
                         " is not a range of values from 0 to " + std::to_string(kLargest));
    }
    return {};
}

uint64_t ListMarks::fingerprint(const std::vector<uint64_t> &list) {
    uint64_t hash = 14695981039346656037ull ^ list.size();
    for (const uint64_t n : list) {
        hash = (hash ^ n) * 1099511628211ull;
    }
    return hash;
}

size_t ListMarks::start(const UnitSeries &series) const {
    const auto it = marks_.find(series.field);
    if (it == marks_.end() || it->second.fingerprint != fingerprint(series.list)) {
        return 0;
    }
    return std::min(it->second.index, series.list.size());
}

void ListMarks::passed(const UnitSeries &series, size_t index) {
    marks_[series.field] = Mark{fingerprint(series.list), index};
}

}  // namespace host
