#include "host/app/presentation.h"

#include <cstdio>

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

void Presentation::verify_plan(const UpdatePlan &plan) {
    if (!json_) {
        return;
    }
    nlohmann::ordered_json fields = plan_to_json(plan);
    fields["verify"] = {{"checks", 2}, {"reports", 2}};
    fields.update(inputs_);
    json_->emit("plan", fields);
}

void Presentation::refused(Status status, int exit_status, const char *reason) {
    if (json_) {
        json_->outcome(refusal_report(status, exit_status, reason));
    }
}

std::string describe_verify_plan(const UpdatePlan &p) {
    std::string text = "Verify plan (dry run: no device was opened)\n";
    char line[256];
    for (const RangePlan *r : {&p.image, &p.tts}) {
        std::snprintf(line, sizeof line,
                      "  %-5s %u bytes, rounded to %u; compares %u bytes at flash 0x%06x-0x%06x "
                      "by CRC-32\n",
                      r->file, r->file_length, r->rounded, r->size, r->flash_addr,
                      r->flash_addr + r->size);
        text += line;
    }
    std::snprintf(line, sizeof line, "  token '%s': TTS data at 0x%06x\n", p.token.c_str(),
                  p.tts.flash_addr);
    text += line;
    text += "  2 output reports (2 check); nothing is erased, written or rebooted\n";
    return text;
}

}  // namespace host
