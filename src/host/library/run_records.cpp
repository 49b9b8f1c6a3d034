#include "host/library/run_records.h"

#include <cstdio>
#include <memory>
#include <mutex>

#include "host/events/exit_status.h"
#include "host/inputs/older_firmware.h"
#include "host/platform/error_lines.h"
#include "host/records/database_uri.h"
#include "host/records/postgres_link.h"
#include "host/records/record_fields.h"

namespace host {

bool RunRecords::open(const RecordRequest &o) {
    shown_ = mask_passwords(o.destination);
    base::Result<std::unique_ptr<RecordWriter>> opened =
        open_record_writer({o.destination, o.spool, nullptr, o.timing_report});
    if (!opened.ok()) {
        error_printf("hidiap: --record: cannot use '%s': %s\n", shown_.c_str(),
                     opened.message().c_str());
        if (is_postgres_uri(o.destination)) {
            error_write("hidiap: nothing was sent to a device\n");
        }
        return false;
    }
    writer_ = std::move(*opened);
    common_.station = o.station_name.empty() ? station_name() : o.station_name;
    common_.fields = record_fields_object(field_pairs(o.fields));
    return true;
}

void RunRecords::set_notes(RecordNotes notes) {
    notes_ = notes;
    if (writer_) {
        writer_->set_notes(std::move(notes));
    }
}

void RunRecords::finish() {
    if (!writer_) {
        return;
    }
    writer_->set_notes(nullptr);
    error_write(writer_->finish());
}

void RunRecords::describe_inputs(const std::string &tool_version, const std::string &token,
                                 const Inputs &inputs, const PackageInputs *package) {
    common_.tool_version = tool_version;
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
    common_.token = token;
    if (package != nullptr) {
        common_.security_counter = package->manifest.security_counter;
        common_.firmware_version = package->manifest.firmware_version;
        common_.signature_key_id = package->signature.key_id;
        common_.trusted_comment = package->signature.trusted_comment;
    }
}

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
    r.units = report.units;
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
        error_printf("hidiap: --record: cannot write to '%s': %s\n", shown_.c_str(),
                     kept.message().c_str());
        report.fail_after_success(Cause::Record, "its record could not be written");
        return "";
    }
    return r.id;
}

void RunRecords::note(const std::string &line) {
    if (notes_) {
        notes_(line);
    } else {
        error_write(line);
    }
}

std::function<std::optional<BoardRefusal>(const DeviceInfo &)> RunRecords::older_firmware_check(
    const formats::Manifest &m, bool allow_older) {
    if (!writer_) {
        return nullptr;
    }
    auto said = std::make_shared<std::once_flag>();
    return [this, m, allow_older, said](const DeviceInfo &d) -> std::optional<BoardRefusal> {
        // A board without a serial number cannot be told from another in the records.
        if (d.serial.empty()) {
            return std::nullopt;
        }
        const base::Result<BoardHistory> h = writer_->board_history(d.serial);
        if (!h.ok()) {
            return BoardRefusal{Cause::Record, "its records in '" + shown_ +
                                                   "' could not be read to compare the firmware "
                                                   "with what it had: " +
                                                   h.message() + "; nothing was sent"};
        }
        if (!h->consulted) {
            std::call_once(*said, [this] {
                note(
                    "hidiap: --record: JSON Lines records are not consulted for older firmware; "
                    "an SQLite or PostgreSQL database is\n");
            });
            return std::nullopt;
        }
        if (!h->succeeded) {
            return std::nullopt;
        }
        const OlderFirmwareVerdict v =
            judge_older_firmware(m, {h->highest_counter, h->firmware_version}, allow_older);
        if (!v.note.empty()) {
            note("hidiap: [" + d.serial + "] " + v.note + "\n");
        }
        if (!v.refusal.empty()) {
            return BoardRefusal{Cause::Downgrade, v.refusal + "; nothing was sent"};
        }
        return std::nullopt;
    };
}

}  // namespace host
