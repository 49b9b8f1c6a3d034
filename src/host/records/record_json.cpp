#include "host/records/record_json.h"

#include <cstdlib>
#include <nlohmann/json.hpp>

#include "host/records/record_columns.h"

namespace host {

namespace {

using Json = nlohmann::ordered_json;

// The text fields as a line names them; the numbers and CRCs are read one by one.
const std::pair<const char *, std::string DeviceRecord::*> kTextFields[] = {
    {"id", &DeviceRecord::id},
    {"time", &DeviceRecord::time_utc},
    {"station", &DeviceRecord::station},
    {"tool_version", &DeviceRecord::tool_version},
    {"device_path", &DeviceRecord::device_path},
    {"serial", &DeviceRecord::serial},
    {"manufacturer", &DeviceRecord::manufacturer},
    {"product", &DeviceRecord::product},
    {"image_path", &DeviceRecord::image_path},
    {"image_sha256", &DeviceRecord::image_sha256},
    {"tts_path", &DeviceRecord::tts_path},
    {"tts_sha256", &DeviceRecord::tts_sha256},
    {"token", &DeviceRecord::token},
    {"outcome", &DeviceRecord::outcome},
    {"cause", &DeviceRecord::cause},
    {"reason", &DeviceRecord::reason},
    {"firmware_version", &DeviceRecord::firmware_version},
    {"signature_key_id", &DeviceRecord::signature_key_id},
    {"trusted_comment", &DeviceRecord::trusted_comment},
};

std::string text_or_empty(const Json &j, const char *key) {
    const auto it = j.find(key);
    return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::optional<uint32_t> crc_of(const Json &j, const char *key) {
    const std::string text = text_or_empty(j, key);
    if (text.size() != 8) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 16));
}

}  // namespace

std::string record_json_line(const DeviceRecord &record) {
    Json j = Json::object();
    for (const RecordColumn &c : record_columns(record)) {
        switch (c.kind) {
            case RecordColumn::Kind::Text:
                j[c.name] = c.text ? Json(*c.text) : Json();
                break;
            case RecordColumn::Kind::Integer:
                j[c.name] = c.integer;
                break;
            case RecordColumn::Kind::Real:
                j[c.name] = c.real;
                break;
        }
    }
    return j.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

bool record_from_json_line(const std::string &line, DeviceRecord &r) {
    const Json j = Json::parse(line, nullptr, false);
    if (!j.is_object()) {
        return false;
    }
    for (const char *required : {"id", "time", "outcome"}) {
        if (!j.contains(required) || !j[required].is_string()) {
            return false;
        }
    }
    const auto number = [&j](const char *key) -> uint64_t {
        const auto it = j.find(key);
        return it != j.end() && it->is_number_unsigned() ? it->get<uint64_t>() : 0;
    };
    r = DeviceRecord();
    for (const auto &[key, member] : kTextFields) {
        r.*member = text_or_empty(j, key);
    }
    r.image_size = number("image_size");
    r.tts_size = number("tts_size");
    r.bytes_programmed = number("bytes_programmed");
    const auto seconds = j.find("seconds");
    r.seconds = seconds != j.end() && seconds->is_number() ? seconds->get<double>() : 0;
    r.image_crc = crc_of(j, "image_crc");
    r.tts_crc = crc_of(j, "tts_crc");
    return true;
}

}  // namespace host
