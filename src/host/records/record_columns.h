// A record's fields in their one order, with their kind: the JSON keys, the SQLite and
// PostgreSQL columns. Every writer walks this list, so no two of them can disagree.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/records/record_writer.h"

namespace host {

struct RecordColumn {
    enum class Kind { Text, Integer, Real };
    const char *name;
    Kind kind;
    std::optional<std::string> text;  // Text: nullopt is null (an optional field left empty)
    uint64_t integer = 0;
    double real = 0;
};

std::vector<RecordColumn> record_columns(const DeviceRecord &record);

// The CRC's text in the records: 8 lowercase hex digits, empty when there is none.
std::string record_crc_text(const std::optional<uint32_t> &crc);

}  // namespace host
