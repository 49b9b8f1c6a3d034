// Unit values in PostgreSQL (the table hidiap_unit_values, unit_values.h): reserving,
// giving back and looking up, on a connection the caller holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/result.h"
#include "host/records/postgres_link.h"
#include "host/records/record_writer.h"
#include "host/records/unit_values.h"

namespace host {

// RecordWriter::reserve_units: one round trip for a range, and for a list whose next window
// holds enough free values.
base::Result<std::vector<uint64_t>> postgres_reserve_units(PostgresLink &link,
                                                           const UnitSeries &series, size_t count,
                                                           const std::string &station,
                                                           ListMarks &marks);
// RecordWriter::return_units, in one statement.
base::Status postgres_return_units(PostgresLink &link, const std::string &field,
                                   const std::vector<uint64_t> &numbers,
                                   const std::string &station);
// RecordWriter::next_free_unit: one statement for a range, one per window for a list.
base::Result<std::optional<uint64_t>> postgres_next_free_unit(PostgresLink &link,
                                                              const UnitSeries &series);

}  // namespace host
