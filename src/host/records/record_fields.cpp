#include "host/records/record_fields.h"

#include <cstdio>
#include <nlohmann/json.hpp>

namespace host {

namespace {

using base::Error;
using base::ErrorCode;

const std::vector<RecordField> kFields = {
    // name, kind, since, required, member[, allowed words]
    {"id", FieldKind::Uuid, 1, true, &DeviceRecord::id},
    {"time", FieldKind::Time, 1, true, &DeviceRecord::time_utc},
    {"station", FieldKind::Text, 1, true, &DeviceRecord::station},
    {"tool_version", FieldKind::Text, 1, true, &DeviceRecord::tool_version},
    {"device_path", FieldKind::Text, 1, false, &DeviceRecord::device_path},
    {"serial", FieldKind::Text, 1, false, &DeviceRecord::serial},
    {"manufacturer", FieldKind::Text, 1, false, &DeviceRecord::manufacturer},
    {"product", FieldKind::Text, 1, false, &DeviceRecord::product},
    {"image_path", FieldKind::Text, 1, false, &DeviceRecord::image_path},
    {"image_size", FieldKind::Count, 1, false, &DeviceRecord::image_size},
    {"image_sha256", FieldKind::Text, 1, false, &DeviceRecord::image_sha256},
    {"tts_path", FieldKind::Text, 1, false, &DeviceRecord::tts_path},
    {"tts_size", FieldKind::Count, 1, false, &DeviceRecord::tts_size},
    {"tts_sha256", FieldKind::Text, 1, false, &DeviceRecord::tts_sha256},
    {"token", FieldKind::Text, 1, false, &DeviceRecord::token},
    {"outcome", FieldKind::Text, 1, true, &DeviceRecord::outcome,
     "success current failed interrupted"},
    {"cause", FieldKind::OptionalText, 1, false, &DeviceRecord::cause},
    {"reason", FieldKind::OptionalText, 1, false, &DeviceRecord::reason},
    {"bytes_programmed", FieldKind::Count, 1, false, &DeviceRecord::bytes_programmed},
    {"seconds", FieldKind::Real, 1, false, &DeviceRecord::seconds},
    {"image_crc", FieldKind::Crc, 1, false, &DeviceRecord::image_crc},
    {"tts_crc", FieldKind::Crc, 1, false, &DeviceRecord::tts_crc},
    {"firmware_version", FieldKind::OptionalText, 1, false, &DeviceRecord::firmware_version},
    {"signature_key_id", FieldKind::OptionalText, 1, false, &DeviceRecord::signature_key_id},
    {"trusted_comment", FieldKind::OptionalText, 1, false, &DeviceRecord::trusted_comment},
    // Schema 2: the security counter, which the downgrade check reads back by serial.
    {"security_counter", FieldKind::Count, 2, false, &DeviceRecord::security_counter},
    // Schema 3: where the board sat, the run's fields and its log.
    {"port", FieldKind::OptionalText, 3, false, &DeviceRecord::port},
    {"slot", FieldKind::OptionalText, 3, false, &DeviceRecord::slot},
    {"fields", FieldKind::Object, 3, false, &DeviceRecord::fields},
    {"log", FieldKind::OptionalText, 3, false, &DeviceRecord::log},
    // Schema 4: the job the board was updated under, whose successes are counted against it.
    {"job", FieldKind::OptionalText, 4, false, &DeviceRecord::job},
    // Schema 5: the board's unit values (serial numbers, MAC addresses), allocated in the
    // database's table of unit values.
    {"units", FieldKind::Object, 5, false, &DeviceRecord::units},
};

Error not_of_kind(const RecordField &field, const char *what) {
    return Error(ErrorCode::InvalidInput,
                 std::string("the field ") + field.name + " is not " + what);
}

std::optional<uint32_t> crc_of_text(const std::string &text) {
    if (text.size() != 8 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        return std::nullopt;
    }
    uint32_t crc = 0;
    for (const char c : text) {
        const int digit = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
        crc = (crc << 4) | static_cast<uint32_t>(digit);
    }
    return crc;
}

// The compact text of a JSON object whose every value is a text ({"lot":"7"}), as every store
// gives it back alike (PostgreSQL's jsonb spells it with spaces); none for anything else.
std::optional<std::string> object_text(const std::string &text) {
    const nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
    if (!j.is_object()) {
        return std::nullopt;
    }
    for (const auto &item : j.items()) {
        if (!item.value().is_string()) {
            return std::nullopt;
        }
    }
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

std::string record_fields_object(const std::vector<std::pair<std::string, std::string>> &pairs) {
    if (pairs.empty()) {
        return "";
    }
    nlohmann::json j = nlohmann::json::object();
    for (const auto &[key, value] : pairs) {
        j[key] = value;
    }
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

const std::vector<RecordField> &record_fields() {
    return kFields;
}

std::string record_crc_text(const std::optional<uint32_t> &crc) {
    if (!crc) {
        return "";
    }
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08x", *crc);
    return hex;
}

FieldValue field_value(const RecordField &field, const DeviceRecord &r) {
    switch (field.kind) {
        case FieldKind::Uuid:
        case FieldKind::Time:
        case FieldKind::Text:
            return FieldValue::of_text(r.*std::get<std::string DeviceRecord::*>(field.member));
        case FieldKind::OptionalText:
        case FieldKind::Object: {
            const std::string &text = r.*std::get<std::string DeviceRecord::*>(field.member);
            return text.empty() ? FieldValue::null() : FieldValue::of_text(text);
        }
        case FieldKind::Count:
            return FieldValue::of_integer(r.*std::get<uint64_t DeviceRecord::*>(field.member));
        case FieldKind::Real:
            return FieldValue::of_real(r.*std::get<double DeviceRecord::*>(field.member));
        case FieldKind::Crc: {
            const auto &crc = r.*std::get<std::optional<uint32_t> DeviceRecord::*>(field.member);
            return crc ? FieldValue::of_text(record_crc_text(crc)) : FieldValue::null();
        }
    }
    return FieldValue::null();
}

base::Status set_field(const RecordField &field, DeviceRecord &r, const FieldValue &v) {
    using Type = FieldValue::Type;
    if (v.type == Type::Null && field.required) {
        return Error(ErrorCode::InvalidInput,
                     std::string("the field ") + field.name + " is missing");
    }
    switch (field.kind) {
        case FieldKind::Uuid:
        case FieldKind::Time:
        case FieldKind::Text:
        case FieldKind::OptionalText:
            if (v.type != Type::Text && v.type != Type::Null) {
                return not_of_kind(field, "a text");
            }
            r.*std::get<std::string DeviceRecord::*>(field.member) = v.text;
            return {};
        case FieldKind::Count:
            if (v.type != Type::Integer && v.type != Type::Null) {
                return not_of_kind(field, "a count");
            }
            r.*std::get<uint64_t DeviceRecord::*>(field.member) = v.integer;
            return {};
        case FieldKind::Real:
            if (v.type == Type::Integer) {
                r.*std::get<double DeviceRecord::*>(field.member) = static_cast<double>(v.integer);
                return {};
            }
            if (v.type != Type::Real && v.type != Type::Null) {
                return not_of_kind(field, "a number");
            }
            r.*std::get<double DeviceRecord::*>(field.member) = v.real;
            return {};
        case FieldKind::Crc: {
            auto &crc = r.*std::get<std::optional<uint32_t> DeviceRecord::*>(field.member);
            if (v.type == Type::Null) {
                crc.reset();
                return {};
            }
            crc = v.type == Type::Text ? crc_of_text(v.text) : std::nullopt;
            if (!crc) {
                return not_of_kind(field, "a CRC of 8 hex digits");
            }
            return {};
        }
        case FieldKind::Object: {
            std::string &text = r.*std::get<std::string DeviceRecord::*>(field.member);
            if (v.type == Type::Null) {
                text.clear();
                return {};
            }
            const std::optional<std::string> object =
                v.type == Type::Text ? object_text(v.text) : std::nullopt;
            if (!object) {
                return not_of_kind(field, "a JSON object of texts");
            }
            text = *object;
            return {};
        }
    }
    return {};
}

std::vector<const RecordField *> fields_since(int version) {
    std::vector<const RecordField *> fields;
    for (const RecordField &f : kFields) {
        if (f.since == version) {
            fields.push_back(&f);
        }
    }
    return fields;
}

std::vector<const RecordField *> fields_up_to(int version) {
    std::vector<const RecordField *> fields;
    for (const RecordField &f : kFields) {
        if (f.since <= version) {
            fields.push_back(&f);
        }
    }
    return fields;
}

}  // namespace host
