// Unit values (serial numbers, MAC addresses) allocated in the records database, in the table
// hidiap_unit_values of both SQLite and PostgreSQL: one row per reserved value, keyed by field
// and number, naming the station that reserved it.
//
// The invariant: a value is free iff it has no row. Rows are only ever inserted (a station
// reserves the value) and deleted (the station gives back a value no board got); they are never
// updated. Whether a reserved value went into a board is told by the records' `units`, not by
// this table, so a station that dies mid-block leaves its values reserved (gaps), never free
// for another board.
//
// hidiap_unit_floors keeps, per field and range start, a floor: every value from the start up
// to the floor (exclusive) is reserved. It is where the search for a range's lowest free value
// begins, so that a range with a million values reserved is not read from its start for every
// block; reservations raise it, returns lower it to the lowest value given back, both under the
// field's lock (PostgreSQL) or the file's write lock (SQLite). It is a hint about the rows,
// never their master: a floor too low costs reading, and rows deleted by hand must take the
// field's floors with them to be handed out again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "base/result.h"
#include "host/records/record_writer.h"

namespace host {

// What a series must be before a database is asked: a field name, numbers within a signed
// 64-bit column, a range whose first is not past its last. InvalidInput when not.
base::Status check_unit_series(const UnitSeries &series);

// Where a writer starts looking in a list: every value before that index was reserved when it
// last looked, so a long list is not checked from its start for every block. A value another
// station gives back behind the mark is taken once the rest of the list does not fill a block
// (so fewer values than asked still means the list is used up), or by a writer that starts;
// this writer's own returns send its mark back to the list's start.
class ListMarks {
  public:
    size_t start(const UnitSeries &series) const;
    // Every value of the list before INDEX is reserved.
    void passed(const UnitSeries &series, size_t index);
    void rewind(const std::string &field) { marks_.erase(field); }

  private:
    struct Mark {
        uint64_t fingerprint;  // of the list it was made for: another list starts afresh
        size_t index;
    };
    static uint64_t fingerprint(const std::vector<uint64_t> &list);
    std::map<std::string, Mark> marks_;
};

}  // namespace host
