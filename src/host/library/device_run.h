// One update or verification of one device for the library: the device found and opened, the
// inputs leased, the update run on a thread of its own, and everything it says for the caller
// (lines, progress) handed to the caller's thread, which waits for the run meanwhile.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "base/result.h"
#include "host/events/outcome.h"
#include "host/library/shared_inputs.h"
#include "host/library/sim_bench.h"
#include "host/link/device_catalog.h"

namespace host {

struct DeviceRunRequest {
    std::shared_ptr<const LoadedInputs> inputs;
    SimBench *simulator = nullptr;  // null: the real devices
    uint16_t vendor_id = 0;         // 0: the tool's own
    uint16_t product_id = 0;
    std::string serial;
    std::string path;
    std::chrono::milliseconds wait{0};
    bool verify = false;
    bool skip_unchanged = false;
    bool skip_blank = false;
    std::string record;  // --record's destination, or ""
    // On the caller's thread: each line for standard output; progress in the current range.
    std::function<void(std::string_view)> on_line;
    std::function<void(const char *phase, uint64_t done, uint64_t total)> on_progress;
    // Asked on the caller's thread every 100 ms or so: true ends the run as interrupted.
    std::function<bool()> should_cancel;
    const std::atomic<bool> *cancelled = nullptr;  // set from any thread to end it likewise
};

// Why a run did not reach a device; `code` of the kinds the tool has exit statuses for.
enum class RunRefusal { None, Input, NoDevice, Permission, Busy, InputsInUse, Internal };

struct DeviceRunResult {
    RunRefusal refusal = RunRefusal::None;
    std::string message;  // with a refusal
    RunReport report;     // without one
    DeviceInfo device;
};

DeviceRunResult run_device(const DeviceRunRequest &request);

}  // namespace host
