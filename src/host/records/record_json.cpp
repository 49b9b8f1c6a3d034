#include "host/records/record_json.h"

#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>

namespace host {

namespace {

using Json = nlohmann::ordered_json;

Json or_null(const std::string &text) {
    return text.empty() ? Json() : Json(text);
}

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

std::string record_crc_text(const std::optional<uint32_t> &crc) {
    if (!crc) {
        return "";
    }
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08x", *crc);
    return hex;
}

std::string record_json_line(const DeviceRecord &r) {
    const Json j = {
        {"id", r.id},
        {"time", r.time_utc},
        {"station", r.station},
        {"tool_version", r.tool_version},
        {"device_path", r.device_path},
        {"serial", r.serial},
        {"manufacturer", r.manufacturer},
        {"product", r.product},
        {"image_path", r.image_path},
        {"image_size", r.image_size},
        {"image_sha256", r.image_sha256},
        {"tts_path", r.tts_path},
        {"tts_size", r.tts_size},
        {"tts_sha256", r.tts_sha256},
        {"token", r.token},
        {"outcome", r.outcome},
        {"cause", or_null(r.cause)},
        {"reason", or_null(r.reason)},
        {"bytes_programmed", r.bytes_programmed},
        {"seconds", r.seconds},
        {"image_crc", or_null(record_crc_text(r.image_crc))},
        {"tts_crc", or_null(record_crc_text(r.tts_crc))},
        {"firmware_version", or_null(r.firmware_version)},
        {"signature_key_id", or_null(r.signature_key_id)},
        {"trusted_comment", or_null(r.trusted_comment)},
    };
    return j.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

bool record_from_json_line(const std::string &line, DeviceRecord &r) {
    const Json j = Json::parse(line, nullptr, false);
    if (!j.is_object() || !j.contains("id") || !j["id"].is_string() || !j.contains("outcome") ||
        !j["outcome"].is_string() || !j.contains("time") || !j["time"].is_string()) {
        return false;
    }
    const auto number = [&j](const char *key) -> uint64_t {
        const auto it = j.find(key);
        return it != j.end() && it->is_number_unsigned() ? it->get<uint64_t>() : 0;
    };
    r = DeviceRecord();
    r.id = text_or_empty(j, "id");
    r.time_utc = text_or_empty(j, "time");
    r.station = text_or_empty(j, "station");
    r.tool_version = text_or_empty(j, "tool_version");
    r.device_path = text_or_empty(j, "device_path");
    r.serial = text_or_empty(j, "serial");
    r.manufacturer = text_or_empty(j, "manufacturer");
    r.product = text_or_empty(j, "product");
    r.image_path = text_or_empty(j, "image_path");
    r.image_size = number("image_size");
    r.image_sha256 = text_or_empty(j, "image_sha256");
    r.tts_path = text_or_empty(j, "tts_path");
    r.tts_size = number("tts_size");
    r.tts_sha256 = text_or_empty(j, "tts_sha256");
    r.token = text_or_empty(j, "token");
    r.outcome = text_or_empty(j, "outcome");
    r.cause = text_or_empty(j, "cause");
    r.reason = text_or_empty(j, "reason");
    r.bytes_programmed = number("bytes_programmed");
    const auto seconds = j.find("seconds");
    r.seconds = seconds != j.end() && seconds->is_number() ? seconds->get<double>() : 0;
    r.image_crc = crc_of(j, "image_crc");
    r.tts_crc = crc_of(j, "tts_crc");
    r.firmware_version = text_or_empty(j, "firmware_version");
    r.signature_key_id = text_or_empty(j, "signature_key_id");
    r.trusted_comment = text_or_empty(j, "trusted_comment");
    return true;
}

}  // namespace host
