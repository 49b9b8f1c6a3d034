// Who shows a run: JSON Lines on standard output (--json), or the text lines with progress on a
// terminal. In JSON mode the console's text lines are not shown at all.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "console/console.h"
#include "host/app/options.h"
#include "host/events/outcome.h"
#include "host/events/run_events.h"
#include "host/inputs/update_plan.h"
#include "host/present/json_events.h"

namespace host {

class Presentation {
  public:
    explicit Presentation(const Options &o);
    Presentation(const Presentation &) = delete;
    Presentation &operator=(const Presentation &) = delete;

    // The tool's events before and outside an update: devices listed, the dry run's plan,
    // refusals. Also the presenter of the one device updated alone.
    RunEvents &events();
    bool json() const { return json_.has_value(); }
    // Progress is drawn: standard error is a terminal and standard output does not go into a
    // pipe (which usually ends on the same screen).
    bool show_progress() const { return show_progress_; }

    // A dry run of verify: the `plan` event of the ranges, with what verify sends instead of an
    // update (`verify`: its check requests and reports).
    void verify_plan(const UpdatePlan &plan);

    // The end of a run that never reached the device, for scripts reading the events.
    void refused(Status status, int exit_status, const char *reason);

    // The inputs' fields (inputs_to_json) that every `plan` and `outcome` event carries, and a
    // JSON emitter of its own for one of several devices, which tags every event it writes.
    void set_inputs(const nlohmann::ordered_json &fields);
    std::unique_ptr<JsonEvents> device_emitter(const std::string &tag) const;

  private:
    std::optional<JsonEvents> json_;
    std::optional<ConsoleSinkScope> muted_;  // JSON mode: no console text
    bool show_progress_ = false;
    nlohmann::ordered_json inputs_ = nlohmann::ordered_json::object();
    RunEvents quiet_;
};

// A dry run of verify in lines of text: the ranges it compares; nothing is erased or written.
std::string describe_verify_plan(const UpdatePlan &plan);

}  // namespace host
