#include "host/app/record_setup.h"

#include <cstdio>

#include "host/events/exit_status.h"
#include "host/records/database_uri.h"
#include "host/records/postgres_link.h"
#include "host/records/records_table.h"

namespace host {

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
