// The database's spool: every record is first appended, synced, to a file on the station's own
// disk and leaves it only once the database committed it. One file per database and station
// process, held with an exclusive lock; a station starting up takes over, and sends first, what
// earlier runs left in the files of its database that no running station holds.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/records/record_file.h"
#include "host/records/record_writer.h"

namespace host {

// Where the spool files live by default: $XDG_STATE_HOME/hidiap (~/.local/state/hidiap), or
// %LOCALAPPDATA%\hidiap on Windows.
std::string default_spool_folder();

class RecordSpool {
  public:
    // Takes FILE when given (refused when another station holds it); otherwise the first free
    // file for the database DATABASE_KEY in the default folder, and the unheld files beside it.
    static std::unique_ptr<RecordSpool> open(const std::string &file,
                                             const std::string &database_key,
                                             const RecordNotes &notes, std::string &error);

    const std::string &path() const { return own_->path(); }
    // The records the files held when taken, oldest first. A line cut short by a power loss is
    // left out, and said.
    std::vector<DeviceRecord> take_leftovers();
    // The record is on disk when this returns true.
    bool append(const DeviceRecord &record, std::string &error);
    // The database holds everything the files hold: they are emptied, and the files taken over
    // from earlier runs let go.
    bool clear(std::string &error);

  private:
    RecordSpool(std::unique_ptr<RecordFile> own, RecordNotes notes)
        : own_(std::move(own)), notes_(std::move(notes)) {}

    std::unique_ptr<RecordFile> own_;
    std::vector<std::unique_ptr<RecordFile>> taken_over_;
    RecordNotes notes_;
};

}  // namespace host
