// The records table in an SQLite file: its versioned schema, made from the table of a record's
// fields (the version in a table hidiap_schema, as in PostgreSQL), made or upgraded when a writer
// opens the file; a record's insert and the rows read back. A file whose hidiap_records is of a
// shape no hidiap wrote, or of a version this hidiap does not know, is refused.
#pragma once

#include <sqlite3.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/result.h"
#include "host/records/record_writer.h"
#include "host/records/unit_values.h"

namespace host {

struct SqliteClose {
    void operator()(sqlite3 *db) const { sqlite3_close(db); }
};
using SqliteOwner = std::unique_ptr<sqlite3, SqliteClose>;

struct SqliteFinalize {
    void operator()(sqlite3_stmt *statement) const { sqlite3_finalize(statement); }
};
using StatementOwner = std::unique_ptr<sqlite3_stmt, SqliteFinalize>;

// Runs SQL (one or more statements, no rows wanted).
base::Status sqlite_exec(sqlite3 *db, const std::string &sql);

// Makes the records table of this schema version, adopts one of an earlier hidiap (whose files
// have no version yet) or upgrades one of an earlier version; in one transaction of its own.
base::Status prepare_sqlite_records(sqlite3 *db);

// The statements that bring a file from VERSION - 1 to VERSION.
std::string sqlite_migration(int version);

// Inserts one record in a transaction of its own; `or_ignore`: a record whose id is there
// already is left as it is. A failure leaves the file as it was.
base::Status insert_sqlite_record(sqlite3 *db, const DeviceRecord &record, bool or_ignore);

// The records of these ids, in their order (those the file does not hold left out).
base::Result<std::vector<DeviceRecord>> read_sqlite_records(sqlite3 *db,
                                                            const std::vector<std::string> &ids);

// The board's earlier successes in the file, by its serial number.
base::Result<BoardHistory> sqlite_board_history(sqlite3 *db, const std::string &serial);

// How many successes of the job (by its ID) the file holds.
base::Result<uint64_t> sqlite_job_successes(sqlite3 *db, const std::string &job);

// RecordWriter::reserve_units, return_units and next_free_unit on the file's table of unit
// values, each in a transaction of its own that holds the file's write lock.
base::Result<std::vector<uint64_t>> sqlite_reserve_units(sqlite3 *db, const UnitSeries &series,
                                                         size_t count, const std::string &station,
                                                         ListMarks &marks);
base::Status sqlite_return_units(sqlite3 *db, const std::string &field,
                                 const std::vector<uint64_t> &numbers, const std::string &station);
base::Result<std::optional<uint64_t>> sqlite_next_free_unit(sqlite3 *db, const UnitSeries &series);
// Reserves NUMBERS for STATION again in a file made anew (those reserved there already left).
base::Status sqlite_keep_units(sqlite3 *db, const std::string &field,
                               const std::vector<uint64_t> &numbers, const std::string &station);

}  // namespace host
