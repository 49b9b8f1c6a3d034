// The records table in PostgreSQL: its versioned schema (made from the table of a record's
// fields), its creation or upgrade, the check a station makes before it records, and the insert
// that stores a record once however often it is sent. docs/records-database.md describes the
// schema and the yield view.
#pragma once

#include <string>
#include <vector>

#include "base/result.h"
#include "host/records/postgres_link.h"
#include "host/records/record_fields.h"
#include "host/records/record_writer.h"

namespace host {

// --record-setup: creates the tables and the view, or upgrades them to this version; what was
// done, in words.
base::Result<std::string> set_up_records_database(PostgresLink &link);

// Before a station records: the table exists at this schema version (created when missing and
// this role may), and this role may insert. The refusal names the cause and its remedy.
base::Status check_records_table(PostgresLink &link);

// Stores RECORDS in one statement, in their order; a record whose id is already stored is left
// as it is. The server refusing a record for its content is InvalidInput.
base::Status insert_records(PostgresLink &link, const std::vector<DeviceRecord> &records);

// The board's earlier successes in the database, by its serial number.
base::Result<BoardHistory> postgres_board_history(PostgresLink &link, const std::string &serial);

// How many successes of the job (by its ID) the table holds.
base::Result<uint64_t> postgres_job_successes(PostgresLink &link, const std::string &job);

// The statements that bring the database from VERSION - 1 to VERSION.
std::string postgres_migration(int version);

}  // namespace host
