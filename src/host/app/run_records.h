// --record: the record file or database opened before anything else, and each handled device's
// report kept in it, durably, before the device is reported done.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "formats/firmware_package.h"
#include "host/app/options.h"
#include "host/events/outcome.h"
#include "host/inputs/run_inputs.h"
#include "host/link/device_catalog.h"
#include "host/records/record_writer.h"

namespace host {

class RunRecords {
  public:
    // Opens --record's destination; false, said on standard error naming it (a URI with its
    // password masked), when it cannot be used.
    bool open(const Options &o);
    bool enabled() const { return writer_ != nullptr; }
    // Records that wait for the database (while it is away).
    unsigned waiting() const { return writer_ ? writer_->waiting() : 0; }
    // Where the writer's notes go (a station's status block); standard error when empty.
    void set_notes(RecordNotes notes);
    // The run is over: what still waits for the database is said on standard error.
    void finish();
    // What every record of this run shares: the files as given (names, sizes, SHA-256), the token,
    // and a package's firmware version and signer.
    void describe_inputs(const Options &o, const Inputs &inputs, const PackageInputs *package);
    // Appends the device's record; a record that cannot be kept fails the device.
    void keep(const DeviceInfo &device, RunReport &report);
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

// success, current, failed or interrupted.
const char *record_outcome(const RunReport &report);

// --record-setup URI: creates or upgrades the records tables. Returns the exit status.
int record_setup_step(const Options &o);

}  // namespace host
