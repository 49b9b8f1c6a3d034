// A record as one JSON object on one line: the JSON Lines record file's form and the spool's.
#pragma once

#include <string>

#include "host/records/record_writer.h"

namespace host {

// The record's line, ending in '\n'. Empty texts of the optional fields are null.
std::string record_json_line(const DeviceRecord &record);

// The record a line holds; false when the line is not a whole record (cut short, or not ours).
bool record_from_json_line(const std::string &line, DeviceRecord &record);

}  // namespace host
