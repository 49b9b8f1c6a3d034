#include "host/app/unit_steps.h"

#include <cstdio>

#include "base/text.h"
#include "host/events/exit_status.h"
#include "host/platform/env.h"

namespace host {

namespace {

int refuse(const std::string &why) {
    std::fprintf(stderr, "hidiap: unit values: %s; nothing was sent\n", why.c_str());
    return kExitBadInput;
}

// The fields of the package, then those of --unit-field, with their values' sources.
base::Result<std::vector<UnitSource>> sources_of(const Options &o, const PackageInputs *package,
                                                 const Inputs &inputs) {
    std::vector<formats::UnitField> fields;
    if (package != nullptr) {
        fields = package->manifest.unit_fields;
    }
    for (const std::string &text : o.unit_fields) {
        base::Result<formats::UnitField> field = formats::parse_unit_field(text);
        if (!field.ok()) {
            return field.error();
        }
        fields.push_back(*field);
    }
    if (base::Status fits = check_unit_fields(fields, inputs.layout); !fits.ok()) {
        return fits.error();
    }
    return unit_sources(fields, o.unit_ranges, o.unit_lists);
}

std::string station_of(const Options &o) {
    return o.station_name.empty() ? env().host_name() : o.station_name;
}

}  // namespace

bool has_unit_fields(const Options &o, const PackageInputs *package) {
    return !o.unit_fields.empty() || !o.unit_ranges.empty() || !o.unit_lists.empty() ||
           (package != nullptr && !package->manifest.unit_fields.empty());
}

int unit_step(const Options &o, const PackageInputs *package, const Inputs &inputs,
              RunRecords &records, std::unique_ptr<UnitSupply> &supply) {
    if (!o.station) {
        return refuse(
            "each board's own values are written by hidiap station, which allocates "
            "them; not by an update of chosen devices");
    }
    base::Result<std::vector<UnitSource>> sources = sources_of(o, package, inputs);
    if (!sources.ok()) {
        return refuse(sources.message());
    }
    if (records.writer() == nullptr) {
        return refuse(
            "they are allocated in the records database: give --record FILE.sqlite or "
            "postgresql://...");
    }
    // A destination that cannot allocate says so now; a database away is no reason: the
    // journal's block may carry the station.
    for (const UnitSource &s : *sources) {
        base::Result<std::optional<uint64_t>> next =
            records.writer()->next_free_unit(unit_series(s));
        if (!next.ok() && next.code() != base::ErrorCode::Unavailable) {
            return refuse(next.message());
        }
    }
    const std::string station = station_of(o);
    base::Result<std::unique_ptr<UnitSupply>> opened =
        UnitSupply::open(std::move(*sources), *records.writer(), station,
                         default_unit_journal(o.record_file, station), o.unit_block);
    if (!opened.ok()) {
        return refuse(opened.message());
    }
    supply = std::move(*opened);
    return 0;
}

int unit_dry_run(const Options &o, const PackageInputs *package, const Inputs &inputs) {
    base::Result<std::vector<UnitSource>> sources = sources_of(o, package, inputs);
    if (!sources.ok()) {
        return refuse(sources.message());
    }
    // The database is asked only when it is there already: a dry run makes nothing.
    RunRecords records;
    const base::Result<FileFacts> facts = env().stat(o.record_file);
    const bool exists = o.record_file.find("://") != std::string::npos ||
                        (facts.ok() && facts->kind == FileKind::Regular);
    if (!o.record_file.empty() && exists &&
        !records.open({o.record_file, o.record_spool, o.station_name, false, {}})) {
        return kExitBadInput;
    }
    for (const UnitSource &s : *sources) {
        const formats::UnitField &f = s.field;
        std::string next;
        if (records.writer() == nullptr) {
            next = o.record_file.empty()
                       ? "no --record database to allocate from"
                       : "the database is not made yet: " +
                             formats::unit_text(f, s.is_list ? s.list.front() : s.first);
        } else {
            base::Result<std::optional<uint64_t>> n =
                records.writer()->next_free_unit(unit_series(s));
            next = !n.ok()          ? n.message()
                   : n->has_value() ? formats::unit_text(f, **n)
                                    : "none: the values are used up";
        }
        std::printf("Unit field %s: 0x%06x, %u bytes, values %s%s; next free: %s\n", f.name.c_str(),
                    f.address, formats::unit_field_size(f), s.is_list ? "from the list " : "",
                    s.given.c_str(), next.c_str());
    }
    return 0;
}

}  // namespace host
