// The engine's two hooks as the tool implements them: a frame goes to the device in one output
// report; an event becomes one console line. Both run inside an engine call made by an
// EngineRunner, and act on that runner's device (EngineRunner::current()); outside one they send
// nothing.
#pragma once

#include <cstdint>

#include "iap.h"

// Puts the frame in output report 1 (cut to 63 bytes) and writes it; a failed write is dumped.
void iap_cmd_tx(uint8_t *dat, int len);
// Prints the event's line and hands the event to the running update.
void iap_evnet_callback(iap_event_t evt);
// Prints len bytes as lines of `number` hex bytes, each line led by its offset.
void dump_hex(const uint8_t *p_dat, int len, int number);
