// The --json presenter: one JSON object per line on standard output, each with its `type` and
// `t`, the seconds since the tool started on a monotonic clock. When several devices are updated
// at once, each emitter carries its device's tag in a `device` field.
#pragma once

#include <chrono>
#include <cstdio>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "host/events/run_events.h"
#include "host/inputs/input_sources.h"

namespace host {

// A device as one JSON object: path, serial, manufacturer, product, vid, pid, interface.
nlohmann::ordered_json device_to_json(const DeviceInfo &device);

class JsonEvents : public RunEvents {
  public:
    explicit JsonEvents(std::FILE *out = stdout, std::optional<std::string> device_tag = {});

    // Writes one event line; adds `t` and the device tag.
    void emit(const char *type, nlohmann::ordered_json fields = nlohmann::ordered_json::object());

    void device(const DeviceInfo &device) override;
    void plan(const UpdatePlan &plan) override;
    void phase(const char *phase, const char *file) override;
    void erase(uint32_t flash_addr) override;
    void progress(uint64_t done, uint64_t total) override;
    void check(const RangeCheck &c) override;
    void survey(unsigned range, uint32_t flash_addr, unsigned sectors, unsigned unchanged) override;
    void device_error(uint8_t command, uint8_t result_code) override;
    void resend(const char *step, uint32_t flash_addr, unsigned count) override;
    void outcome(const RunReport &report) override;

    // Fields that this emitter's `plan` and `outcome` events carry (inputs_to_json); set before
    // the run.
    void set_inputs(nlohmann::ordered_json fields) { inputs_ = std::move(fields); }

  private:
    std::FILE *out_;
    std::optional<std::string> device_tag_;
    std::mutex mutex_;
    std::chrono::steady_clock::time_point last_progress_{};
    bool progress_held_ = false;  // the latest progress was not written: it goes before outcome
    uint64_t held_done_ = 0;
    uint64_t held_total_ = 0;
    nlohmann::ordered_json inputs_ = nlohmann::ordered_json::object();
};

// The inputs' facts (`inputs`: role, name, format, sha256, file_bytes, data_bytes), the
// firmware version of a package (`firmware_version`, null when not given), its security counter
// (`security_counter`, null without a package) and its signatures (`signature`: status, key_id,
// trusted_comment, key_file, and `signatures`, each member's member, key_id and trust; null
// without a package).
nlohmann::ordered_json inputs_to_json(const std::vector<InputFacts> &facts,
                                      const std::string &firmware_version,
                                      const SignatureFacts *signature = nullptr,
                                      std::optional<uint64_t> security_counter = std::nullopt);

// The plan as the `plan` event's fields.
nlohmann::ordered_json plan_to_json(const UpdatePlan &plan);

}  // namespace host
