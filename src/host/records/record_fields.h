// A record's fields, in their one order, with their kind and the schema version that brought
// them: the one table the JSON line (written and read), the SQLite schema, insert and rows, and
// the PostgreSQL schema and insert all walk, so no two of them can disagree.
//
// Adding a field is one row here (with `since` one past kRecordsSchemaVersion, never required:
// the rows of earlier versions have no value for it) and the version's step in each database's
// list of migrations (sqlite_records.cpp, records_table.cpp), which adds the column.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "base/result.h"
#include "host/records/record_writer.h"

namespace host {

// The schema version the records are written in, in SQLite and in PostgreSQL alike.
constexpr int kRecordsSchemaVersion = 5;

// How a field is kept in each store.
enum class FieldKind {
    Uuid,          // the record's key: text; uuid in PostgreSQL
    Time,          // ISO 8601 UTC text; timestamptz in PostgreSQL
    Text,          // text; "" stays ""
    OptionalText,  // text, or null for ""
    Count,         // an unsigned integer
    Real,          // a floating-point number
    Crc,           // 8 lowercase hex digits, or null for none
    // A JSON object of texts: an object in the line, its compact text in SQLite, jsonb in
    // PostgreSQL; null for none. Kept as the object's compact text ({"lot":"7"}).
    Object,
};

struct RecordField {
    using Member = std::variant<std::string DeviceRecord::*, uint64_t DeviceRecord::*,
                                double DeviceRecord::*, std::optional<uint32_t> DeviceRecord::*>;
    const char *name;  // the JSON key and the column, in both databases
    FieldKind kind;
    int since;      // the schema version that brought it
    bool required;  // in every record: NOT NULL in the databases, and a line without it is none
    Member member;
    const char *allowed = nullptr;  // the only words the databases accept, blank-separated
};

// Every field, in the order of the JSON line and the tables.
const std::vector<RecordField> &record_fields();

// A field's value as the stores see it.
struct FieldValue {
    enum class Type { Null, Text, Integer, Real };
    Type type = Type::Null;
    std::string text;
    uint64_t integer = 0;
    double real = 0;

    static FieldValue null() { return {}; }
    static FieldValue of_text(std::string t) { return {Type::Text, std::move(t), 0, 0}; }
    static FieldValue of_integer(uint64_t i) { return {Type::Integer, {}, i, 0}; }
    static FieldValue of_real(double r) { return {Type::Real, {}, 0, r}; }
};

FieldValue field_value(const RecordField &field, const DeviceRecord &record);
// Sets the field from a value a store gave back; InvalidInput when the value is not of the
// field's kind (a number for a text, a CRC that is not 8 hex digits, null for a required field).
base::Status set_field(const RecordField &field, DeviceRecord &record, const FieldValue &value);

// The fields of schema version VERSION (those it brought with `since == VERSION`, or all up to it
// with `up_to`).
std::vector<const RecordField *> fields_since(int version);
std::vector<const RecordField *> fields_up_to(int version);

// The record's `fields` of these keys and values (in the order of the keys), "" for none.
std::string record_fields_object(const std::vector<std::pair<std::string, std::string>> &pairs);

// The CRC's text in the records: 8 lowercase hex digits, empty when there is none.
std::string record_crc_text(const std::optional<uint32_t> &crc);

}  // namespace host
