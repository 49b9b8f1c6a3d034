// rand_s, the system's random source on Windows, is declared only when asked for first.
#define _CRT_RAND_S
#include "host/records/record_writer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "host/records/local_writers.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/random.h>
#include <unistd.h>
#endif

namespace host {

namespace {

bool ends_with(const std::string &text, const std::string &end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Bytes from the operating system's random source, which no two stations share a state of.
void system_random(unsigned char *bytes, size_t size) {
#ifdef _WIN32
    for (size_t i = 0; i < size; i += sizeof(unsigned int)) {
        unsigned int value = 0;
        rand_s(&value);
        std::memcpy(bytes + i, &value, std::min(sizeof value, size - i));
    }
#else
    size_t done = 0;
    while (done < size) {
        const ssize_t n = getrandom(bytes + done, size - done, 0);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (errno != EINTR) {
            break;
        }
    }
#endif
}

}  // namespace

bool is_postgres_uri(const std::string &target) {
    return target.rfind("postgresql://", 0) == 0 || target.rfind("postgres://", 0) == 0;
}

std::unique_ptr<RecordWriter> open_record_writer(const RecordDestination &destination,
                                                 std::string &error) {
    if (is_postgres_uri(destination.target)) {
        return open_postgres_writer(destination, error);
    }
    if (ends_with(destination.target, ".sqlite") || ends_with(destination.target, ".db")) {
        return open_sqlite_writer(destination.target, error);
    }
    return open_json_lines_writer(destination.target, error);
}

std::string new_record_id() {
    unsigned char b[16] = {};
    system_random(b, sizeof b);
    b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);  // version 4: random
    b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);  // the RFC 4122 variant
    char text[37];
    std::snprintf(text, sizeof text,
                  "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0],
                  b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13],
                  b[14], b[15]);
    return text;
}

std::string utc_now_iso8601() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    char millis[8];
    std::snprintf(millis, sizeof millis, ".%03dZ", static_cast<int>(ms.count()) % 1000);
    return std::string(text) + millis;
}

std::string station_name() {
    char name[256] = {};
#ifdef _WIN32
    DWORD size = sizeof name;
    if (!GetComputerNameA(name, &size)) {
        return "";
    }
#else
    if (gethostname(name, sizeof name - 1) != 0) {
        return "";
    }
#endif
    return name;
}

}  // namespace host
