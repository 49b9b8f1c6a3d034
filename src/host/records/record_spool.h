// The database's spool: every record is first appended, synced, to a file on the station's own
// disk and leaves it only once the database committed it. One file per database and station
// process, held with an exclusive lock; a station starting up takes over, and sends first, what
// earlier runs left in the files of its database that no running station holds. Those leftovers
// are read a piece at a time as they are sent, never whole: a spool of a week without the
// database costs no more memory than one of a minute. A record the database refuses for its
// content is set aside in a file of its own beside the spool.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/result.h"
#include "host/records/record_file.h"
#include "host/records/record_writer.h"

namespace host {

// Where the spool files live by default: hidiap in the user's state folder
// ($XDG_STATE_HOME/hidiap, ~/.local/state/hidiap, or %LOCALAPPDATA%\hidiap on Windows).
std::string default_spool_folder();

class RecordSpool {
  public:
    // Takes FILE when given (refused when another station holds it); otherwise the first free
    // file for the database DATABASE_KEY in the default folder, and the unheld files beside it.
    // Lines of the files that are no whole record (cut short by a power loss) are said in NOTES
    // and left out.
    static base::Result<std::unique_ptr<RecordSpool>> open(const std::string &file,
                                                           const std::string &database_key,
                                                           const RecordNotes &notes);
    ~RecordSpool();

    const std::string &path() const { return path_; }
    // Where records the database refused for their content are set aside.
    std::string refused_path() const { return path_ + ".refused"; }

    // Records the files held when taken that take_leftovers has not handed out yet.
    size_t leftovers() const;
    // The next leftovers, at most MAX, oldest first across the files, each file's own order kept.
    base::Result<std::vector<DeviceRecord>> take_leftovers(size_t max);
    // LINE (a record's JSON line) is on disk when this returns.
    base::Status append(const std::string &line);
    // LINE is on disk in the file of refused records when this returns.
    base::Status set_aside(const std::string &line);
    // The database holds everything the files hold: they are emptied, and the files taken over
    // from earlier runs let go.
    base::Status clear();

  private:
    struct Source;
    RecordSpool(std::unique_ptr<RecordFile> own, RecordNotes notes);
    base::Status count_leftovers();

    const std::string path_;
    RecordNotes notes_;
    mutable std::mutex mutex_;  // the files: appends from boards, reads from the forwarder
    std::unique_ptr<RecordFile> own_;
    std::vector<std::unique_ptr<RecordFile>> taken_over_;
    std::vector<Source> sources_;  // where the leftovers are read from, one per file
    size_t leftovers_ = 0;
    bool own_kept_ = false;  // the own file could not be read whole: never emptied
    std::unique_ptr<RecordFile> refused_;
};

}  // namespace host
