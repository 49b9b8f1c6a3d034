// The firmware package in a run: writing one (--make-package), taking one apart before the
// run, and keeping its firmware off devices of another product.
#pragma once

#include <string>

#include "host/app/options.h"
#include "host/inputs/input_sources.h"
#include "host/inputs/run_inputs.h"

namespace host {

// --make-package OUT IMAGE TTS TOKEN: checks both files as an update would, then writes the
// package. Returns the exit status.
int make_package_step(const Options &o);

// Reads o.package_path and makes o what the three-argument form would be: the members as IMAGE
// and TTS (named PACKAGE:MEMBER), the manifest's token, and its IDs unless --vid/--pid were
// given. 0, or the exit status after saying why.
int open_package_step(Options &o, PackageInputs &package);

}  // namespace host
