// A job: a signed promise of how many boards one package may be put on, on which stations and
// until when. Written as a small JSON file beside its signature (FILE.minisig), signed and
// judged by the keys packages are.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/result.h"
#include "host/inputs/package_trust.h"
#include "host/platform/env.h"

namespace host {

struct StationJob {
    std::string package_sha256;         // of the package file, lowercase hex
    uint64_t count = 0;                 // the boards it allows (successes)
    std::vector<std::string> stations;  // the stations it may run on; none: any
    std::string until;                  // YYYY-MM-DD, the end of that day in UTC; "": no end
    std::string id;                     // the SHA-256 of the job file, as the records keep it
};

// The job file's text (one JSON object and a newline).
std::string job_text(const StationJob &job);

// The end of the day DATE (YYYY-MM-DD) in UTC, in seconds since 1970; false when DATE is no
// such day.
bool job_day_end(const std::string &date, int64_t &end);

// Reads PATH and PATH.minisig and judges the job for this station, package and time. Refused
// with the reason (a sentence without "hidiap:") when the file is unreadable or not a job, its
// signature is missing, bad, by a revoked key or by no trusted key, it does not name the station,
// it has ended, or it is for another package.
base::Result<StationJob> read_station_job(const std::string &path, const PackageKeys &keys,
                                          const std::string &station,
                                          const std::string &package_sha256, WallTime now);

}  // namespace host
