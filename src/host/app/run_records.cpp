#include "host/app/run_records.h"

#include <cstdio>

#include "host/app/version.h"

namespace host {

bool RunRecords::open(const std::string &file) {
    std::string error;
    writer_ = open_record_writer(file, error);
    if (!writer_) {
        std::fprintf(stderr, "hidiap: --record: cannot use '%s': %s\n", file.c_str(),
                     error.c_str());
        return false;
    }
    file_ = file;
    return true;
}

void RunRecords::describe_inputs(const Options &o, const Inputs &inputs,
                                 const PackageInputs *package) {
    common_.station = station_name();
    common_.tool_version = HIDIAP_VERSION;
    // The files as given: their names, sizes and checksums as the inputs step found them.
    for (const InputFacts &f : inputs.facts) {
        if (f.role == "image") {
            common_.image_path = f.name;
            common_.image_size = f.file_bytes;
            common_.image_sha256 = f.sha256;
        } else if (f.role == "TTS") {
            common_.tts_path = f.name;
            common_.tts_size = f.file_bytes;
            common_.tts_sha256 = f.sha256;
        }
    }
    common_.token = o.token;
    if (package != nullptr) {
        common_.firmware_version = package->manifest.firmware_version;
        common_.signature_key_id = package->signature.key_id;
        common_.trusted_comment = package->signature.trusted_comment;
    }
}

const char *record_outcome(const RunReport &report) {
    switch (report.status) {
        case Status::Success:
            return "success";
        case Status::Current:
            return "current";
        case Status::Interrupted:
            return "interrupted";
        default:
            return "failed";
    }
}

void RunRecords::keep(const DeviceInfo &device, RunReport &report) {
    if (!writer_) {
        return;
    }
    DeviceRecord r = common_;
    r.id = new_record_id();
    r.time_utc = utc_now_iso8601();
    r.device_path = device.path;
    r.serial = device.serial;
    r.manufacturer = device.manufacturer;
    r.product = device.product;
    r.outcome = record_outcome(report);
    r.cause = cause_word(report.cause);
    r.reason = report.reason;
    r.bytes_programmed = report.bytes;
    r.seconds = report.seconds;
    for (const std::vector<RangeCheck> *checks : {&report.verified, &report.compared}) {
        for (const RangeCheck &c : *checks) {
            (c.range == 1 ? r.image_crc : r.tts_crc) = c.device_crc;
        }
    }
    std::string error;
    if (!writer_->append(r, error)) {
        std::fprintf(stderr, "hidiap: --record: cannot write to '%s': %s\n", file_.c_str(),
                     error.c_str());
        report.fail_after_success(Cause::Record, "its record could not be written");
    }
}

}  // namespace host
