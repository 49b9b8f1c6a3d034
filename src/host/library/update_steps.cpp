#include "host/library/update_steps.h"

#include "host/inputs/update_plan.h"

namespace host {

void keep_records(RunRecords &records, UpdateSettings &settings, const std::string &version,
                  const std::string &token, const Inputs &inputs, const PackageInputs *package,
                  bool allow_older) {
    records.describe_inputs(version, token, inputs, package);
    // Only a package carries a counter and a version to compare.
    if (package != nullptr) {
        settings.board_check = records.older_firmware_check(package->manifest, allow_older);
    }
    settings.settle = [&records](const DeviceInfo &d, RunReport &report) {
        records.keep(d, report);
        return true;
    };
}

std::optional<std::vector<DeviceResult>> update_opened(
    const std::vector<UpdateDevice> &devices, const Inputs &inputs, const std::string &token,
    const UpdateSettings &settings, const std::function<bool()> &stop_before_start) {
    UpdateRun run(devices, inputs.layout, settings);
    run.announce();
    if (stop_before_start && stop_before_start()) {
        return std::nullopt;
    }
    return run.run(make_update_plan(inputs.image_length, inputs.tts_length, token,
                                    send_less_of(settings.skip_blank, settings.skip_unchanged)));
}

}  // namespace host
