#include "host/app/slot_steps.h"

#include <cstdio>
#include <set>

#include "host/events/exit_status.h"
#include "host/inputs/file_reading.h"
#include "host/platform/env.h"
#include "host/platform/platform.h"

namespace host {

namespace {

constexpr uint64_t kSlotMapLimit = 1 << 20;
constexpr std::chrono::milliseconds kLearnPoll{100};

std::set<std::string> ports_present(DeviceCatalog &catalog, const Options &o) {
    std::set<std::string> ports;
    for (const DeviceInfo &d : catalog.enumerate(o.device.vendor_id, o.device.product_id)) {
        if (!d.port.empty()) {
            ports.insert(d.port);
        }
    }
    return ports;
}

}  // namespace

bool load_slot_map(const std::string &path, std::vector<Slot> &slots) {
    const base::Result<std::vector<uint8_t>> bytes = read_whole(path, kSlotMapLimit);
    if (!bytes.ok()) {
        std::fprintf(stderr, "hidiap: --slots: cannot read '%s': %s\n", path.c_str(),
                     system_reason(bytes.error()).c_str());
        return false;
    }
    base::Result<std::vector<Slot>> parsed =
        parse_slot_map(std::string(bytes->begin(), bytes->end()));
    if (!parsed.ok() || parsed->empty()) {
        std::fprintf(stderr, "hidiap: --slots: '%s': %s\n", path.c_str(),
                     parsed.ok() ? "names no slot (a line per slot: its name and its port path)"
                                 : parsed.message().c_str());
        return false;
    }
    slots = std::move(*parsed);
    return true;
}

int learn_slots_step(const Options &o, DeviceCatalog &catalog) {
    const base::Result<FileFacts> facts = env().stat(o.learn_slots);
    if (!facts.ok() || facts->kind != FileKind::Missing) {
        std::fprintf(stderr, "hidiap: slots learn: '%s' exists; give a new file's name\n",
                     o.learn_slots.c_str());
        return kExitBadInput;
    }
    count_repeated_interrupts();
    // A board already plugged in is no answer: its slot is learned once it has been taken out and
    // plugged in again.
    std::set<std::string> before = ports_present(catalog, o);
    std::vector<Slot> slots;
    while (o.count == 0 || slots.size() < o.count) {
        const std::string name = "slot" + std::to_string(slots.size() + 1);
        std::fprintf(stderr, "hidiap: slots learn: plug a board into %s (Ctrl-C ends)\n",
                     name.c_str());
        std::fflush(stderr);
        std::string found;
        while (found.empty() && interrupt_requested() == 0) {
            env().sleep_until(env().now() + kLearnPoll);
            const std::set<std::string> now = ports_present(catalog, o);
            for (const std::string &port : now) {
                if (before.count(port) == 0 && slot_on_port(slots, port) == nullptr) {
                    found = port;
                    break;
                }
            }
            before = now;
        }
        if (found.empty()) {
            break;
        }
        std::fprintf(stderr, "hidiap: slots learn: %s is port %s\n", name.c_str(), found.c_str());
        slots.push_back({name, found});
    }
    if (slots.empty()) {
        std::fputs("hidiap: slots learn: no slot learned; nothing written\n", stderr);
        return kExitNoDevice;
    }
    if (base::Status written = write_file_atomically(o.learn_slots, slot_map_text(slots), false);
        !written.ok()) {
        std::fprintf(stderr, "hidiap: slots learn: cannot write '%s': %s\n", o.learn_slots.c_str(),
                     written.message().c_str());
        return kExitBadInput;
    }
    std::fprintf(stderr, "hidiap: slots learn: %zu slots written to %s\n", slots.size(),
                 o.learn_slots.c_str());
    return kExitSuccess;
}

}  // namespace host
