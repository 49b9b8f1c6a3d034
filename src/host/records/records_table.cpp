#include "host/records/records_table.h"

#include <cstdio>

#include "host/records/record_columns.h"

namespace host {

namespace {

// The statements that bring a database from one schema version to the next; the last version is
// kRecordsSchemaVersion. Each runs in the transaction that records its version.
const char *const kMigrations[] = {
    // 0 -> 1
    "CREATE TABLE hidiap_records ("
    " id uuid PRIMARY KEY,"
    " time timestamptz NOT NULL,"
    " station text NOT NULL,"
    " tool_version text NOT NULL,"
    " device_path text, serial text, manufacturer text, product text,"
    " image_path text, image_size bigint, image_sha256 text,"
    " tts_path text, tts_size bigint, tts_sha256 text,"
    " token text,"
    " outcome text NOT NULL CHECK (outcome IN ('success', 'current', 'failed', 'interrupted')),"
    " cause text, reason text,"
    " bytes_programmed bigint, seconds double precision,"
    " image_crc text, tts_crc text,"
    " firmware_version text, signature_key_id text, trusted_comment text,"
    " stored timestamptz NOT NULL DEFAULT clock_timestamp());"
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
};
static_assert(sizeof kMigrations / sizeof kMigrations[0] == kRecordsSchemaVersion,
              "one migration per schema version");

// Two set-ups at once (two stations finding the table missing) take turns.
constexpr const char *kSetupLock = "SELECT pg_advisory_xact_lock(7105561090416771072)";

constexpr const char *kSchemaTable =
    "CREATE TABLE IF NOT EXISTS hidiap_schema ("
    " version integer NOT NULL,"
    " changed timestamptz NOT NULL DEFAULT now());";

// The database's schema version: 0 when there are no tables; -1 when it cannot be read.
int schema_version(PostgresLink &link, std::string &error, std::string &sqlstate) {
    const SqlResult exists = link.run("SELECT to_regclass('hidiap_schema') IS NOT NULL");
    if (!exists.ok || exists.rows.empty() || !exists.rows[0][0]) {
        error = exists.error;
        sqlstate = exists.sqlstate;
        return -1;
    }
    if (*exists.rows[0][0] != "t") {
        return 0;
    }
    const SqlResult version = link.run("SELECT coalesce(max(version), 0) FROM hidiap_schema");
    if (!version.ok || version.rows.empty() || !version.rows[0][0]) {
        error = version.error;
        sqlstate = version.sqlstate;
        return -1;
    }
    return std::stoi(*version.rows[0][0]);
}

// Brings the database from its version to ours in one transaction.
SqlResult migrate(PostgresLink &link, int &from) {
    std::string sql = "BEGIN;" + std::string(kSetupLock) + ";" + kSchemaTable;
    // Read again under the lock: another station may have just done it.
    SqlResult result = link.run(sql + "SELECT coalesce(max(version), 0) FROM hidiap_schema;");
    if (!result.ok || result.rows.empty() || !result.rows[0][0]) {
        link.run("ROLLBACK");
        return result;
    }
    from = std::stoi(*result.rows[0][0]);
    if (from >= kRecordsSchemaVersion) {
        return link.run("ROLLBACK");
    }
    std::string steps;
    for (int v = from; v < kRecordsSchemaVersion; v++) {
        steps += kMigrations[v];
    }
    steps += "INSERT INTO hidiap_schema (version) VALUES (" +
             std::to_string(kRecordsSchemaVersion) + ");COMMIT;";
    result = link.run(steps);
    if (!result.ok) {
        link.run("ROLLBACK");
    }
    return result;
}

std::string unknown_version(int version) {
    return "the records table is of schema version " + std::to_string(version) +
           ", which this hidiap does not know (it knows up to " +
           std::to_string(kRecordsSchemaVersion) + "): use a newer hidiap";
}

}  // namespace

bool set_up_records_database(PostgresLink &link, std::string &done, std::string &error) {
    std::string sqlstate;
    const int before = schema_version(link, error, sqlstate);
    if (before < 0) {
        return false;
    }
    if (before > kRecordsSchemaVersion) {
        error = unknown_version(before);
        return false;
    }
    int from = before;
    const SqlResult migrated = migrate(link, from);
    if (!migrated.ok) {
        error = migrated.error;
        return false;
    }
    if (from >= kRecordsSchemaVersion) {
        done = "schema " + std::to_string(kRecordsSchemaVersion) + " is in place; nothing to do";
    } else if (from == 0) {
        done = "schema " + std::to_string(kRecordsSchemaVersion) +
               " created: table hidiap_records, view hidiap_yield";
    } else {
        done = "schema upgraded from " + std::to_string(from) + " to " +
               std::to_string(kRecordsSchemaVersion);
    }
    return true;
}

bool check_records_table(PostgresLink &link, std::string &refusal) {
    const std::string role = link.role();
    const std::string grant = "GRANT SELECT ON hidiap_schema TO " + role +
                              "; GRANT INSERT, SELECT ON hidiap_records TO " + role;
    std::string error;
    std::string sqlstate;
    int version = schema_version(link, error, sqlstate);
    if (version < 0) {
        refusal = sqlstate == "42501" ? "role '" + role + "' may not read the schema version (" +
                                            error + "): the database's owner can " + grant
                                      : error;
        return false;
    }
    if (version > kRecordsSchemaVersion) {
        refusal = unknown_version(version);
        return false;
    }
    if (version == 0) {
        // Missing: created here when this role may, otherwise the owner's set-up is needed.
        const SqlResult created = migrate(link, version);
        if (!created.ok) {
            refusal = created.sqlstate == "42501"
                          ? "the table hidiap_records is missing and role '" + role +
                                "' may not create it: run 'hidiap --record-setup URI' as the "
                                "database's owner"
                          : created.error;
            return false;
        }
    } else if (version < kRecordsSchemaVersion) {
        refusal = "the records table is of schema version " + std::to_string(version) +
                  ": run 'hidiap --record-setup URI' as the database's owner to upgrade it";
        return false;
    }
    const SqlResult may = link.run("SELECT has_table_privilege('hidiap_records', 'INSERT')");
    if (!may.ok || may.rows.empty() || !may.rows[0][0]) {
        refusal = may.error;
        return false;
    }
    if (*may.rows[0][0] != "t") {
        refusal = "role '" + role +
                  "' may not insert into hidiap_records: the database's owner "
                  "can " +
                  grant;
        return false;
    }
    return true;
}

bool insert_records(PostgresLink &link, const std::vector<DeviceRecord> &records,
                    std::string &error) {
    std::string columns;
    std::string sql;
    std::vector<SqlValue> params;
    for (size_t row = 0; row < records.size(); row++) {
        sql += row == 0 ? "(" : ", (";
        const std::vector<RecordColumn> values = record_columns(records[row]);
        for (size_t col = 0; col < values.size(); col++) {
            const RecordColumn &c = values[col];
            if (row == 0) {
                columns += std::string(col == 0 ? "" : ", ") + c.name;
            }
            // Text parameters, cast to the column's type.
            const char *type = col == 0                                ? "uuid"
                               : col == 1                              ? "timestamptz"
                               : c.kind == RecordColumn::Kind::Integer ? "bigint"
                               : c.kind == RecordColumn::Kind::Real    ? "float8"
                                                                       : "text";
            sql += std::string(col == 0 ? "$" : ", $") + std::to_string(params.size() + 1) +
                   "::" + type;
            if (c.kind == RecordColumn::Kind::Integer) {
                params.emplace_back(std::to_string(c.integer));
            } else if (c.kind == RecordColumn::Kind::Real) {
                char real[32];
                std::snprintf(real, sizeof real, "%.17g", c.real);
                params.emplace_back(real);
            } else {
                params.push_back(c.text);
            }
        }
        sql += ")";
    }
    const SqlResult result = link.run("INSERT INTO hidiap_records (" + columns + ") VALUES " + sql +
                                          " ON CONFLICT (id) DO NOTHING",
                                      params);
    if (!result.ok) {
        error = result.error;
    }
    return result.ok;
}

}  // namespace host
