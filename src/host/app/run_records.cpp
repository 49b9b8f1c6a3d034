#include "host/app/run_records.h"

#include <cstdio>

#include "host/app/version.h"
#include "host/events/exit_status.h"
#include "host/records/database_uri.h"
#include "host/records/postgres_link.h"
#include "host/records/records_table.h"

namespace host {

bool RunRecords::open(const Options &o) {
    shown_ = mask_passwords(o.record_file);
    std::string error;
    writer_ = open_record_writer({o.record_file, o.record_spool, nullptr, o.timing_report}, error);
    if (!writer_) {
        std::fprintf(stderr, "hidiap: --record: cannot use '%s': %s\n", shown_.c_str(),
                     error.c_str());
        if (is_postgres_uri(o.record_file)) {
            std::fputs("hidiap: nothing was sent to a device\n", stderr);
        }
        return false;
    }
    common_.station = o.station_name.empty() ? station_name() : o.station_name;
    return true;
}

void RunRecords::set_notes(RecordNotes notes) {
    if (writer_) {
        writer_->set_notes(std::move(notes));
    }
}

void RunRecords::finish() {
    if (!writer_) {
        return;
    }
    writer_->set_notes(nullptr);
    const std::string left = writer_->finish();
    std::fputs(left.c_str(), stderr);
    std::fflush(stderr);
}

void RunRecords::describe_inputs(const Options &o, const Inputs &inputs,
                                 const PackageInputs *package) {
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
    return status_words(report.status).record;
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
        std::fprintf(stderr, "hidiap: --record: cannot write to '%s': %s\n", shown_.c_str(),
                     error.c_str());
        report.fail_after_success(Cause::Record, "its record could not be written");
    }
}

int record_setup_step(const Options &o) {
    PostgresLink link(o.record_setup);
    const std::string shown = link.shown();
    std::string error;
    if (!is_postgres_uri(o.record_setup)) {
        error = "not a postgresql:// or postgres:// URI";
    } else if (link.well_formed(error) && link.connect(error) == PostgresLink::Reach::Connected) {
        std::string done;
        if (set_up_records_database(link, done, error)) {
            std::printf("hidiap: --record-setup: %s: %s\n", shown.c_str(), done.c_str());
            return kExitSuccess;
        }
        if (error.find("permission denied") != std::string::npos) {
            error += ": run it as the database's owner, or a role that may create tables";
        }
    }
    std::fprintf(stderr, "hidiap: --record-setup: %s: %s\n", shown.c_str(), error.c_str());
    return kExitBadInput;
}

}  // namespace host
