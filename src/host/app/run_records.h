// --record: the record file opened before anything else, and each handled device's report kept
// in it, durably, before the device is reported done.
#pragma once

#include <memory>
#include <string>

#include "host/app/options.h"
#include "host/events/outcome.h"
#include "host/inputs/run_inputs.h"
#include "host/link/device_catalog.h"
#include "host/records/record_writer.h"

namespace host {

class RunRecords {
  public:
    // Opens FILE; false, said on standard error naming the file, when it cannot be used.
    bool open(const std::string &file);
    bool enabled() const { return writer_ != nullptr; }
    // What every record of this run shares: the files as given (names, sizes, SHA-256), the token,
    // and a package's firmware version and signer.
    void describe_inputs(const Options &o, const Inputs &inputs, const PackageInputs *package);
    // Appends the device's record; a record that cannot be kept fails the device.
    void keep(const DeviceInfo &device, RunReport &report);

  private:
    std::unique_ptr<RecordWriter> writer_;
    std::string file_;
    DeviceRecord common_;
};

// success, current, failed or interrupted.
const char *record_outcome(const RunReport &report);

}  // namespace host
