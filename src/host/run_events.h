// What a run reports as it goes, to whoever presents it: the JSON Lines stream, the progress
// line, or nobody. Every method has a no-op default so a presenter takes only what it shows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace host {

struct UpdatePlan;

// A device as the tool found it; empty strings for what it does not know.
struct DeviceDescription {
    std::string path;
    std::string serial;
    std::string manufacturer;
    std::string product;
    unsigned short vendor_id = 0;
    unsigned short product_id = 0;
    int interface_number = -1;  // -1: unknown
};

struct RangeCheck {
    unsigned range = 0;  // 1 image, 2 TTS
    uint32_t flash_addr = 0;
    uint32_t size = 0;
    uint32_t device_crc = 0;
    uint32_t host_crc = 0;
    bool match = false;
};

struct RunReport {
    const char *status = "failed";  // "success", "failed", "interrupted", ...
    int exit_status = 1;
    const char *engine_outcome = "";  // success, timeout, error, stalled, no-event
    const char *cause = "";           // one word for scripts: crc_mismatch, not_answered, ...
    std::string reason;               // the failure in words; empty on success
    uint64_t bytes = 0;               // bytes the device acknowledged programming
    uint64_t total_bytes = 0;
    double seconds = 0;
    std::vector<RangeCheck> verified;
};

class RunEvents {
  public:
    virtual ~RunEvents() = default;
    virtual void device(const DeviceDescription &) {}
    virtual void plan(const UpdatePlan &) {}
    // phase: unlock, erase, write, verify, reboot; file: image or TTS.
    virtual void phase(const char * /*phase*/, const char * /*file*/) {}
    virtual void erase(uint32_t /*flash_addr*/) {}
    // Bytes of both files the device has acknowledged, out of all of them; on every change.
    virtual void progress(uint64_t /*done*/, uint64_t /*total*/) {}
    virtual void check(const RangeCheck &) {}
    virtual void device_error(uint8_t /*command*/, uint8_t /*result_code*/) {}
    virtual void resend(const char * /*step*/, uint32_t /*flash_addr*/, unsigned /*count*/) {}
    virtual void outcome(const RunReport &) {}
};

}  // namespace host
