// The firmware package in a run: making a signing key (--make-key), writing and signing a
// package (--make-package, --sign), the keys a run trusts, taking a package apart before the
// run, and keeping its firmware off devices of another product.
#pragma once

#include <string>
#include <vector>

#include "host/app/options.h"
#include "host/inputs/input_sources.h"
#include "host/inputs/package_trust.h"
#include "host/inputs/run_inputs.h"

namespace host {

// --make-package OUT IMAGE TTS TOKEN: checks both files as an update would, then writes the
// package. Returns the exit status.
int make_package_step(const Options &o);

// --make-key NAME: writes NAME.pub and NAME.key. Returns the exit status.
int make_key_step(const Options &o);

// The keys the run trusts: --trust's and the system folder's. 0, or the exit status after
// saying why one is unusable.
int trust_step(const Options &o, std::vector<TrustedKey> &trusted);

// Reads o.package_path, judges it against the trusted keys and makes o what the three-argument
// form would be: the members as IMAGE and TTS (named PACKAGE:MEMBER), the manifest's token, and
// its IDs unless --vid/--pid were given. Refused after saying why on standard error.
base::Status open_package_step(Options &o, PackageInputs &package,
                               const std::vector<TrustedKey> &trusted);

}  // namespace host
