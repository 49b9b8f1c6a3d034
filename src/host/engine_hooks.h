// The engine's two hooks as the tool implements them: a frame goes to the device in one output
// report; an event becomes one console line. Both run inside an engine call.
#pragma once

#include <cstdint>

#include "iap.h"

namespace host {
class EngineRunner;
void attach_hooks(EngineRunner *runner);
}  // namespace host

// Puts the frame in output report 1 (cut to 63 bytes) and writes it; a failed write is dumped.
void iap_cmd_tx(uint8_t *dat, int len);
// Prints the event's line and hands the event to the running update.
void iap_evnet_callback(iap_event_t evt);
// Prints len bytes as lines of `number` hex bytes, each line led by its offset.
void dump_hex(const uint8_t *p_dat, int len, int number);
