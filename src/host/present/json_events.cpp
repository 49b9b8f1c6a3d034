#include "host/present/json_events.h"

#include <cstdio>
#include <cstdlib>

#include "host/inputs/update_plan.h"
#include "host/platform/env.h"

namespace host {

namespace {

// The tool's start, on the Env's clock (a test's virtual clock runs on from it).
const SteadyTime kStart = env().now();

// The double nearest to the value written with `decimals` digits, so that it prints short.
double rounded(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return std::strtod(text, nullptr);
}

double seconds_since_start() {
    return std::chrono::duration<double>(env().now() - kStart).count();
}

nlohmann::ordered_json text_or_null(const std::string &s) {
    return s.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(s);
}

nlohmann::ordered_json range_to_json(const RangePlan &r) {
    return {{"file", r.file},
            {"file_bytes", r.file_length},
            {"rounded_bytes", r.rounded},
            {"addr", r.flash_addr},
            {"size", r.size},
            {"sectors", r.sectors},
            {"pages", r.pages}};
}

}  // namespace

nlohmann::ordered_json device_to_json(const DeviceInfo &d) {
    return {{"path", text_or_null(d.path)},
            {"port", text_or_null(d.port)},
            {"serial", text_or_null(d.serial)},
            {"manufacturer", text_or_null(d.manufacturer)},
            {"product", text_or_null(d.product)},
            {"vid", d.vendor_id},
            {"pid", d.product_id},
            {"interface", d.interface_number < 0 ? nlohmann::ordered_json(nullptr)
                                                 : nlohmann::ordered_json(d.interface_number)}};
}

nlohmann::ordered_json inputs_to_json(const std::vector<InputFacts> &facts,
                                      const std::string &firmware_version,
                                      const SignatureFacts *signature,
                                      std::optional<uint64_t> security_counter) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const InputFacts &f : facts) {
        list.push_back({{"role", f.role},
                        {"name", f.name},
                        {"format", f.format},
                        {"sha256", f.sha256},
                        {"file_bytes", f.file_bytes},
                        {"data_bytes", f.data_bytes}});
    }
    nlohmann::ordered_json sig(nullptr);
    if (signature != nullptr) {
        sig = {{"status", signature->status},
               {"key_id", text_or_null(signature->key_id)},
               {"trusted_comment", text_or_null(signature->trusted_comment)},
               {"key_file", text_or_null(signature->key_file)}};
        nlohmann::ordered_json each = nlohmann::ordered_json::array();
        for (const SignatureEntry &e : signature->signatures) {
            each.push_back(
                {{"member", e.member}, {"key_id", text_or_null(e.key_id)}, {"trust", e.trust}});
        }
        sig["signatures"] = each;
    }
    return {{"inputs", list},
            {"firmware_version", text_or_null(firmware_version)},
            {"security_counter", security_counter ? nlohmann::ordered_json(*security_counter)
                                                  : nlohmann::ordered_json(nullptr)},
            {"signature", sig}};
}

namespace {

// The plan's figures with --skip-blank or --skip-unchanged, beside those of a full update.
nlohmann::ordered_json less_to_json(const UpdatePlan &p) {
    return {{"blank_pages", p.image.blank_pages + p.tts.blank_pages},
            {"blank_sectors", p.image.blank_sectors + p.tts.blank_sectors},
            {"pages", p.less.pages},
            {"erases", p.less.erases},
            {"surveys", p.less.surveys},
            {"reports", p.less.reports},
            {"expected_seconds", rounded(p.less.expected_seconds, 3)},
            {"assumes", p.less.assumes}};
}

}  // namespace

nlohmann::ordered_json plan_to_json(const UpdatePlan &p) {
    nlohmann::ordered_json plan = {{"token", p.token},
                                   {"tts_addr", p.tts.flash_addr},
                                   {"ranges", {range_to_json(p.image), range_to_json(p.tts)}},
                                   {"overlap", p.overlap},
                                   {"reports", p.reports},
                                   {"expected_seconds", rounded(p.expected_seconds, 3)}};
    if (p.less.applies) {
        plan["send_less"] = less_to_json(p);
    }
    return plan;
}

JsonEvents::JsonEvents(std::FILE *out, std::optional<std::string> device_tag)
    : out_(out), device_tag_(std::move(device_tag)) {}

void JsonEvents::emit(const char *type, nlohmann::ordered_json fields) {
    // The time is taken under the lock, so that the lines of one emitter, whichever thread
    // writes them, come out in the order of their times.
    std::lock_guard<std::mutex> lock(mutex_);
    nlohmann::ordered_json event = {{"type", type}, {"t", rounded(seconds_since_start(), 6)}};
    if (device_tag_) {
        event["device"] = *device_tag_;
    }
    event.update(fields);
    // Invalid UTF-8 from a device string is replaced rather than ending the run with an
    // exception.
    const std::string line =
        event.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    std::fprintf(out_, "%s\n", line.c_str());
    std::fflush(out_);
}

void JsonEvents::device(const DeviceInfo &d) {
    emit("device", device_to_json(d));
}

void JsonEvents::plan(const UpdatePlan &p) {
    nlohmann::ordered_json fields = plan_to_json(p);
    fields.update(inputs_);
    emit("plan", fields);
}

void JsonEvents::phase(const char *phase, const char *file) {
    emit("phase", {{"phase", phase}, {"file", file}});
}

void JsonEvents::erase(uint32_t flash_addr) {
    emit("erase", {{"addr", flash_addr}});
}

void JsonEvents::progress(uint64_t done, uint64_t total) {
    // At most five a second, and always the last.
    const auto now = env().now();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (done != total && now - last_progress_ < std::chrono::milliseconds(200)) {
            progress_held_ = true;
            held_done_ = done;
            held_total_ = total;
            return;
        }
        last_progress_ = now;
        progress_held_ = false;
    }
    emit("progress", {{"done", done}, {"total", total}});
}

void JsonEvents::check(const RangeCheck &c) {
    emit("check", {{"range", c.range},
                   {"addr", c.flash_addr},
                   {"size", c.size},
                   {"device_crc", c.device_crc},
                   {"host_crc", c.host_crc},
                   {"match", c.match}});
}

void JsonEvents::survey(unsigned range, uint32_t flash_addr, unsigned sectors, unsigned unchanged) {
    emit("survey", {{"range", range},
                    {"addr", flash_addr},
                    {"sectors", sectors},
                    {"unchanged", unchanged},
                    {"skipped", unchanged}});
}

void JsonEvents::device_error(uint8_t command, uint8_t result_code) {
    emit("device_error", {{"command", command}, {"result_code", result_code}});
}

void JsonEvents::resend(const char *step, uint32_t flash_addr, unsigned count) {
    emit("resend", {{"step", step}, {"addr", flash_addr}, {"count", count}});
}

void JsonEvents::outcome(const RunReport &r) {
    bool held;
    uint64_t done, total;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        held = progress_held_;
        done = held_done_;
        total = held_total_;
        progress_held_ = false;
    }
    if (held) {
        emit("progress", {{"done", done}, {"total", total}});
    }
    const char *cause = cause_word(r.cause);
    nlohmann::ordered_json fields = {
        {"status", status_word(r.status)},
        {"exit_status", r.exit_status},
        {"cause", cause[0] == '\0' ? nlohmann::ordered_json(nullptr) : cause},
        {"reason", text_or_null(r.reason)},
        {"bytes", r.bytes},
        {"total_bytes", r.total_bytes},
        {"seconds", rounded(r.seconds, 6)}};
    if (!r.units.empty()) {
        fields["units"] = nlohmann::ordered_json::parse(r.units, nullptr, false);
    }
    fields.update(inputs_);
    emit("outcome", fields);
}

}  // namespace host
