// The steps of an update that the hidiap program and the library take alike, written once so
// that the two cannot drift: joining a run to its records, and running the opened devices.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "host/inputs/input_sources.h"
#include "host/inputs/run_inputs.h"
#include "host/library/run_records.h"
#include "host/update/update_run.h"

namespace host {

// Joins the run to `records` (opened): what each record shares (the program's version, the
// token, the inputs and their package), each device's report kept before the device is
// reported done, and with a package each board checked against the firmware its records say it
// had (older refused unless allow_older). Loose files are not compared.
void keep_records(RunRecords &records, UpdateSettings &settings, const std::string &version,
                  const std::string &token, const Inputs &inputs, const PackageInputs *package,
                  bool allow_older);

// Updates or verifies the opened devices with the inputs loaded into the globals: the run
// announced (each device's product line), then, unless stop_before_start says so, the inputs'
// plan run to the end (what settings.skip_blank and skip_unchanged leave out not sent). Returns
// each device's result in the order given, or nothing when stopped before the start, with
// nothing sent.
std::optional<std::vector<DeviceResult>> update_opened(
    const std::vector<UpdateDevice> &devices, const Inputs &inputs, const std::string &token,
    const UpdateSettings &settings, const std::function<bool()> &stop_before_start);

}  // namespace host
