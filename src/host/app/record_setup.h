// --record-setup URI: the records tables made or upgraded in a PostgreSQL database.
#pragma once

#include "host/app/options.h"

namespace host {

// Creates or upgrades the records tables. Returns the exit status.
int record_setup_step(const Options &o);

}  // namespace host
