#include "host/records/record_columns.h"

#include <cstdio>

namespace host {

std::string record_crc_text(const std::optional<uint32_t> &crc) {
    if (!crc) {
        return "";
    }
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08x", *crc);
    return hex;
}

std::vector<RecordColumn> record_columns(const DeviceRecord &r) {
    using Kind = RecordColumn::Kind;
    const auto text = [](const char *name, const std::string &value) {
        return RecordColumn{name, Kind::Text, value, 0, 0};
    };
    const auto optional = [](const char *name, const std::string &value) {
        return RecordColumn{name, Kind::Text,
                            value.empty() ? std::nullopt : std::optional<std::string>(value), 0, 0};
    };
    const auto integer = [](const char *name, uint64_t value) {
        return RecordColumn{name, Kind::Integer, std::nullopt, value, 0};
    };
    return {
        text("id", r.id),
        text("time", r.time_utc),
        text("station", r.station),
        text("tool_version", r.tool_version),
        text("device_path", r.device_path),
        text("serial", r.serial),
        text("manufacturer", r.manufacturer),
        text("product", r.product),
        text("image_path", r.image_path),
        integer("image_size", r.image_size),
        text("image_sha256", r.image_sha256),
        text("tts_path", r.tts_path),
        integer("tts_size", r.tts_size),
        text("tts_sha256", r.tts_sha256),
        text("token", r.token),
        text("outcome", r.outcome),
        optional("cause", r.cause),
        optional("reason", r.reason),
        integer("bytes_programmed", r.bytes_programmed),
        RecordColumn{"seconds", Kind::Real, std::nullopt, 0, r.seconds},
        optional("image_crc", record_crc_text(r.image_crc)),
        optional("tts_crc", record_crc_text(r.tts_crc)),
        optional("firmware_version", r.firmware_version),
        optional("signature_key_id", r.signature_key_id),
        optional("trusted_comment", r.trusted_comment),
    };
}

}  // namespace host
