// --record: the record file or database opened before anything else, and each handled device's
// report kept in it, durably, before the device is reported done.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "formats/firmware_package.h"
#include "host/events/outcome.h"
#include "host/inputs/run_inputs.h"
#include "host/link/device_catalog.h"
#include "host/records/record_writer.h"

namespace host {

// Where a run's records go and what they say of the station, as --record and its options give.
struct RecordRequest {
    std::string destination;   // --record: a file or a postgresql:// URI
    std::string spool;         // --record-spool; "" for the default
    std::string station_name;  // --station-name; "" for the host name
    bool timing_report = false;
    std::vector<std::string> fields;  // --field KEY=VALUE, in the order given
};

// The records of the tool's runs and of the library's: both keep them through this one class.
class RunRecords {
  public:
    // Opens --record's destination; false, said on standard error naming it (a URI with its
    // password masked), when it cannot be used.
    bool open(const RecordRequest &request);
    bool enabled() const { return writer_ != nullptr; }
    // The open destination, for what only it can do (unit values); null without --record.
    RecordWriter *writer() const { return writer_.get(); }
    // Records that wait for the database (while it is away).
    unsigned waiting() const { return writer_ ? writer_->waiting() : 0; }
    // Where the writer's notes go (a station's status block); standard error when empty.
    void set_notes(RecordNotes notes);
    // The run is over: what still waits for the database is said on standard error.
    void finish();
    // What every record of this run shares: the files as given (names, sizes, SHA-256), the token,
    // and a package's firmware version and signer.
    void describe_inputs(const std::string &tool_version, const std::string &token,
                         const Inputs &inputs, const PackageInputs *package);
    // Appends the device's record; a record that cannot be kept fails the device. slot and log:
    // the station's slot of the board and the attempt's log file, when there are.
    // Returns the record's id ("" when none was kept).
    std::string keep(const DeviceInfo &device, RunReport &report, const std::string &slot = "",
                     const std::string &log = "");
    // The check of each board against its earlier successes in the database (by its serial):
    // the refusal of firmware older than it had (cause downgrade), or of a board whose records
    // cannot be read (cause record). JSON Lines are not consulted, which is said once.
    std::function<std::optional<BoardRefusal>(const DeviceInfo &)> older_firmware_check(
        const formats::Manifest &m, bool allow_older);

    // Every record of this run is of the job (its ID).
    void set_job(const std::string &id) { common_.job = id; }
    // The job's successes in the database; refused for JSON Lines and without --record.
    base::Result<uint64_t> job_successes(const std::string &id) {
        if (!writer_) {
            return base::Error(base::ErrorCode::InvalidInput,
                               "a job's boards are counted in the records database: give "
                               "--record FILE.sqlite or postgresql://...");
        }
        return writer_->job_successes(id);
    }

  private:
    void note(const std::string &line);
    RecordNotes notes_;
    std::unique_ptr<RecordWriter> writer_;
    std::string shown_;  // the destination as it may be shown
    DeviceRecord common_;
};

// --field's KEY=VALUE texts as pairs, in the order given.
std::vector<std::pair<std::string, std::string>> field_pairs(const std::vector<std::string> &given);

// success, current, failed or interrupted.
const char *record_outcome(const RunReport &report);

}  // namespace host
