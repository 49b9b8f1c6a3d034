#include "host/inputs/station_job.h"

#include <algorithm>
#include <ctime>
#include <nlohmann/json.hpp>

#include "formats/sha256.h"
#include "signing/minisign.h"

namespace host {

namespace {

using base::Error;
using base::ErrorCode;

// A job is a few lines; its signature four.
constexpr uint64_t kJobLimit = 64u << 10;
constexpr const char *kJobFormat = "hidiap-job";

Error refused(const std::string &why) {
    return Error(ErrorCode::InvalidInput, why);
}

base::Status judge_signature(const std::string &path, const std::string &text,
                             const PackageKeys &keys) {
    const std::string sig_path = path + ".minisig";
    const base::Result<std::string> sig_text = read_file(sig_path, kJobLimit);
    if (!sig_text.ok()) {
        return refused("the job '" + path + "' is unsigned: its signature '" + sig_path +
                       "' cannot be read");
    }
    if (const base::Status started = signing::ready(); !started.ok()) {
        return started;
    }
    const base::Result<signing::Signature> sig = signing::read_signature(*sig_text);
    if (!sig.ok()) {
        return refused("the job's signature '" + sig_path + "' is unreadable: " + sig.message());
    }
    const std::string id = signing::key_id_text(sig->id);
    const TrustedKey *matched = nullptr;
    if (check_with(keys.revoked, *sig, reinterpret_cast<const uint8_t *>(text.data()), text.size(),
                   matched) == signing::Check::Good) {
        return refused("the job '" + path + "' is signed by the revoked key " + id + " (" +
                       matched->file + ")");
    }
    matched = nullptr;
    const signing::Check c = check_with(
        keys.trusted, *sig, reinterpret_cast<const uint8_t *>(text.data()), text.size(), matched);
    if (c == signing::Check::Good) {
        return {};
    }
    if (c == signing::Check::OtherKey) {
        return refused("the job '" + path + "' is signed by the key " + id +
                       ", which is not trusted here");
    }
    return refused("the job '" + path + "' does not match its signature (key " + id +
                   "): it was changed after it was signed");
}

base::Result<StationJob> parse_job(const std::string &path, const std::string &text) {
    const nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
    StationJob job;
    const auto not_a_job = [&](const std::string &what) {
        return refused("'" + path + "' is not a job: " + what);
    };
    if (!j.is_object() || !j.contains("format") || j["format"] != kJobFormat) {
        return not_a_job("no JSON object of format \"hidiap-job\"");
    }
    if (!j.contains("package_sha256") || !j["package_sha256"].is_string() || !j.contains("count") ||
        !j["count"].is_number_unsigned()) {
        return not_a_job("it lacks package_sha256 or count");
    }
    job.package_sha256 = j["package_sha256"].get<std::string>();
    job.count = j["count"].get<uint64_t>();
    if (j.contains("stations")) {
        if (!j["stations"].is_array()) {
            return not_a_job("stations is not a list");
        }
        for (const nlohmann::json &s : j["stations"]) {
            if (!s.is_string()) {
                return not_a_job("a station is not a text");
            }
            job.stations.push_back(s.get<std::string>());
        }
    }
    int64_t end = 0;
    if (j.contains("until")) {
        if (!j["until"].is_string() || !job_day_end(j["until"].get<std::string>(), end)) {
            return not_a_job("until is not a date YYYY-MM-DD");
        }
        job.until = j["until"].get<std::string>();
    }
    return job;
}

}  // namespace

std::string job_text(const StationJob &job) {
    nlohmann::ordered_json j;
    j["format"] = kJobFormat;
    j["package_sha256"] = job.package_sha256;
    j["count"] = job.count;
    j["stations"] = job.stations;
    if (!job.until.empty()) {
        j["until"] = job.until;
    }
    return j.dump(2) + "\n";
}

bool job_day_end(const std::string &date, int64_t &end) {
    if (date.size() != 10 || date[4] != '-' || date[7] != '-') {
        return false;
    }
    for (const size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) {
        if (date[i] < '0' || date[i] > '9') {
            return false;
        }
    }
    const int year = std::stoi(date.substr(0, 4));
    const int month = std::stoi(date.substr(5, 2));
    const int mday = std::stoi(date.substr(8, 2));
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || mday < 1 ||
        mday > kDays[month - 1] + (month == 2 && leap ? 1 : 0)) {
        return false;  // 2026-02-30 is no day
    }
    // Days since 1970-01-01 of a proleptic Gregorian date, by arithmetic alone: the system's
    // conversions differ (no timegm on Windows) and read the time zone.
    const int y = year - (month <= 2 ? 1 : 0);
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - era * 400;
    const int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + mday - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const int64_t start = (static_cast<int64_t>(era) * 146097 + doe - 719468) * 86400;
    end = static_cast<int64_t>(start) + 86400;
    return true;
}

base::Result<StationJob> read_station_job(const std::string &path, const PackageKeys &keys,
                                          const std::string &station,
                                          const std::string &package_sha256, WallTime now) {
    const base::Result<std::string> text = read_file(path, kJobLimit);
    if (!text.ok()) {
        return refused("the job '" + path + "' cannot be read: " + text.message());
    }
    if (const base::Status signed_ok = judge_signature(path, *text, keys); !signed_ok.ok()) {
        return signed_ok.error();
    }
    base::Result<StationJob> job = parse_job(path, *text);
    if (!job.ok()) {
        return job;
    }
    job->id = formats::sha256_hex(reinterpret_cast<const uint8_t *>(text->data()), text->size());
    if (!job->stations.empty() &&
        std::find(job->stations.begin(), job->stations.end(), station) == job->stations.end()) {
        return refused("the job '" + path + "' is not for the station '" + station + "'");
    }
    int64_t end = 0;
    if (!job->until.empty() && job_day_end(job->until, end) &&
        std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count() >= end) {
        return refused("the job '" + path + "' ended with the day " + job->until + " (UTC)");
    }
    if (job->package_sha256 != package_sha256) {
        return refused("the job '" + path + "' is for another package (SHA-256 " +
                       job->package_sha256 + ")");
    }
    return job;
}

}  // namespace host
