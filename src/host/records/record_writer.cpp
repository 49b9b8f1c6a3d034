#include "host/records/record_writer.h"

#include <cctype>

#include "base/text.h"
#include "host/records/database_uri.h"
#include "host/records/local_writers.h"

namespace host {

namespace {

using base::Error;
using base::ErrorCode;

bool ends_with_nocase(const std::string &text, const std::string &end) {
    if (text.size() < end.size()) {
        return false;
    }
    for (size_t i = 0; i < end.size(); i++) {
        if (std::tolower(static_cast<unsigned char>(text[text.size() - end.size() + i])) !=
            end[i]) {
            return false;
        }
    }
    return true;
}

// The civil date of a day counted from 1970-01-01 (proleptic Gregorian, as UTC is told).
void civil_from_days(int64_t days, int64_t &year, unsigned &month, unsigned &day) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto of_era = static_cast<unsigned>(days - era * 146097);
    const unsigned year_of_era = (of_era - of_era / 1460 + of_era / 36524 - of_era / 146096) / 365;
    const unsigned day_of_year = of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const unsigned shifted_month = (5 * day_of_year + 2) / 153;
    day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
    month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
    year = static_cast<int64_t>(year_of_era) + era * 400 + (month <= 2 ? 1 : 0);
}

}  // namespace

base::Result<std::unique_ptr<RecordWriter>> open_record_writer(
    const RecordDestination &destination) {
    const std::string &target = destination.target;
    if (is_postgres_uri(target)) {
        return open_postgres_writer(destination);
    }
    if (is_connection_string(target)) {
        return Error(ErrorCode::InvalidInput, kConnectionStringRefusal);
    }
    if (ends_with_nocase(target, ".sqlite") || ends_with_nocase(target, ".db")) {
        return open_sqlite_writer(destination);
    }
    return open_json_lines_writer(destination);
}

base::Result<std::string> new_record_id() {
    uint8_t b[16] = {};
    if (base::Status random = env().random_bytes(b, sizeof b); !random.ok()) {
        return random.error().in("cannot make the record's id");
    }
    b[6] = static_cast<uint8_t>((b[6] & 0x0f) | 0x40);  // version 4: random
    b[8] = static_cast<uint8_t>((b[8] & 0x3f) | 0x80);  // the RFC 4122 variant
    return base::format("%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                        b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11],
                        b[12], b[13], b[14], b[15]);
}

std::string iso8601_utc(WallTime time) {
    using namespace std::chrono;
    const int64_t ms = duration_cast<milliseconds>(time.time_since_epoch()).count();
    const int64_t day_ms = 86400000;
    const int64_t days = (ms >= 0 ? ms : ms - (day_ms - 1)) / day_ms;
    const int64_t in_day = ms - days * day_ms;
    int64_t year = 0;
    unsigned month = 0;
    unsigned day = 0;
    civil_from_days(days, year, month, day);
    return base::format("%04lld-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<long long>(year),
                        month, day, static_cast<int>(in_day / 3600000),
                        static_cast<int>(in_day / 60000 % 60), static_cast<int>(in_day / 1000 % 60),
                        static_cast<int>(in_day % 1000));
}

std::string utc_now_iso8601() {
    return iso8601_utc(env().wall_now());
}

std::string station_name() {
    return env().host_name();
}

}  // namespace host
