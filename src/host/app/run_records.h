// --record: the record file or database opened before anything else, and each handled device's
// report kept in it, durably, before the device is reported done.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

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
    // Appends the device's record; a record that cannot be kept fails the device. slot and log:
    // the station's slot of the board and the attempt's log file, when there are.
    // Returns the record's id ("" when none was kept).
    std::string keep(const DeviceInfo &device, RunReport &report, const std::string &slot = "",
                     const std::string &log = "");

  private:
    std::unique_ptr<RecordWriter> writer_;
    std::string shown_;  // the destination as it may be shown
    DeviceRecord common_;
};

// --field's KEY=VALUE texts as pairs, in the order given.
std::vector<std::pair<std::string, std::string>> field_pairs(const std::vector<std::string> &given);

// success, current, failed or interrupted.
const char *record_outcome(const RunReport &report);

// --record-setup URI: creates or upgrades the records tables. Returns the exit status.
int record_setup_step(const Options &o);

}  // namespace host
