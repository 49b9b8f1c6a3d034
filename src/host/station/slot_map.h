// The fixture's slots: a name for each position, by the USB port path a board in it sits on. The
// map's text is one slot per line, its name and its port path separated by white space, a word
// that begins with "#" starting a comment (a Windows location path holds "#" inside it):
//     # the left fixture, hub A
//     left-1   1-2.1
//     left-2   1-2.2
// Pure: parsed and written here, read and kept by the caller.
#pragma once

#include <string>
#include <vector>

#include "base/result.h"

namespace host {

struct Slot {
    std::string name;
    std::string port;
};

// The slots in the text's order. InvalidInput naming the line when a line is not NAME PORT, or a
// name or a port comes twice (a board would be two slots, or a slot two boards).
base::Result<std::vector<Slot>> parse_slot_map(const std::string &text);

// The map's text for these slots, one line each, led by a comment line.
std::string slot_map_text(const std::vector<Slot> &slots);

// The slot on this port, or nullptr.
const Slot *slot_on_port(const std::vector<Slot> &slots, const std::string &port);

}  // namespace host
