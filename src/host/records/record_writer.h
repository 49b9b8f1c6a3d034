// The durable record of each handled device (--record FILE): one record per device, appended,
// and on disk before the device is reported done. JSON Lines, or an SQLite database when FILE
// ends in .sqlite or .db. The fields and the table are described in the README ("Records").
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace host {

struct DeviceRecord {
    std::string id;        // unique: 32 random hex digits
    std::string time_utc;  // ISO 8601, UTC, milliseconds: 2026-12-09T04:40:05.123Z
    std::string station;   // the host name
    std::string tool_version;
    std::string device_path;
    std::string serial;
    std::string manufacturer;
    std::string product;
    std::string image_path;
    uint64_t image_size = 0;
    std::string image_sha256;
    std::string tts_path;
    uint64_t tts_size = 0;
    std::string tts_sha256;
    std::string token;
    std::string outcome;  // success, current, failed, interrupted
    std::string cause;    // empty for success and current
    std::string reason;
    uint64_t bytes_programmed = 0;
    double seconds = 0;
    std::optional<uint32_t> image_crc;  // the device's CRC-32 of the range, when it gave one
    std::optional<uint32_t> tts_crc;
    // A firmware package's version, and the key ID and trusted comment of its signature; empty
    // for loose files and unsigned packages.
    std::string firmware_version;
    std::string signature_key_id;
    std::string trusted_comment;
};

class RecordWriter {
  public:
    virtual ~RecordWriter() = default;
    // Appends one record and returns once it is durable (written, flushed and synced; in SQLite
    // a committed transaction). Safe to call from several threads; several processes may append
    // to one file at once. False, with the reason in error, when it could not be written.
    virtual bool append(const DeviceRecord &record, std::string &error) = 0;
};

// Opens (creates when missing) the record file and proves it writable, before any device is
// touched. Null, with the reason in error, when it cannot be used.
std::unique_ptr<RecordWriter> open_record_writer(const std::string &file, std::string &error);

// A fresh record id, the current UTC time in the record's form, and this machine's name.
std::string new_record_id();
std::string utc_now_iso8601();
std::string station_name();

}  // namespace host
