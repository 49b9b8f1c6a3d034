// The firmware package in a run: making a signing key (--make-key), writing and signing a
// package (--make-package, --sign, package sign), showing what one holds (package show), the keys a
// run trusts, and taking a package apart before the run.
#pragma once

#include <string>
#include <vector>

#include "host/app/options.h"
#include "host/inputs/input_sources.h"
#include "host/inputs/package_trust.h"
#include "host/inputs/run_inputs.h"
#include "host/inputs/station_job.h"
#include "host/library/run_records.h"

namespace host {

// --make-package OUT IMAGE TTS TOKEN: checks both files as an update would, then writes the
// package. Returns the exit status.
int make_package_step(const Options &o);

// package show PACKAGE: what the package holds and whether a run here would take it, on
// standard output (one `package` event with --json). 0 when it would run, else 2 after saying
// why on standard error.
int show_package_step(const Options &o);

// --make-key NAME: writes NAME.pub and NAME.key. Returns the exit status.
int make_key_step(const Options &o);

// package sign PACKAGE --sign KEY...: adds a signature member per key, in place. Returns the
// exit status.
int sign_package_step(const Options &o);

// The keys the run judges packages by: --trust's and the trusted folder's (--trusted-keys-dir,
// else the system's), --revoke's and the revoked folder's likewise. 0, or the exit status after
// saying why one is unusable.
int keys_step(const Options &o, PackageKeys &keys);

// job make OUT: writes the job and OUT.minisig, each whole. Returns the exit status.
int make_job_step(const Options &o);

// station --job JOB: the job judged for this station, its package and the records, before
// anything is sent; its ID set in every record. 0 with the job in `job`, else the exit status
// after saying why on standard error.
int job_step(const Options &o, const PackageKeys &keys, RunRecords &records, StationJob &job);

// Reads o.package_path, judges it against the keys and makes o what the three-argument form
// would be: the members as IMAGE and TTS (named PACKAGE:MEMBER), the manifest's token, and its
// IDs unless --vid/--pid were given. Refused after saying why on standard error.
base::Status open_package_step(Options &o, PackageInputs &package, const PackageKeys &keys);

}  // namespace host
