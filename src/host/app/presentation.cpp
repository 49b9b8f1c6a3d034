#include "host/app/presentation.h"

#include "host/platform/platform.h"

namespace host {

Presentation::Presentation(const Options &o) {
    if (o.json) {
        json_.emplace();
        muted_.emplace([](std::string_view) {});
    } else {
        show_progress_ = !o.no_progress && !o.dry_run && stderr_is_terminal() && !stdout_is_pipe();
    }
}

RunEvents &Presentation::events() {
    if (json_) {
        return *json_;
    }
    return quiet_;
}

void Presentation::set_inputs(const nlohmann::ordered_json &fields) {
    inputs_ = fields;
    if (json_) {
        json_->set_inputs(fields);
    }
}

std::unique_ptr<JsonEvents> Presentation::device_emitter(const std::string &tag) const {
    auto emitter = std::make_unique<JsonEvents>(stdout, tag);
    emitter->set_inputs(inputs_);
    return emitter;
}

void Presentation::refused(Status status, int exit_status, const char *reason) {
    if (json_) {
        json_->outcome(refusal_report(status, exit_status, reason));
    }
}

}  // namespace host
