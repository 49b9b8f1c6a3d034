#include "presentation.h"

#include "console.h"
#include "platform.h"

namespace host {

Presentation::Presentation(const Options &o) {
    if (o.json) {
        json_.emplace();
        console_set_sink([](std::string_view) {});
    } else if (!o.no_progress && !o.dry_run && stderr_is_terminal() && !stdout_is_pipe()) {
        progress_.emplace();
    }
}

Presentation::~Presentation() {
    console_set_sink(nullptr);
}

RunEvents &Presentation::events() {
    if (json_) {
        return *json_;
    }
    if (progress_) {
        return *progress_;
    }
    return quiet_;
}

void Presentation::refused(int exit_status, const char *status, const char *reason) {
    if (json_) {
        RunReport r;
        r.status = status;
        r.exit_status = exit_status;
        r.cause = status;
        r.reason = reason;
        json_->outcome(r);
    }
}

}  // namespace host
