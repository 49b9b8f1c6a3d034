// The records table in PostgreSQL: its versioned schema, its creation or upgrade, the check a
// station makes before it records, and the insert that stores a record once however often it is
// sent. docs/records-database.md describes the schema and the yield view.
#pragma once

#include <string>
#include <vector>

#include "host/records/postgres_link.h"
#include "host/records/record_writer.h"

namespace host {

// The schema version this tool writes and reads.
constexpr int kRecordsSchemaVersion = 1;

// --record-setup: creates the tables and the view, or upgrades them to this version. What was
// done in `done`; false with the reason in error.
bool set_up_records_database(PostgresLink &link, std::string &done, std::string &error);

// Before a station records: the table exists at this schema version (created when missing and
// this role may), and this role may insert. False with a refusal that names the cause.
bool check_records_table(PostgresLink &link, std::string &refusal);

// Stores RECORDS in one statement, in their order; a record whose id is already stored is left
// as it is. True once committed.
bool insert_records(PostgresLink &link, const std::vector<DeviceRecord> &records,
                    std::string &error);

}  // namespace host
