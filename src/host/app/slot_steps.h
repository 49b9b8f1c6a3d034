// The fixture's slot map: read for the station (--slots FILE), and written by asking the
// operator to plug a board into each slot in turn (slots learn FILE).
#pragma once

#include <vector>

#include "host/app/options.h"
#include "host/link/device_catalog.h"
#include "host/station/slot_map.h"

namespace host {

// --slots FILE: its slots; false, said on standard error, when it cannot be read or parsed or
// names no slot.
bool load_slot_map(const std::string &path, std::vector<Slot> &slots);

// slots learn FILE: slot1, slot2, ... each the port of the next board plugged in. Returns the
// exit status: 0 with FILE written, 3 when no slot was learned, 2 when FILE exists or cannot be
// written.
int learn_slots_step(const Options &o, DeviceCatalog &catalog);

}  // namespace host
