#include "host/records/sqlite_records.h"

#include <algorithm>
#include <cctype>
#include <map>

#include "host/records/record_fields.h"
#include "host/records/unit_values.h"

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
    // 5: units; the values stations reserved (unit_values.h: free iff no row).
    "CREATE TABLE IF NOT EXISTS hidiap_unit_values (field TEXT NOT NULL,"
    " number INTEGER NOT NULL CHECK (number >= 0), station TEXT NOT NULL,"
    " reserved_at TEXT NOT NULL DEFAULT (strftime('%Y-%m-%dT%H:%M:%fZ', 'now')),"
    " PRIMARY KEY (field, number)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS hidiap_unit_floors (field TEXT NOT NULL,"
    " range_first INTEGER NOT NULL, floor INTEGER NOT NULL,"
    " PRIMARY KEY (field, range_first)) WITHOUT ROWID;",
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

// BEGIN IMMEDIATE takes the file's write lock for the whole allocation: two stations sharing the
// file take turns, and what one sees free stays free until it commits.
base::Status begin_immediate(sqlite3 *db) {
    return sqlite_exec(db, "BEGIN IMMEDIATE");
}

// Commits when DONE holds no failure, else rolls back; DONE, or the commit's failure.
base::Status end_transaction(sqlite3 *db, base::Status done) {
    if (done.ok()) {
        done = sqlite_exec(db, "COMMIT");
    }
    if (!done.ok() && sqlite3_get_autocommit(db) == 0) {
        (void)sqlite_exec(db, "ROLLBACK");
    }
    return done;
}

base::Status bind_field(sqlite3 *db, sqlite3_stmt *statement, const std::string &field) {
    if (sqlite3_bind_text(statement, 1, field.c_str(), static_cast<int>(field.size()),
                          SQLITE_TRANSIENT) != SQLITE_OK) {
        return sqlite_error(db);
    }
    return {};
}

base::Status bind_number(sqlite3 *db, sqlite3_stmt *statement, int index, uint64_t number) {
    if (sqlite3_bind_int64(statement, index, static_cast<sqlite3_int64>(number)) != SQLITE_OK) {
        return sqlite_error(db);
    }
    return {};
}

// Runs a prepared statement once more with NUMBER as its ?2 (its ?1 and ?3 stay bound): whether
// it gave a row or changed one.
base::Result<bool> step_with(sqlite3 *db, sqlite3_stmt *statement, uint64_t number) {
    const int before = sqlite3_total_changes(db);
    if (sqlite3_reset(statement) != SQLITE_OK) {
        return sqlite_error(db);
    }
    if (base::Status bound = bind_number(db, statement, 2, number); !bound.ok()) {
        return bound.error();
    }
    const int rc = sqlite3_step(statement);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        return sqlite_error(db);
    }
    return rc == SQLITE_ROW || sqlite3_total_changes(db) != before;
}

// Where the lowest free value of a range is sought: its floor (every value of the field from
// the range's first up to it is reserved, see unit_values.h), or its first.
base::Result<uint64_t> range_start(sqlite3 *db, const UnitSeries &series) {
    base::Result<StatementOwner> floor =
        prepare(db, "SELECT floor FROM hidiap_unit_floors WHERE field = ?1 AND range_first = ?2");
    if (!floor.ok()) {
        return floor.error();
    }
    if (base::Status bound = bind_field(db, floor->get(), series.field); !bound.ok()) {
        return bound.error();
    }
    if (base::Status bound = bind_number(db, floor->get(), 2, series.first); !bound.ok()) {
        return bound.error();
    }
    const int rc = sqlite3_step(floor->get());
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        return sqlite_error(db);
    }
    const uint64_t floor_value =
        rc == SQLITE_ROW ? static_cast<uint64_t>(sqlite3_column_int64(floor->get(), 0)) : 0;
    return std::max(series.first, floor_value);
}

// The free values of a range from START in ascending order, at most COUNT: the reserved ones are
// walked in order and the values between them taken, so a range costs the rows reserved between
// START and what is found, never its size.
base::Result<std::vector<uint64_t>> free_in_range(sqlite3 *db, const UnitSeries &series,
                                                  uint64_t start, size_t count) {
    base::Result<StatementOwner> reserved =
        prepare(db,
                "SELECT number FROM hidiap_unit_values WHERE field = ?1 AND number >= ?2 AND "
                "number <= ?3 ORDER BY number");
    if (!reserved.ok()) {
        return reserved.error();
    }
    sqlite3_stmt *row = reserved->get();
    for (base::Status bound : {bind_field(db, row, series.field), bind_number(db, row, 2, start),
                               bind_number(db, row, 3, series.last)}) {
        if (!bound.ok()) {
            return bound.error();
        }
    }
    std::vector<uint64_t> found;
    uint64_t next = start;  // the lowest value not looked at; past `last` at the end
    int rc = SQLITE_ROW;
    while (found.size() < count && next <= series.last && (rc = sqlite3_step(row)) == SQLITE_ROW) {
        const auto taken = static_cast<uint64_t>(sqlite3_column_int64(row, 0));
        while (next < taken && found.size() < count) {
            found.push_back(next++);
        }
        next = taken + 1;
    }
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        return sqlite_error(db);
    }
    while (found.size() < count && next <= series.last) {
        found.push_back(next++);
    }
    return found;
}

// Walks the list's values [from, to) with STATEMENT (?1 the field, ?2 each number) until COUNT of
// them made it say yes; those values, and in END the index just past the last of them (`to` when
// fewer were found: every value walked said no).
base::Result<std::vector<uint64_t>> walk_list(sqlite3 *db, sqlite3_stmt *statement,
                                              const UnitSeries &series, size_t from, size_t to,
                                              size_t count, size_t &end) {
    (void)sqlite3_reset(statement);  // a walk before this one may have left it stepped
    if (base::Status bound = bind_field(db, statement, series.field); !bound.ok()) {
        return bound.error();
    }
    std::vector<uint64_t> found;
    end = to;
    for (size_t i = from; i < to && found.size() < count; i++) {
        const base::Result<bool> yes = step_with(db, statement, series.list[i]);
        if (!yes.ok()) {
            return yes.error();
        }
        if (*yes) {
            found.push_back(series.list[i]);
            if (found.size() == count) {
                end = i + 1;
            }
        }
    }
    return found;
}

// The list walked from its mark to its end, then, when that was not enough, from its start to
// the mark (values given back behind it): never fewer than COUNT unless the list has no more.
// MARK becomes the index before which every value is reserved.
base::Result<std::vector<uint64_t>> walk_from_mark(sqlite3 *db, sqlite3_stmt *statement,
                                                   const UnitSeries &series, size_t count,
                                                   size_t &mark) {
    const size_t from = mark;
    base::Result<std::vector<uint64_t>> found =
        walk_list(db, statement, series, from, series.list.size(), count, mark);
    if (!found.ok() || found->size() == count || from == 0) {
        return found;
    }
    size_t end = 0;
    base::Result<std::vector<uint64_t>> behind =
        walk_list(db, statement, series, 0, from, count - found->size(), end);
    if (!behind.ok()) {
        return behind.error();
    }
    mark = found->size() + behind->size() == count ? end : series.list.size();
    // The list's order: what lies behind the mark comes first.
    behind->insert(behind->end(), found->begin(), found->end());
    return behind;
}

base::Status insert_units(sqlite3 *db, const std::string &field,
                          const std::vector<uint64_t> &numbers, const std::string &station,
                          bool or_ignore = false) {
    base::Result<StatementOwner> insert =
        prepare(db, std::string(or_ignore ? "INSERT OR IGNORE" : "INSERT") +
                        " INTO hidiap_unit_values (field, number, station) VALUES (?1, ?2, ?3)");
    if (!insert.ok()) {
        return insert.error();
    }
    if (base::Status bound = bind_field(db, insert->get(), field); !bound.ok()) {
        return bound;
    }
    if (sqlite3_bind_text(insert->get(), 3, station.c_str(), static_cast<int>(station.size()),
                          SQLITE_TRANSIENT) != SQLITE_OK) {
        return sqlite_error(db);
    }
    for (const uint64_t n : numbers) {
        if (const base::Result<bool> done = step_with(db, insert->get(), n); !done.ok()) {
            return done.error();
        }
    }
    return {};
}

// The lowest COUNT free values of a range, reserved, its floor raised past them (to the range's
// last value when it has no more); in the caller's transaction.
base::Result<std::vector<uint64_t>> reserve_in_range(sqlite3 *db, const UnitSeries &series,
                                                     size_t count, const std::string &station) {
    const base::Result<uint64_t> start = range_start(db, series);
    if (!start.ok()) {
        return start.error();
    }
    base::Result<std::vector<uint64_t>> free = free_in_range(db, series, *start, count);
    if (!free.ok()) {
        return free;
    }
    if (base::Status inserted = insert_units(db, series.field, *free, station); !inserted.ok()) {
        return inserted.error();
    }
    const uint64_t floor =
        free->size() < count || free->back() >= series.last ? series.last : free->back() + 1;
    base::Result<StatementOwner> raise =
        prepare(db,
                "INSERT INTO hidiap_unit_floors (field, range_first, floor) VALUES (?1, ?2, ?3) "
                "ON CONFLICT (field, range_first) DO UPDATE SET floor = max(floor, "
                "excluded.floor)");
    if (!raise.ok()) {
        return raise.error();
    }
    for (base::Status bound : {bind_field(db, raise->get(), series.field),
                               bind_number(db, raise->get(), 2, series.first),
                               bind_number(db, raise->get(), 3, floor)}) {
        if (!bound.ok()) {
            return bound.error();
        }
    }
    if (sqlite3_step(raise->get()) != SQLITE_DONE) {
        return sqlite_error(db);
    }
    return free;
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
                "DESC, rowid DESC LIMIT 1), (SELECT units FROM hidiap_records WHERE serial = ?1 "
                "AND outcome = 'success' AND units IS NOT NULL ORDER BY time DESC, rowid DESC "
                "LIMIT 1) FROM hidiap_records WHERE serial = ?1 AND outcome = 'success'");
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
    if (const unsigned char *v = sqlite3_column_text(row, 3); v != nullptr) {
        h.units = reinterpret_cast<const char *>(v);
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

base::Result<std::vector<uint64_t>> sqlite_reserve_units(sqlite3 *db, const UnitSeries &series,
                                                         size_t count, const std::string &station,
                                                         ListMarks &marks) {
    if (base::Status usable = check_unit_series(series); !usable.ok()) {
        return usable.error();
    }
    if (count == 0) {
        return std::vector<uint64_t>{};
    }
    if (base::Status begun = begin_immediate(db); !begun.ok()) {
        return begun.error();
    }
    std::vector<uint64_t> taken;
    size_t end = 0;
    base::Status done;
    if (series.is_list) {
        // A value the insert takes (OR IGNORE: one reserved already changes nothing) was free.
        base::Result<StatementOwner> insert =
            prepare(db,
                    "INSERT OR IGNORE INTO hidiap_unit_values (field, number, station) VALUES "
                    "(?1, ?2, ?3)");
        if (insert.ok() &&
            sqlite3_bind_text(insert->get(), 3, station.c_str(), static_cast<int>(station.size()),
                              SQLITE_TRANSIENT) != SQLITE_OK) {
            insert = sqlite_error(db);
        }
        end = marks.start(series);
        base::Result<std::vector<uint64_t>> walked =
            insert.ok() ? walk_from_mark(db, insert->get(), series, count, end)
                        : base::Result<std::vector<uint64_t>>(insert.error());
        if (walked.ok()) {
            taken = std::move(*walked);
        } else {
            done = walked.error();
        }
    } else {
        base::Result<std::vector<uint64_t>> free = reserve_in_range(db, series, count, station);
        if (free.ok()) {
            taken = std::move(*free);
        } else {
            done = free.error();
        }
    }
    if (base::Status ended = end_transaction(db, done); !ended.ok()) {
        return ended.error();
    }
    if (series.is_list) {
        marks.passed(series, end);
    }
    return taken;
}

base::Status sqlite_return_units(sqlite3 *db, const std::string &field,
                                 const std::vector<uint64_t> &numbers, const std::string &station) {
    if (numbers.empty()) {
        return {};
    }
    base::Result<StatementOwner> remove = prepare(
        db, "DELETE FROM hidiap_unit_values WHERE field = ?1 AND number = ?2 AND station = ?3");
    if (!remove.ok()) {
        return remove.error();
    }
    if (base::Status bound = bind_field(db, remove->get(), field); !bound.ok()) {
        return bound;
    }
    if (sqlite3_bind_text(remove->get(), 3, station.c_str(), static_cast<int>(station.size()),
                          SQLITE_TRANSIENT) != SQLITE_OK) {
        return sqlite_error(db);
    }
    // Every floor above a value that went comes down to it.
    base::Result<StatementOwner> lower =
        prepare(db,
                "UPDATE hidiap_unit_floors SET floor = ?2 WHERE field = ?1 AND range_first <= ?2 "
                "AND floor > ?2");
    if (!lower.ok()) {
        return lower.error();
    }
    if (base::Status bound = bind_field(db, lower->get(), field); !bound.ok()) {
        return bound;
    }
    if (base::Status begun = begin_immediate(db); !begun.ok()) {
        return begun;
    }
    base::Status done;
    for (const uint64_t n : numbers) {
        const base::Result<bool> gone = step_with(db, remove->get(), n);
        const base::Result<bool> lowered =
            gone.ok() && *gone ? step_with(db, lower->get(), n) : gone;
        if (!lowered.ok()) {
            done = lowered.error();
            break;
        }
    }
    return end_transaction(db, done);
}

base::Status sqlite_keep_units(sqlite3 *db, const std::string &field,
                               const std::vector<uint64_t> &numbers, const std::string &station) {
    if (base::Status begun = begin_immediate(db); !begun.ok()) {
        return begun;
    }
    return end_transaction(db, insert_units(db, field, numbers, station, true));
}

base::Result<std::optional<uint64_t>> sqlite_next_free_unit(sqlite3 *db, const UnitSeries &series) {
    if (base::Status usable = check_unit_series(series); !usable.ok()) {
        return usable.error();
    }
    std::vector<uint64_t> found;
    if (series.is_list) {
        // A value the look-up finds no row of is free.
        base::Result<StatementOwner> look =
            prepare(db,
                    "SELECT 1 WHERE NOT EXISTS (SELECT 1 FROM hidiap_unit_values WHERE field = ?1 "
                    "AND number = ?2)");
        if (!look.ok()) {
            return look.error();
        }
        // From the list's start: a look-up for the operator, exact rather than quick.
        size_t end = 0;
        base::Result<std::vector<uint64_t>> walked =
            walk_list(db, look->get(), series, 0, series.list.size(), 1, end);
        if (!walked.ok()) {
            return walked.error();
        }
        found = std::move(*walked);
    } else {
        const base::Result<uint64_t> start = range_start(db, series);
        if (!start.ok()) {
            return start.error();
        }
        base::Result<std::vector<uint64_t>> free = free_in_range(db, series, *start, 1);
        if (!free.ok()) {
            return free.error();
        }
        found = std::move(*free);
    }
    if (found.empty()) {
        return std::optional<uint64_t>();
    }
    return std::optional<uint64_t>(found[0]);
}

}  // namespace host
