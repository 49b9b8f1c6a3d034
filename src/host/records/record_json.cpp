#include "host/records/record_json.h"

#include <nlohmann/json.hpp>

#include "host/records/record_fields.h"

namespace host {

namespace {

using Json = nlohmann::ordered_json;

Json json_of(const FieldValue &v) {
    switch (v.type) {
        case FieldValue::Type::Text:
            return v.text;
        case FieldValue::Type::Integer:
            return v.integer;
        case FieldValue::Type::Real:
            return v.real;
        case FieldValue::Type::Null:
            break;
    }
    return nullptr;
}

FieldValue value_of(const Json &j) {
    if (j.is_string()) {
        return FieldValue::of_text(j.get<std::string>());
    }
    if (j.is_number_unsigned()) {
        return FieldValue::of_integer(j.get<uint64_t>());
    }
    if (j.is_number_float()) {
        return FieldValue::of_real(j.get<double>());
    }
    return FieldValue::null();
}

// A negative number, a boolean, an array or an object: of no field's kind.
bool of_no_kind(const Json &j) {
    return !j.is_string() && !j.is_number_unsigned() && !j.is_number_float() && !j.is_null();
}

}  // namespace

std::string record_json_line(const DeviceRecord &record) {
    Json j = Json::object();
    for (const RecordField &f : record_fields()) {
        const FieldValue v = field_value(f, record);
        // An object field is its object in the line, not the object's text.
        j[f.name] = f.kind == FieldKind::Object && v.type == FieldValue::Type::Text
                        ? Json::parse(v.text, nullptr, false)
                        : json_of(v);
    }
    return j.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

base::Result<DeviceRecord> record_from_json_line(const std::string &line) {
    const Json j = Json::parse(line, nullptr, false);
    if (!j.is_object()) {
        return base::Error(base::ErrorCode::InvalidInput, "it is not a JSON object");
    }
    DeviceRecord r;
    for (const RecordField &f : record_fields()) {
        const auto it = j.find(f.name);
        if (f.kind == FieldKind::Object && it != j.end() && it->is_object()) {
            const FieldValue v = FieldValue::of_text(it->dump());
            if (base::Status set = set_field(f, r, v); !set.ok()) {
                return set.error();
            }
            continue;
        }
        if (it != j.end() && of_no_kind(*it)) {
            return base::Error(base::ErrorCode::InvalidInput,
                               std::string("the field ") + f.name + " is of no record's kind");
        }
        const FieldValue v = it == j.end() ? FieldValue::null() : value_of(*it);
        if (base::Status set = set_field(f, r, v); !set.ok()) {
            return set.error();
        }
    }
    return r;
}

}  // namespace host
