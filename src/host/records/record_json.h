// A record as one JSON object on one line: the JSON Lines record file's form and the spool's.
#pragma once

#include <string>

#include "base/result.h"
#include "host/records/record_writer.h"

namespace host {

// The record's line, ending in '\n'. Empty texts of the optional fields are null; bytes that are
// not UTF-8 are replaced (U+FFFD), so that the line is valid JSON whatever a name held.
std::string record_json_line(const DeviceRecord &record);

// The record a line holds; InvalidInput, saying why, when the line is not a whole record (cut
// short, not JSON, a required field missing, a field of the wrong kind). Fields the line lacks
// (a line of an earlier schema) are left empty.
base::Result<DeviceRecord> record_from_json_line(const std::string &line);

}  // namespace host
