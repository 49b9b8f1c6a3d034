// The simulated device for the page: the same device, flash model and fault rules as the tool's
// --simulate, in a module instance of its own (as a real device has a memory of its own). The
// page's "simulated device" and the browser tests wrap it in a HIDDevice-like object
// (web/sim-hid.js).
#include <emscripten.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "device/fault_rules.h"
#include "device/sim_device.h"

namespace {

std::string error;

}  // namespace

extern "C" {

// A device with the fault rules given one per line (the --sim-fault syntax); null, with the
// reason in hidiap_sim_error(), when a rule is unusable.
EMSCRIPTEN_KEEPALIVE sim::SimDevice *hidiap_sim_create(const char *rules) {
    std::vector<std::string> texts;
    std::istringstream lines(rules);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty()) {
            texts.push_back(line);
        }
    }
    sim::FaultSchedule faults;
    if (!sim::parse_fault_schedule(texts, faults, error)) {
        return nullptr;
    }
    return new sim::SimDevice(faults);
}

EMSCRIPTEN_KEEPALIVE const char *hidiap_sim_error() {
    return error.c_str();
}

EMSCRIPTEN_KEEPALIVE void hidiap_sim_destroy(sim::SimDevice *device) {
    delete device;
}

// One output report, report ID first. 0 when the write fails (unplugged, or a fault says so).
EMSCRIPTEN_KEEPALIVE int hidiap_sim_receive(sim::SimDevice *device, const uint8_t *report,
                                            int len) {
    return device->receive(report, static_cast<size_t>(len)) ? 1 : 0;
}

// The next answer ready, 64 bytes with the report ID first, into out; 0 when none is.
EMSCRIPTEN_KEEPALIVE int hidiap_sim_pop(sim::SimDevice *device, uint8_t *out) {
    sim::Report report;
    if (!device->pop_answer(report)) {
        return 0;
    }
    std::copy(report.begin(), report.end(), out);
    return 1;
}

EMSCRIPTEN_KEEPALIVE void hidiap_sim_tick(sim::SimDevice *device) {
    device->tick();
}

EMSCRIPTEN_KEEPALIVE int hidiap_sim_unplugged(sim::SimDevice *device) {
    return device->unplugged() ? 1 : 0;
}

EMSCRIPTEN_KEEPALIVE int hidiap_sim_rebooted(sim::SimDevice *device) {
    return device->rebooted() ? 1 : 0;
}

// The device's whole flash (2 MiB), for the tests to compare.
EMSCRIPTEN_KEEPALIVE const uint8_t *hidiap_sim_flash(sim::SimDevice *device) {
    return device->flash().bytes().data();
}

EMSCRIPTEN_KEEPALIVE int hidiap_sim_flash_size(sim::SimDevice *device) {
    return static_cast<int>(device->flash().bytes().size());
}

}  // extern "C"
