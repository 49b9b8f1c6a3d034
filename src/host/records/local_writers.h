// The writers behind open_record_writer, one per kind of destination.
#pragma once

#include <memory>
#include <string>

#include "host/records/record_writer.h"

namespace host {

std::unique_ptr<RecordWriter> open_json_lines_writer(const std::string &file, std::string &error);
std::unique_ptr<RecordWriter> open_sqlite_writer(const std::string &file, std::string &error);
std::unique_ptr<RecordWriter> open_postgres_writer(const RecordDestination &destination,
                                                   std::string &error);

}  // namespace host
