// What every database's allocation of unit values gives alike, checked on two writers of one
// destination (two stations sharing a file, or two connections to one server): a range lowest
// first, holes given back filled first and only the giver's rows deleted, the end of a range
// (its largest possible value included) and a list in its order.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "host/records/record_writer.h"

namespace test_support {

using UnitNumbers = std::vector<uint64_t>;

// A result's value, its failure said when it has none.
template <typename T>
T value_or_said(base::Result<T> result, const char *what) {
    EXPECT_TRUE(result.ok()) << what << ": " << result.message();
    return result.ok() ? std::move(*result) : T{};
}

inline void expect_range_allocation(host::RecordWriter &east, host::RecordWriter &west) {
    const host::UnitSeries range{"serial", false, 10, 19, {}};
    const auto reserve = [&](host::RecordWriter &w, size_t n, const char *station) {
        return value_or_said(w.reserve_units(range, n, station), station);
    };
    const auto next = [&](host::RecordWriter &w) {
        return value_or_said(w.next_free_unit(range), "next_free_unit");
    };
    EXPECT_EQ(reserve(east, 3, "east"), (UnitNumbers{10, 11, 12}));
    EXPECT_EQ(reserve(west, 3, "west"), (UnitNumbers{13, 14, 15}));
    EXPECT_EQ(next(east), std::optional<uint64_t>(16));
    const base::Status returned = east.return_units("serial", {11, 13}, "east");  // 13 is west's
    ASSERT_TRUE(returned.ok()) << returned.message();
    ASSERT_TRUE(east.return_units("other", {12}, "east").ok());       // another field's
    EXPECT_EQ(next(west), std::optional<uint64_t>(11));
    EXPECT_EQ(reserve(west, 3, "west"), (UnitNumbers{11, 16, 17}));
    EXPECT_EQ(reserve(east, 5, "east"), (UnitNumbers{18, 19}));
    EXPECT_EQ(reserve(east, 5, "east"), UnitNumbers{});
    EXPECT_EQ(next(west), std::nullopt);

    const uint64_t top = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    const host::UnitSeries highest{"key", false, top - 2, top, {}};
    EXPECT_EQ(value_or_said(east.reserve_units(highest, 1, "east"), "top"), (UnitNumbers{top - 2}));
    EXPECT_EQ(value_or_said(west.reserve_units(highest, 5, "west"), "top"),
              (UnitNumbers{top - 1, top}));
    EXPECT_EQ(value_or_said(east.reserve_units(highest, 5, "east"), "top"), UnitNumbers{});
    EXPECT_EQ(east.reserve_units({"key", false, 1, top + 1, {}}, 1, "east").code(),
              base::ErrorCode::InvalidInput);
    EXPECT_EQ(east.reserve_units({"key", true, 0, 0, {5, top + 1}}, 1, "east").code(),
              base::ErrorCode::InvalidInput);
}

// A value given back is found again by a writer already past it in the list, so that fewer than
// asked always means the list is used up.
inline void expect_list_allocation(host::RecordWriter &east, host::RecordWriter &west) {
    const host::UnitSeries list{"mac", true, 0, 0, {50, 7, 30, 8, 2}};
    const auto reserve = [&](host::RecordWriter &w, size_t n, const char *station) {
        return value_or_said(w.reserve_units(list, n, station), station);
    };
    EXPECT_EQ(reserve(east, 2, "east"), (UnitNumbers{50, 7}));
    EXPECT_EQ(reserve(west, 1, "west"), (UnitNumbers{30}));
    EXPECT_EQ(reserve(east, 1, "east"), (UnitNumbers{8}));
    ASSERT_TRUE(east.return_units("mac", {50, 8}, "east").ok());
    EXPECT_EQ(value_or_said(west.next_free_unit(list), "next"), std::optional<uint64_t>(50));
    EXPECT_EQ(reserve(west, 9, "west"), (UnitNumbers{50, 8, 2}));
    EXPECT_EQ(reserve(east, 1, "east"), UnitNumbers{});
    EXPECT_EQ(value_or_said(east.next_free_unit(list), "next"), std::nullopt);
}

}  // namespace test_support
