// What a run reports as it goes, to whoever presents it: the JSON Lines stream, the progress
// line, or nobody. Every method has a no-op default so a presenter takes only what it shows.
#pragma once

#include <cstdint>

#include "host/events/outcome.h"
#include "host/link/device_catalog.h"

namespace host {

struct UpdatePlan;  // host/inputs/update_plan.h; only its presenters need the whole of it

class RunEvents {
  public:
    virtual ~RunEvents() = default;
    virtual void device(const DeviceInfo &) {}
    virtual void plan(const UpdatePlan &) {}
    // phase: unlock, erase, write, verify, reboot; file: image or TTS.
    virtual void phase(const char * /*phase*/, const char * /*file*/) {}
    virtual void erase(uint32_t /*flash_addr*/) {}
    // Bytes of both files the device has acknowledged, out of all of them; on every change.
    virtual void progress(uint64_t /*done*/, uint64_t /*total*/) {}
    virtual void check(const RangeCheck &) {}
    // --skip-unchanged: what the survey of a range found, once it decided.
    virtual void survey(unsigned /*range*/, uint32_t /*flash_addr*/, unsigned /*sectors*/,
                        unsigned /*unchanged*/) {}
    virtual void device_error(uint8_t /*command*/, uint8_t /*result_code*/) {}
    virtual void resend(const char * /*step*/, uint32_t /*flash_addr*/, unsigned /*count*/) {}
    virtual void outcome(const RunReport &) {}
};

}  // namespace host
