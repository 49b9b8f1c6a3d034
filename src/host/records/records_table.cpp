#include "host/records/records_table.h"

#include "base/text.h"

namespace host {

namespace {

using base::Error;
using base::ErrorCode;

// What each schema version brings besides the columns of its fields, the first one its table.
const char *const kExtraSteps[] = {
    // 1
    "CREATE INDEX hidiap_records_time ON hidiap_records (time);"
    "COMMENT ON TABLE hidiap_records IS 'hidiap: one row per board handled by a station';"
    "CREATE VIEW hidiap_yield AS"
    " SELECT (time AT TIME ZONE 'UTC')::date AS day, image_sha256, station,"
    "  count(*) FILTER (WHERE outcome = 'success') AS updated,"
    "  count(*) FILTER (WHERE outcome = 'current') AS current,"
    "  count(*) FILTER (WHERE outcome = 'failed') AS failed,"
    "  count(*) FILTER (WHERE outcome = 'interrupted') AS interrupted,"
    "  count(*) AS boards,"
    "  round(100.0 * count(*) FILTER (WHERE outcome IN ('success', 'current')) / count(*), 1)"
    "   AS yield_percent"
    " FROM hidiap_records GROUP BY 1, 2, 3;",
    // 2: security_counter; a board's earlier successes are looked up by its serial.
    "CREATE INDEX hidiap_records_serial ON hidiap_records (serial);",
    // 3: where the board sat, the run's fields and its log; the yield by work order.
    "CREATE INDEX hidiap_records_work_order ON hidiap_records ((fields->>'work_order'));"
    "CREATE VIEW hidiap_yield_by_work_order AS"
    " SELECT (time AT TIME ZONE 'UTC')::date AS day, fields->>'work_order' AS work_order,"
    "  image_sha256, station,"
    "  count(*) FILTER (WHERE outcome = 'success') AS updated,"
    "  count(*) FILTER (WHERE outcome = 'current') AS current,"
    "  count(*) FILTER (WHERE outcome = 'failed') AS failed,"
    "  count(*) FILTER (WHERE outcome = 'interrupted') AS interrupted,"
    "  count(*) AS boards,"
    "  round(100.0 * count(*) FILTER (WHERE outcome IN ('success', 'current')) / count(*), 1)"
    "   AS yield_percent"
    " FROM hidiap_records GROUP BY 1, 2, 3, 4;",
    // 4: job; a job's successes are counted by its ID.
    "CREATE INDEX hidiap_records_job ON hidiap_records (job);",
    // 5: units; the values stations reserved (unit_values.h: free iff no row).
    "CREATE TABLE hidiap_unit_values ("
    " field text NOT NULL,"
    " number bigint NOT NULL CHECK (number >= 0),"
    " station text NOT NULL,"
    " reserved_at timestamptz NOT NULL DEFAULT now(),"
    " PRIMARY KEY (field, number));"
    "COMMENT ON TABLE hidiap_unit_values IS 'hidiap: unit values reserved by stations; a value "
    "is free iff it has no row';"
    "CREATE TABLE hidiap_unit_floors ("
    " field text NOT NULL,"
    " range_first bigint NOT NULL,"
    " floor bigint NOT NULL,"
    " PRIMARY KEY (field, range_first));"
    "COMMENT ON TABLE hidiap_unit_floors IS 'hidiap: every value of the field from range_first "
    "up to floor (exclusive) is reserved; where a range''s lowest free value is sought';",
};
static_assert(sizeof kExtraSteps / sizeof kExtraSteps[0] == kRecordsSchemaVersion,
              "one migration per schema version");

// Two set-ups at once (two stations finding the table missing) take turns.
constexpr const char *kSetupLock = "SELECT pg_advisory_xact_lock(7105561090416771072)";

constexpr const char *kSchemaTable =
    "CREATE TABLE IF NOT EXISTS hidiap_schema ("
    " version integer NOT NULL,"
    " changed timestamptz NOT NULL DEFAULT now());";

const char *postgres_type(FieldKind kind) {
    switch (kind) {
        case FieldKind::Uuid:
            return "uuid";
        case FieldKind::Time:
            return "timestamptz";
        case FieldKind::Count:
            return "bigint";
        case FieldKind::Real:
            return "double precision";
        case FieldKind::Object:
            return "jsonb";
        case FieldKind::Text:
        case FieldKind::OptionalText:
        case FieldKind::Crc:
            break;
    }
    return "text";
}

std::string column_definition(const RecordField &f) {
    std::string column = std::string(f.name) + " " + postgres_type(f.kind);
    if (f.kind == FieldKind::Uuid) {
        column += " PRIMARY KEY";
    } else if (f.required) {
        column += " NOT NULL";
    }
    if (f.allowed != nullptr) {
        std::string words;
        const std::string allowed = f.allowed;
        for (size_t at = 0; at < allowed.size();) {
            const size_t end = std::min(allowed.find(' ', at), allowed.size());
            words += std::string(words.empty() ? "'" : ", '") + allowed.substr(at, end - at) + "'";
            at = end + 1;
        }
        column += std::string(" CHECK (") + f.name + " IN (" + words + "))";
    }
    return column;
}

// The number a row holds in its first cell; Corrupt when it holds none.
base::Result<int> number_in(const base::Result<SqlRows> &rows) {
    if (!rows.ok()) {
        return rows.error();
    }
    const std::string text =
        !rows->empty() && !(*rows)[0].empty() && (*rows)[0][0] ? *(*rows)[0][0] : std::string();
    if (text.empty() || text.size() > 9 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return Error(ErrorCode::Corrupt, "the server gave '" + text + "' for a schema version");
    }
    int n = 0;
    for (const char c : text) {
        n = n * 10 + (c - '0');
    }
    return n;
}

// The database's schema version: 0 when there are no tables.
base::Result<int> schema_version(PostgresLink &link) {
    const base::Result<SqlRows> exists =
        link.run("SELECT to_regclass('hidiap_schema') IS NOT NULL");
    if (!exists.ok()) {
        return exists.error();
    }
    if (exists->empty() || (*exists)[0].empty() || (*exists)[0][0] != SqlValue("t")) {
        return 0;
    }
    return number_in(link.run("SELECT coalesce(max(version), 0) FROM hidiap_schema"));
}

// Brings the database from its version to ours in one transaction; the version it had, read
// again under the lock (another station may have just done it).
base::Result<int> migrate(PostgresLink &link) {
    const base::Result<int> from =
        number_in(link.run("BEGIN;" + std::string(kSetupLock) + ";" + kSchemaTable +
                           "SELECT coalesce(max(version), 0) FROM "
                           "hidiap_schema;"));
    if (!from.ok() || *from >= kRecordsSchemaVersion) {
        (void)link.run("ROLLBACK");
        return from;
    }
    std::string steps;
    for (int v = *from + 1; v <= kRecordsSchemaVersion; v++) {
        steps += postgres_migration(v);
    }
    steps += "INSERT INTO hidiap_schema (version) VALUES (" +
             std::to_string(kRecordsSchemaVersion) + ");COMMIT;";
    const base::Result<SqlRows> done = link.run(steps);
    if (!done.ok()) {
        (void)link.run("ROLLBACK");
        return done.error();
    }
    return from;
}

Error unknown_version(int version) {
    return Error(ErrorCode::Unsupported,
                 "the records table is of schema version " + std::to_string(version) +
                     ", which this hidiap does not know (it knows up to " +
                     std::to_string(kRecordsSchemaVersion) + "): use a newer hidiap");
}

std::string grant_for(const std::string &role) {
    return "GRANT SELECT ON hidiap_schema TO " + role +
           "; GRANT INSERT, SELECT ON hidiap_records TO " + role;
}

}  // namespace

std::string postgres_migration(int version) {
    std::string sql;
    if (version == 1) {
        sql = "CREATE TABLE hidiap_records (";
        for (const RecordField *f : fields_since(1)) {
            sql += column_definition(*f) + ", ";
        }
        sql += "stored timestamptz NOT NULL DEFAULT clock_timestamp());";
    } else {
        for (const RecordField *f : fields_since(version)) {
            sql += "ALTER TABLE hidiap_records ADD COLUMN " + column_definition(*f) + ";";
        }
    }
    return sql + kExtraSteps[version - 1];
}

base::Result<std::string> set_up_records_database(PostgresLink &link) {
    const base::Result<int> before = schema_version(link);
    if (!before.ok()) {
        return before.error();
    }
    if (*before > kRecordsSchemaVersion) {
        return unknown_version(*before);
    }
    const base::Result<int> from = migrate(link);
    if (!from.ok()) {
        return from.error();
    }
    const std::string now = std::to_string(kRecordsSchemaVersion);
    if (*from >= kRecordsSchemaVersion) {
        return "schema " + now + " is in place; nothing to do";
    }
    if (*from == 0) {
        return "schema " + now +
               " created: tables hidiap_records, hidiap_unit_values and hidiap_unit_floors, views "
               "hidiap_yield and hidiap_yield_by_work_order";
    }
    return "schema upgraded from " + std::to_string(*from) + " to " + now;
}

base::Status check_records_table(PostgresLink &link) {
    const std::string role = link.role();
    const base::Result<int> version = schema_version(link);
    if (!version.ok()) {
        if (version.code() == ErrorCode::PermissionDenied) {
            return Error(ErrorCode::PermissionDenied,
                         "role '" + role + "' may not read the schema version (" +
                             version.message() + "): the database's owner can " + grant_for(role));
        }
        return version.error();
    }
    if (*version > kRecordsSchemaVersion) {
        return unknown_version(*version);
    }
    if (*version == 0) {
        // Missing: created here when this role may, otherwise the owner's set-up is needed.
        const base::Result<int> created = migrate(link);
        if (!created.ok() && created.code() == ErrorCode::PermissionDenied) {
            return Error(ErrorCode::PermissionDenied,
                         "the table hidiap_records is missing and role '" + role +
                             "' may not create it: run 'hidiap --record-setup URI' as the "
                             "database's owner");
        }
        if (!created.ok()) {
            return created.error();
        }
    } else if (*version < kRecordsSchemaVersion) {
        return Error(ErrorCode::Unsupported,
                     "the records table is of schema version " + std::to_string(*version) +
                         ": run 'hidiap --record-setup URI' as the database's owner to upgrade it");
    }
    const base::Result<SqlRows> may =
        link.run("SELECT has_table_privilege('hidiap_records', 'INSERT')");
    if (!may.ok()) {
        return may.error();
    }
    if (may->empty() || (*may)[0].empty() || (*may)[0][0] != SqlValue("t")) {
        return Error(ErrorCode::PermissionDenied,
                     "role '" + role +
                         "' may not insert into hidiap_records: the database's "
                         "owner can " +
                         grant_for(role));
    }
    return {};
}

base::Status insert_records(PostgresLink &link, const std::vector<DeviceRecord> &records) {
    std::string columns;
    for (const RecordField &f : record_fields()) {
        columns += std::string(columns.empty() ? "" : ", ") + f.name;
    }
    std::string rows;
    std::vector<SqlValue> params;
    for (const DeviceRecord &record : records) {
        rows += rows.empty() ? "(" : ", (";
        bool first = true;
        for (const RecordField &f : record_fields()) {
            // Text parameters, cast to the column's type.
            rows += std::string(first ? "$" : ", $") + std::to_string(params.size() + 1) +
                    "::" + postgres_type(f.kind);
            first = false;
            const FieldValue v = field_value(f, record);
            switch (v.type) {
                case FieldValue::Type::Null:
                    params.emplace_back();
                    break;
                case FieldValue::Type::Text:
                    params.emplace_back(v.text);
                    break;
                case FieldValue::Type::Integer:
                    params.emplace_back(std::to_string(v.integer));
                    break;
                case FieldValue::Type::Real:
                    params.emplace_back(base::format("%.17g", v.real));
                    break;
            }
        }
        rows += ")";
    }
    const base::Result<SqlRows> inserted =
        link.run("INSERT INTO hidiap_records (" + columns + ") VALUES " + rows +
                     " ON CONFLICT (id) DO NOTHING",
                 params);
    if (!inserted.ok()) {
        return inserted.error();
    }
    return {};
}

base::Result<BoardHistory> postgres_board_history(PostgresLink &link, const std::string &serial) {
    const base::Result<SqlRows> rows = link.run(
        "SELECT count(*), coalesce(max(security_counter), 0), (SELECT firmware_version FROM "
        "hidiap_records WHERE serial = $1 AND outcome = 'success' ORDER BY time DESC, stored "
        "DESC LIMIT 1), (SELECT units::text FROM hidiap_records WHERE serial = $1 AND outcome = "
        "'success' AND units IS NOT NULL ORDER BY time DESC, stored DESC LIMIT 1) FROM "
        "hidiap_records WHERE serial = $1 AND outcome = 'success'",
        {SqlValue(serial)});
    if (!rows.ok()) {
        return rows.error();
    }
    if (rows->size() != 1 || (*rows)[0].size() != 4 || !(*rows)[0][0] || !(*rows)[0][1]) {
        return Error(ErrorCode::Corrupt, "the server's answer about the board is not one row");
    }
    const SqlRow &r = (*rows)[0];
    BoardHistory h;
    h.consulted = true;
    h.succeeded = *r[0] != "0";
    h.highest_counter = std::stoull(*r[1]);
    h.firmware_version = r[2].value_or("");
    if (r[3]) {
        // jsonb spells the object its own way: the record's compact text, as the files give it.
        DeviceRecord units;
        for (const RecordField &f : record_fields()) {
            if (std::string(f.name) == "units") {
                if (base::Status set = set_field(f, units, FieldValue::of_text(*r[3])); !set.ok()) {
                    return set.error();
                }
            }
        }
        h.units = units.units;
    }
    return h;
}

base::Result<uint64_t> postgres_job_successes(PostgresLink &link, const std::string &job) {
    const base::Result<SqlRows> rows =
        link.run("SELECT count(*) FROM hidiap_records WHERE job = $1 AND outcome = 'success'",
                 {SqlValue(job)});
    if (!rows.ok()) {
        return rows.error();
    }
    if (rows->size() != 1 || (*rows)[0].size() != 1 || !(*rows)[0][0]) {
        return Error(ErrorCode::Corrupt, "the server's answer about the job is not one row");
    }
    return static_cast<uint64_t>(std::stoull(*(*rows)[0][0]));
}

}  // namespace host
