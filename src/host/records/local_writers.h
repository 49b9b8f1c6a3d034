// The writers behind open_record_writer, one per kind of destination.
#pragma once

#include <memory>

#include "base/result.h"
#include "host/records/record_writer.h"

namespace host {

base::Result<std::unique_ptr<RecordWriter>> open_json_lines_writer(
    const RecordDestination &destination);
base::Result<std::unique_ptr<RecordWriter>> open_sqlite_writer(
    const RecordDestination &destination);
base::Result<std::unique_ptr<RecordWriter>> open_postgres_writer(
    const RecordDestination &destination);

}  // namespace host
