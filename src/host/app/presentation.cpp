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

void Presentation::refused(Status status, int exit_status, const char *reason) {
    if (json_) {
        json_->outcome(refusal_report(status, exit_status, reason));
    }
}

}  // namespace host
