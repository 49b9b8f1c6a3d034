#include "host/station/slot_map.h"

#include <algorithm>
#include <set>
#include <sstream>

namespace host {

base::Result<std::vector<Slot>> parse_slot_map(const std::string &text) {
    std::vector<Slot> slots;
    std::set<std::string> names;
    std::set<std::string> ports;
    std::istringstream lines(text);
    std::string line;
    for (int number = 1; std::getline(lines, line); number++) {
        // A comment starts at a word's "#": Windows location paths hold "#" within the word.
        for (size_t at = line.find('#'); at != std::string::npos; at = line.find('#', at + 1)) {
            if (at == 0 || line[at - 1] == ' ' || line[at - 1] == '\t') {
                line.erase(at);
                break;
            }
        }
        std::istringstream words(line);
        Slot slot;
        std::string extra;
        if (!(words >> slot.name)) {
            continue;  // blank, or only a comment
        }
        const auto refused = [number](const std::string &why) {
            return base::Error(base::ErrorCode::InvalidInput,
                               "line " + std::to_string(number) + ": " + why);
        };
        if (!(words >> slot.port) || (words >> extra)) {
            return refused("not a slot's name and its port path");
        }
        if (!names.insert(slot.name).second) {
            return refused("the slot '" + slot.name + "' is named twice");
        }
        if (!ports.insert(slot.port).second) {
            return refused("the port " + slot.port + " is in two slots");
        }
        slots.push_back(std::move(slot));
    }
    return slots;
}

std::string slot_map_text(const std::vector<Slot> &slots) {
    std::string text = "# hidiap slot map: a slot's name and its USB port path\n";
    for (const Slot &s : slots) {
        text += s.name + " " + s.port + "\n";
    }
    return text;
}

const Slot *slot_on_port(const std::vector<Slot> &slots, const std::string &port) {
    const auto it = std::find_if(slots.begin(), slots.end(),
                                 [&](const Slot &s) { return !port.empty() && s.port == port; });
    return it == slots.end() ? nullptr : &*it;
}

}  // namespace host
