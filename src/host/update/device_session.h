// Everything the update of one device needs, whether it is updated alone or beside others: its
// engine record, the layers its reports pass (observer, and a queue when it shares the tick
// thread with other devices), its runner, what it says about itself (product line or device
// event, plan event, stall note, outcome), what the device keeps of it, and its report.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "engine/iap.h"
#include "host/events/outcome.h"
#include "host/events/run_events.h"
#include "host/inputs/input_files.h"
#include "host/inputs/update_plan.h"
#include "host/link/transport.h"
#include "host/platform/env.h"
#include "host/run/engine_runner.h"
#include "host/run/observed_transport.h"
#include "host/run/run_observer.h"
#include "host/update/update_settings.h"
#include "host/workers/queued_transport.h"
#include "host/workers/workers.h"

namespace host {

class DeviceSession {
  public:
    using Clock = std::chrono::steady_clock;

    // `index` is the device's place in the run; the first device drives the tool's global record
    // `iap`, the others a record of their own. `tag` is empty when the device is updated alone.
    // `events`: its presenters (the JSON stream, its progress), told everything it does. With
    // `queued`, engine calls only queue the device's reports and its own threads write them.
    // `image`: the image bytes the engine programs and checks the image range with (img_file, or
    // the image as an update of overlapping ranges leaves it).
    DeviceSession(size_t index, Transport &device, DeviceInfo info, std::string tag,
                  RunEvents &events, const Layout &layout, const UpdateSettings &settings,
                  bool queued, uint8_t *image);
    ~DeviceSession();
    DeviceSession(const DeviceSession &) = delete;
    DeviceSession &operator=(const DeviceSession &) = delete;

    const std::string &tag() const { return tag_; }
    const DeviceInfo &info() const { return info_; }
    EngineRunner &runner() { return *runner_; }
    // The device as its reader thread sees it.
    Workers::Device feed() { return {runner_.get(), &reader_transport()}; }

    // Its product line (text) or device event (JSON).
    void announce();
    // After announce(): why the device is not to be updated at all (it is another product than
    // the firmware is for, or its records refuse the firmware), or nothing when it is.
    std::optional<BoardRefusal> refusal() const;
    // The report of a device that was not updated for refusal(); said like any outcome. The
    // device keeps what it holds as after any update (a simulated board's --sim-flash file).
    RunReport refused_report(const BoardRefusal &why,
                             const std::function<void(const std::string &)> &note);
    // Its plan event: before the workers start, whose first tick already reports progress.
    void plan(const UpdatePlan &plan);
    // The engine's first step.
    void start();
    // Its report, once the runner has an outcome: the stall note, what the device keeps of the
    // update (Transport::keep_after_update), and, for a device that went away or stood still,
    // the line the engine gives up with.
    // `note` takes the notes for standard error.
    RunReport finish(Outcome outcome, Clock::time_point ended, int interrupt_status,
                     const std::function<void(const std::string &)> &note);
    // Stops its writer (queued devices), after the workers are stopped.
    void stop();

  private:
    Transport &reader_transport();
    // The update is over for the device; what it cannot keep fails the report.
    void keep_after_update(RunReport &report, const std::function<void(const std::string &)> &note);
    std::string head() const;  // "hidiap: " or "hidiap: [TAG] "

    const size_t index_;
    Transport &device_;
    DeviceInfo info_;
    const std::string tag_;
    RunEvents &events_;
    const Layout &layout_;
    const UpdateSettings &settings_;
    iap_env_t own_record_{};  // the record of every device but the first
    iap_env_t &record_;
    RunObserver observer_;
    ObservedTransport observed_;
    std::unique_ptr<QueuedTransport> queued_;
    std::unique_ptr<EngineRunner> runner_;
    Clock::time_point started_{};
};

}  // namespace host
