#include "host/app/run_records.h"

#include <cstdio>

#include "host/app/version.h"
#include "host/events/exit_status.h"
#include "host/records/database_uri.h"
#include "host/records/postgres_link.h"
#include "host/records/record_fields.h"
#include "host/records/records_table.h"

namespace host {

bool RunRecords::open(const Options &o) {
    shown_ = mask_passwords(o.record_file);
    base::Result<std::unique_ptr<RecordWriter>> opened =
        open_record_writer({o.record_file, o.record_spool, nullptr, o.timing_report});
    if (!opened.ok()) {
        std::fprintf(stderr, "hidiap: --record: cannot use '%s': %s\n", shown_.c_str(),
                     opened.message().c_str());
        if (is_postgres_uri(o.record_file)) {
            std::fputs("hidiap: nothing was sent to a device\n", stderr);
        }
        return false;
    }
    writer_ = std::move(*opened);
    common_.station = o.station_name.empty() ? station_name() : o.station_name;
    common_.fields = record_fields_object(field_pairs(o.fields));
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

namespace {

// Connects as the database's owner and makes or upgrades the tables; what was done.
base::Result<std::string> set_up_records(const std::string &target) {
    if (is_connection_string(target)) {
        return base::Error(base::ErrorCode::InvalidInput, kConnectionStringRefusal);
    }
    if (!is_postgres_uri(target)) {
        return base::Error(base::ErrorCode::InvalidInput, "not a postgresql:// or postgres:// URI");
    }
    PostgresLink link(target);
    if (base::Status formed = link.well_formed(); !formed.ok()) {
        return formed.error();
    }
    if (base::Status reached = link.connect(); !reached.ok()) {
        return reached.error();
    }
    base::Result<std::string> done = set_up_records_database(link);
    if (!done.ok() && done.code() == base::ErrorCode::PermissionDenied) {
        return base::Error(done.code(), done.message() +
                                            ": run it as the database's owner, or a role that "
                                            "may create tables");
    }
    return done;
}

}  // namespace

const char *record_outcome(const RunReport &report) {
    return status_words(report.status).record;
}

std::vector<std::pair<std::string, std::string>> field_pairs(
    const std::vector<std::string> &given) {
    std::vector<std::pair<std::string, std::string>> pairs;
    for (const std::string &f : given) {
        const size_t equals = f.find('=');
        pairs.emplace_back(f.substr(0, equals),
                           equals == std::string::npos ? "" : f.substr(equals + 1));
    }
    return pairs;
}

std::string RunRecords::keep(const DeviceInfo &device, RunReport &report, const std::string &slot,
                             const std::string &log) {
    if (!writer_) {
        return "";
    }
    DeviceRecord r = common_;
    base::Result<std::string> id = new_record_id();
    r.id = id.ok() ? *id : "";
    r.time_utc = utc_now_iso8601();
    r.device_path = device.path;
    r.serial = device.serial;
    r.manufacturer = device.manufacturer;
    r.product = device.product;
    r.port = device.port;
    r.slot = slot;
    r.log = log;
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
    const base::Status kept = id.ok() ? writer_->append(r) : base::Status(id.error());
    if (!kept.ok()) {
        std::fprintf(stderr, "hidiap: --record: cannot write to '%s': %s\n", shown_.c_str(),
                     kept.message().c_str());
        report.fail_after_success(Cause::Record, "its record could not be written");
        return "";
    }
    return r.id;
}

int record_setup_step(const Options &o) {
    const std::string shown = mask_passwords(o.record_setup);
    const base::Result<std::string> done = set_up_records(o.record_setup);
    if (!done.ok()) {
        std::fprintf(stderr, "hidiap: --record-setup: %s: %s\n", shown.c_str(),
                     done.message().c_str());
        return kExitBadInput;
    }
    std::printf("hidiap: --record-setup: %s: %s\n", shown.c_str(), done->c_str());
    return kExitSuccess;
}

}  // namespace host
