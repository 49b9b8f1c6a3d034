#include "host/records/sqlite_records.h"

#include <algorithm>
#include <cctype>
#include <map>

#include "host/records/record_fields.h"

namespace host {

namespace {

using base::Error;
using base::ErrorCode;

// What each schema version brings besides the columns of its fields (the first: its table).
const char *const kExtraSteps[] = {
    // 1
    "",
    // 2: security_counter; a board's earlier successes are looked up by its serial.
    "CREATE INDEX IF NOT EXISTS hidiap_records_serial ON hidiap_records (serial);",
    // 3: where the board sat, the run's fields and its log; the yield by work order.
    "CREATE VIEW IF NOT EXISTS hidiap_yield_by_work_order AS"
    " SELECT substr(time, 1, 10) AS day, json_extract(fields, '$.work_order') AS work_order,"
    "  image_sha256, station,"
    "  sum(outcome = 'success') AS updated, sum(outcome = 'current') AS current,"
    "  sum(outcome = 'failed') AS failed, sum(outcome = 'interrupted') AS interrupted,"
    "  count(*) AS boards,"
    "  round(100.0 * sum(outcome IN ('success', 'current')) / count(*), 1) AS yield_percent"
    " FROM hidiap_records GROUP BY 1, 2, 3, 4;",
    // 4: job; a job's successes are counted by its ID.
    "CREATE INDEX IF NOT EXISTS hidiap_records_job ON hidiap_records (job);",
};
static_assert(sizeof kExtraSteps / sizeof kExtraSteps[0] == kRecordsSchemaVersion,
              "one migration per schema version");

constexpr const char *kSchemaTable =
    "CREATE TABLE IF NOT EXISTS hidiap_schema (version INTEGER NOT NULL, "
    "changed TEXT NOT NULL DEFAULT (strftime('%Y-%m-%dT%H:%M:%fZ', 'now')))";

const char *sqlite_type(FieldKind kind) {
    switch (kind) {
        case FieldKind::Count:
            return "INTEGER";
        case FieldKind::Real:
            return "REAL";
        case FieldKind::Uuid:
        case FieldKind::Time:
        case FieldKind::Text:
        case FieldKind::OptionalText:
        case FieldKind::Crc:
        case FieldKind::Object:
            break;
    }
    return "TEXT";
}

std::string column_definition(const RecordField &f) {
    std::string column = std::string(f.name) + " " + sqlite_type(f.kind);
    if (f.kind == FieldKind::Uuid) {
        column += " PRIMARY KEY";
    } else if (f.required) {
        column += " NOT NULL";
    }
    return column;
}

Error sqlite_error(sqlite3 *db) {
    const int rc = sqlite3_extended_errcode(db);
    const int primary = rc & 0xff;
    const ErrorCode code =
        primary == SQLITE_FULL                               ? ErrorCode::NoSpace
        : primary == SQLITE_BUSY || primary == SQLITE_LOCKED ? ErrorCode::Busy
        : primary == SQLITE_READONLY || primary == SQLITE_PERM || primary == SQLITE_AUTH
            ? ErrorCode::PermissionDenied
        : primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB      ? ErrorCode::Corrupt
        : primary == SQLITE_CONSTRAINT || primary == SQLITE_MISMATCH ? ErrorCode::InvalidInput
                                                                     : ErrorCode::Io;
    return Error(code, sqlite3_errmsg(db));
}

base::Result<StatementOwner> prepare(sqlite3 *db, const std::string &sql) {
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
        sqlite3_finalize(statement);
        return sqlite_error(db);
    }
    return StatementOwner(statement);
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

using Columns = std::map<std::string, std::string>;  // name -> declared type, in lower case

base::Result<Columns> columns_of(sqlite3 *db, const char *table) {
    base::Result<StatementOwner> info =
        prepare(db, std::string("PRAGMA table_info(") + table + ")");
    if (!info.ok()) {
        return info.error();
    }
    Columns columns;
    int rc;
    while ((rc = sqlite3_step(info->get())) == SQLITE_ROW) {
        const auto *name = sqlite3_column_text(info->get(), 1);
        const auto *type = sqlite3_column_text(info->get(), 2);
        columns[lower(name != nullptr ? reinterpret_cast<const char *>(name) : "")] =
            lower(type != nullptr ? reinterpret_cast<const char *>(type) : "");
    }
    if (rc != SQLITE_DONE) {
        return sqlite_error(db);
    }
    return columns;
}

Columns shape_of(int version) {
    Columns columns;
    for (const RecordField *f : fields_up_to(version)) {
        columns[f->name] = lower(sqlite_type(f->kind));
    }
    return columns;
}

std::string described(const Columns &columns) {
    std::string text;
    for (const auto &[name, type] : columns) {
        text += (text.empty() ? "" : ", ") + name + (type.empty() ? "" : " " + type);
    }
    return text;
}

// The highest version hidiap_schema records; 0 when it has none (or there is no such table).
base::Result<int> recorded_version(sqlite3 *db) {
    base::Result<Columns> schema = columns_of(db, "hidiap_schema");
    if (!schema.ok()) {
        return schema.error();
    }
    if (schema->empty()) {
        return 0;
    }
    base::Result<StatementOwner> max =
        prepare(db, "SELECT coalesce(max(version), 0) FROM hidiap_schema");
    if (!max.ok()) {
        return max.error();
    }
    if (sqlite3_step(max->get()) != SQLITE_ROW) {
        return sqlite_error(db);
    }
    return static_cast<int>(sqlite3_column_int64(max->get(), 0));
}

// The version whose shape the table has; 0 for none.
int version_of_shape(const Columns &columns) {
    for (int v = kRecordsSchemaVersion; v >= 1; v--) {
        if (shape_of(v) == columns) {
            return v;
        }
    }
    return 0;
}

base::Status upgrade(sqlite3 *db) {
    base::Result<Columns> table = columns_of(db, "hidiap_records");
    if (!table.ok()) {
        return table.error();
    }
    base::Result<int> recorded = recorded_version(db);
    if (!recorded.ok()) {
        return recorded.error();
    }
    if (*recorded > kRecordsSchemaVersion) {
        return Error(ErrorCode::Unsupported,
                     "its records are of schema version " + std::to_string(*recorded) +
                         ", which this hidiap does not know (it knows up to " +
                         std::to_string(kRecordsSchemaVersion) + "): use a newer hidiap");
    }
    int version = *recorded;
    if (table->empty()) {
        version = 0;  // no table: made here
    } else if (version == 0) {
        // A file of a hidiap from before the versions: known by its columns.
        version = version_of_shape(*table);
        if (version == 0) {
            return Error(ErrorCode::Corrupt,
                         "it holds a table hidiap_records that no hidiap wrote (its columns: " +
                             described(*table) + ")");
        }
    } else if (shape_of(version) != *table) {
        return Error(ErrorCode::Corrupt,
                     "its table hidiap_records is not of the schema version " +
                         std::to_string(version) +
                         " it is recorded as (its columns: " + described(*table) + ")");
    }
    std::string steps = std::string(kSchemaTable) + ";";
    for (int v = version + 1; v <= kRecordsSchemaVersion; v++) {
        steps += sqlite_migration(v);
    }
    if (*recorded != kRecordsSchemaVersion) {
        steps += "INSERT INTO hidiap_schema (version) VALUES (" +
                 std::to_string(kRecordsSchemaVersion) + ");";
    }
    return sqlite_exec(db, steps);
}

base::Status bind(sqlite3 *db, sqlite3_stmt *insert, int index, const FieldValue &v) {
    int rc = SQLITE_OK;
    switch (v.type) {
        case FieldValue::Type::Null:
            rc = sqlite3_bind_null(insert, index);
            break;
        case FieldValue::Type::Text:
            rc = sqlite3_bind_text(insert, index, v.text.c_str(), static_cast<int>(v.text.size()),
                                   SQLITE_TRANSIENT);
            break;
        case FieldValue::Type::Integer:
            rc = sqlite3_bind_int64(insert, index, static_cast<sqlite3_int64>(v.integer));
            break;
        case FieldValue::Type::Real:
            rc = sqlite3_bind_double(insert, index, v.real);
            break;
    }
    if (rc != SQLITE_OK) {
        return sqlite_error(db);
    }
    return {};
}

FieldValue value_of(sqlite3_stmt *row, int column) {
    switch (sqlite3_column_type(row, column)) {
        case SQLITE_INTEGER:
            return FieldValue::of_integer(static_cast<uint64_t>(sqlite3_column_int64(row, column)));
        case SQLITE_FLOAT:
            return FieldValue::of_real(sqlite3_column_double(row, column));
        case SQLITE_TEXT:
        case SQLITE_BLOB: {
            const auto *text = static_cast<const char *>(sqlite3_column_blob(row, column));
            return FieldValue::of_text(
                std::string(text != nullptr ? text : "",
                            static_cast<size_t>(sqlite3_column_bytes(row, column))));
        }
        default:
            return FieldValue::null();
    }
}

std::string column_list() {
    std::string columns;
    for (const RecordField &f : record_fields()) {
        columns += (columns.empty() ? "" : ", ") + std::string(f.name);
    }
    return columns;
}

}  // namespace

base::Status sqlite_exec(sqlite3 *db, const std::string &sql) {
    char *message = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
        Error failed = sqlite_error(db);
        if (message != nullptr) {
            failed = Error(failed.code(), message);
        }
        sqlite3_free(message);
        return failed;
    }
    return {};
}

std::string sqlite_migration(int version) {
    std::string sql;
    if (version == 1) {
        sql = "CREATE TABLE hidiap_records (";
        bool first = true;
        for (const RecordField *f : fields_since(1)) {
            sql += (first ? "" : ", ") + column_definition(*f);
            first = false;
        }
        sql += ");";
    } else {
        for (const RecordField *f : fields_since(version)) {
            sql += "ALTER TABLE hidiap_records ADD COLUMN " + column_definition(*f) + ";";
        }
    }
    return sql + kExtraSteps[version - 1];
}

base::Status prepare_sqlite_records(sqlite3 *db) {
    // BEGIN IMMEDIATE takes the write lock: a file that cannot be written fails here, before any
    // device, and two stations making the table at once take turns.
    if (base::Status begun = sqlite_exec(db, "BEGIN IMMEDIATE"); !begun.ok()) {
        return begun;
    }
    base::Status done = upgrade(db);
    if (done.ok()) {
        done = sqlite_exec(db, "COMMIT");
    }
    if (!done.ok() && sqlite3_get_autocommit(db) == 0) {
        (void)sqlite_exec(db, "ROLLBACK");
    }
    return done;
}

base::Status insert_sqlite_record(sqlite3 *db, const DeviceRecord &record, bool or_ignore) {
    std::string marks;
    for (size_t i = 0; i < record_fields().size(); i++) {
        marks += i == 0 ? "?" : ",?";
    }
    base::Result<StatementOwner> insert =
        prepare(db, std::string(or_ignore ? "INSERT OR IGNORE" : "INSERT") +
                        " INTO hidiap_records (" + column_list() + ") VALUES (" + marks + ")");
    if (!insert.ok()) {
        return insert.error();
    }
    int index = 0;
    for (const RecordField &f : record_fields()) {
        if (base::Status bound = bind(db, insert->get(), ++index, field_value(f, record));
            !bound.ok()) {
            return bound;
        }
    }
    // One statement outside BEGIN is its own transaction: committed when step returns.
    if (sqlite3_step(insert->get()) != SQLITE_DONE) {
        const Error failed = sqlite_error(db);
        if (sqlite3_get_autocommit(db) == 0) {
            (void)sqlite_exec(db, "ROLLBACK");
        }
        return failed;
    }
    return {};
}

base::Result<std::vector<DeviceRecord>> read_sqlite_records(sqlite3 *db,
                                                            const std::vector<std::string> &ids) {
    base::Result<StatementOwner> select =
        prepare(db, "SELECT " + column_list() + " FROM hidiap_records WHERE id = ?");
    if (!select.ok()) {
        return select.error();
    }
    std::vector<DeviceRecord> records;
    for (const std::string &id : ids) {
        sqlite3_stmt *row = select->get();
        if (sqlite3_reset(row) != SQLITE_OK ||
            sqlite3_bind_text(row, 1, id.c_str(), static_cast<int>(id.size()), SQLITE_TRANSIENT) !=
                SQLITE_OK) {
            return sqlite_error(db);
        }
        const int rc = sqlite3_step(row);
        if (rc == SQLITE_DONE) {
            continue;
        }
        if (rc != SQLITE_ROW) {
            return sqlite_error(db);
        }
        DeviceRecord r;
        int column = 0;
        for (const RecordField &f : record_fields()) {
            if (base::Status set = set_field(f, r, value_of(row, column++)); !set.ok()) {
                return set.error();
            }
        }
        records.push_back(std::move(r));
    }
    return records;
}

base::Result<BoardHistory> sqlite_board_history(sqlite3 *db, const std::string &serial) {
    base::Result<StatementOwner> select =
        prepare(db,
                "SELECT count(*), coalesce(max(security_counter), 0), (SELECT firmware_version "
                "FROM hidiap_records WHERE serial = ?1 AND outcome = 'success' ORDER BY time "
                "DESC, rowid DESC LIMIT 1) FROM hidiap_records WHERE serial = ?1 AND outcome = "
                "'success'");
    if (!select.ok()) {
        return select.error();
    }
    sqlite3_stmt *row = select->get();
    if (sqlite3_bind_text(row, 1, serial.c_str(), static_cast<int>(serial.size()),
                          SQLITE_TRANSIENT) != SQLITE_OK ||
        sqlite3_step(row) != SQLITE_ROW) {
        return sqlite_error(db);
    }
    BoardHistory h;
    h.consulted = true;
    h.succeeded = sqlite3_column_int64(row, 0) > 0;
    h.highest_counter = static_cast<uint64_t>(sqlite3_column_int64(row, 1));
    if (const unsigned char *v = sqlite3_column_text(row, 2); v != nullptr) {
        h.firmware_version = reinterpret_cast<const char *>(v);
    }
    return h;
}

base::Result<uint64_t> sqlite_job_successes(sqlite3 *db, const std::string &job) {
    base::Result<StatementOwner> select =
        prepare(db, "SELECT count(*) FROM hidiap_records WHERE job = ?1 AND outcome = 'success'");
    if (!select.ok()) {
        return select.error();
    }
    sqlite3_stmt *row = select->get();
    if (sqlite3_bind_text(row, 1, job.c_str(), static_cast<int>(job.size()), SQLITE_TRANSIENT) !=
            SQLITE_OK ||
        sqlite3_step(row) != SQLITE_ROW) {
        return sqlite_error(db);
    }
    return static_cast<uint64_t>(sqlite3_column_int64(row, 0));
}

}  // namespace host
