// The station's unit values from the command line and the package: checked against the image
// and the records before any device is touched.
#pragma once

#include <memory>

#include "host/app/options.h"
#include "host/inputs/input_sources.h"
#include "host/inputs/run_inputs.h"
#include "host/library/run_records.h"
#include "host/library/unit_supply.h"

namespace host {

// Whether the run writes unit values: fields from --unit-field or the package.
bool has_unit_fields(const Options &o, const PackageInputs *package);

// The supply of a station's values. Returns 0 with SUPPLY set, or the exit status after saying
// why on standard error: fields that do not fit the image, values without a source, no
// records database to allocate them in, a journal another station holds.
int unit_step(const Options &o, const PackageInputs *package, const Inputs &inputs,
              RunRecords &records, std::unique_ptr<UnitSupply> &supply);

// --dry-run: each field, where it lies, and the next free value in the records database
// (nothing reserved). Returns 0, or the exit status after saying why.
int unit_dry_run(const Options &o, const PackageInputs *package, const Inputs &inputs);

}  // namespace host
