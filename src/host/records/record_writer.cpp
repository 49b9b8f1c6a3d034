#include "host/records/record_writer.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/file.h>
#include <unistd.h>
#endif

namespace host {

namespace {

bool ends_with(const std::string &text, const std::string &end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

nlohmann::ordered_json or_null(const std::string &text) {
    return text.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(text);
}

std::string crc_text(const std::optional<uint32_t> &crc) {
    if (!crc) {
        return "";
    }
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08x", *crc);
    return hex;
}

// Holds the file's lock against other processes for the length of one append.
class FileLock {
  public:
    explicit FileLock(int fd) : fd_(fd) {
#ifdef _WIN32
        OVERLAPPED at{};
        locked_ = LockFileEx(reinterpret_cast<HANDLE>(_get_osfhandle(fd_)), LOCKFILE_EXCLUSIVE_LOCK,
                             0, MAXDWORD, MAXDWORD, &at) != 0;
#else
        while ((locked_ = flock(fd_, LOCK_EX) == 0) == false && errno == EINTR) {
        }
#endif
    }
    ~FileLock() {
        if (!locked_) {
            return;
        }
#ifdef _WIN32
        OVERLAPPED at{};
        UnlockFileEx(reinterpret_cast<HANDLE>(_get_osfhandle(fd_)), 0, MAXDWORD, MAXDWORD, &at);
#else
        flock(fd_, LOCK_UN);
#endif
    }
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;
    bool locked() const {
        return locked_;
    }

  private:
    int fd_;
    bool locked_ = false;
};

int sync_fd(int fd) {
#ifdef _WIN32
    return _commit(fd);
#else
    return fsync(fd);
#endif
}

// One JSON object per line. Every append takes the file's lock, so that two processes never
// interleave their lines, and begins on a new line when the last one was cut short.
class JsonLinesWriter : public RecordWriter {
  public:
    explicit JsonLinesWriter(int fd) : fd_(fd) {}
    ~JsonLinesWriter() override {
#ifdef _WIN32
        _close(fd_);
#else
        close(fd_);
#endif
    }

    bool append(const DeviceRecord &r, std::string &error) override {
        const nlohmann::ordered_json j = {
            {"id", r.id},
            {"time", r.time_utc},
            {"station", r.station},
            {"tool_version", r.tool_version},
            {"device_path", r.device_path},
            {"serial", r.serial},
            {"manufacturer", r.manufacturer},
            {"product", r.product},
            {"image_path", r.image_path},
            {"image_size", r.image_size},
            {"image_sha256", r.image_sha256},
            {"tts_path", r.tts_path},
            {"tts_size", r.tts_size},
            {"tts_sha256", r.tts_sha256},
            {"token", r.token},
            {"outcome", r.outcome},
            {"cause", r.cause.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(r.cause)},
            {"reason",
             r.reason.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(r.reason)},
            {"bytes_programmed", r.bytes_programmed},
            {"seconds", r.seconds},
            {"image_crc", r.image_crc ? nlohmann::ordered_json(crc_text(r.image_crc))
                                      : nlohmann::ordered_json()},
            {"tts_crc",
             r.tts_crc ? nlohmann::ordered_json(crc_text(r.tts_crc)) : nlohmann::ordered_json()},
            {"firmware_version", or_null(r.firmware_version)},
            {"signature_key_id", or_null(r.signature_key_id)},
            {"trusted_comment", or_null(r.trusted_comment)},
        };
        std::string line =
            j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
        const std::lock_guard<std::mutex> in_process(mutex_);
        const FileLock lock(fd_);
        if (!lock.locked()) {
            error = std::string("cannot lock the file: ") + std::strerror(errno);
            return false;
        }
        if (!last_line_complete()) {
            line.insert(line.begin(), '\n');
        }
        size_t done = 0;
        while (done < line.size()) {
#ifdef _WIN32
            const int n =
                _write(fd_, line.data() + done, static_cast<unsigned>(line.size() - done));
#else
            const ssize_t n = write(fd_, line.data() + done, line.size() - done);
#endif
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                error = std::string("cannot write: ") + std::strerror(errno);
                return false;
            }
            done += static_cast<size_t>(n);
        }
        if (sync_fd(fd_) != 0) {
            error = std::string("cannot sync: ") + std::strerror(errno);
            return false;
        }
        return true;
    }

  private:
    // False when the file ends in anything but a line end: a line a power loss cut short.
    bool last_line_complete() {
#ifdef _WIN32
        const __int64 size = _lseeki64(fd_, 0, SEEK_END);
        if (size <= 0 || _lseeki64(fd_, size - 1, SEEK_SET) < 0) {
            return true;
        }
        char last = '\n';
        const bool read = _read(fd_, &last, 1) == 1;
        _lseeki64(fd_, 0, SEEK_END);
        return !read || last == '\n';
#else
        struct stat st {};
        if (fstat(fd_, &st) != 0 || st.st_size == 0) {
            return true;
        }
        char last = '\n';
        return pread(fd_, &last, 1, st.st_size - 1) != 1 || last == '\n';
#endif
    }

    const int fd_;
    std::mutex mutex_;
};

constexpr const char *kSchema =
    "CREATE TABLE IF NOT EXISTS hidiap_records ("
    "id TEXT PRIMARY KEY, time TEXT NOT NULL, station TEXT, tool_version TEXT, "
    "device_path TEXT, serial TEXT, manufacturer TEXT, product TEXT, "
    "image_path TEXT, image_size INTEGER, image_sha256 TEXT, "
    "tts_path TEXT, tts_size INTEGER, tts_sha256 TEXT, token TEXT, "
    "outcome TEXT NOT NULL, cause TEXT, reason TEXT, "
    "bytes_programmed INTEGER, seconds REAL, image_crc TEXT, tts_crc TEXT, "
    "firmware_version TEXT, signature_key_id TEXT, trusted_comment TEXT)";

// One row per record in one table. WAL lets two stations share the file; a full sync makes each
// committed row survive a power loss.
class SqliteWriter : public RecordWriter {
  public:
    explicit SqliteWriter(sqlite3 *db) : db_(db) {}
    ~SqliteWriter() override { sqlite3_close(db_); }

    static std::unique_ptr<RecordWriter> open(const std::string &file, std::string &error) {
        sqlite3 *db = nullptr;
        if (sqlite3_open_v2(file.c_str(), &db,
                            SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                            nullptr) != SQLITE_OK) {
            error = db != nullptr ? sqlite3_errmsg(db) : "out of memory";
            sqlite3_close(db);
            return nullptr;
        }
        auto writer = std::make_unique<SqliteWriter>(db);
        sqlite3_busy_timeout(db, 10000);
        // BEGIN IMMEDIATE takes the write lock: a file that cannot be written fails here.
        for (const char *sql : {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=FULL",
                                "BEGIN IMMEDIATE", kSchema, "COMMIT"}) {
            if (!writer->exec(sql, error)) {
                return nullptr;
            }
        }
        return writer;
    }

    bool append(const DeviceRecord &r, std::string &error) override {
        const std::lock_guard<std::mutex> lock(mutex_);
        sqlite3_stmt *insert = nullptr;
        if (sqlite3_prepare_v2(db_,
                               "INSERT INTO hidiap_records VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,"
                               "?,?,?,?,?,?,?,?,?,?,?)",
                               -1, &insert, nullptr) != SQLITE_OK) {
            error = sqlite3_errmsg(db_);
            return false;
        }
        int i = 0;
        const auto text = [&](const std::string &value, bool null_when_empty = false) {
            ++i;
            if (null_when_empty && value.empty()) {
                sqlite3_bind_null(insert, i);
            } else {
                sqlite3_bind_text(insert, i, value.c_str(), static_cast<int>(value.size()),
                                  SQLITE_TRANSIENT);
            }
        };
        const auto integer = [&](uint64_t value) {
            sqlite3_bind_int64(insert, ++i, static_cast<sqlite3_int64>(value));
        };
        text(r.id);
        text(r.time_utc);
        text(r.station);
        text(r.tool_version);
        text(r.device_path);
        text(r.serial);
        text(r.manufacturer);
        text(r.product);
        text(r.image_path);
        integer(r.image_size);
        text(r.image_sha256);
        text(r.tts_path);
        integer(r.tts_size);
        text(r.tts_sha256);
        text(r.token);
        text(r.outcome);
        text(r.cause, true);
        text(r.reason, true);
        integer(r.bytes_programmed);
        sqlite3_bind_double(insert, ++i, r.seconds);
        text(crc_text(r.image_crc), true);
        text(crc_text(r.tts_crc), true);
        text(r.firmware_version, true);
        text(r.signature_key_id, true);
        text(r.trusted_comment, true);
        // One statement outside BEGIN is its own transaction: committed when step returns.
        const int step = sqlite3_step(insert);
        sqlite3_finalize(insert);
        if (step != SQLITE_DONE) {
            error = sqlite3_errmsg(db_);
            return false;
        }
        return true;
    }

  private:
    bool exec(const char *sql, std::string &error) {
        char *message = nullptr;
        if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
            error = message != nullptr ? message : sqlite3_errmsg(db_);
            sqlite3_free(message);
            return false;
        }
        return true;
    }

    sqlite3 *db_;
    std::mutex mutex_;
};

}  // namespace

std::unique_ptr<RecordWriter> open_record_writer(const std::string &file, std::string &error) {
    if (file.rfind("postgresql://", 0) == 0 || file.rfind("postgres://", 0) == 0) {
        error = "a PostgreSQL database is not supported by this build";
        return nullptr;
    }
    if (ends_with(file, ".sqlite") || ends_with(file, ".db")) {
        return SqliteWriter::open(file, error);
    }
#ifdef _WIN32
    const int fd =
        _open(file.c_str(), _O_RDWR | _O_APPEND | _O_CREAT | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
    const int fd = ::open(file.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
#endif
    if (fd < 0) {
        error = std::strerror(errno);
        return nullptr;
    }
    return std::make_unique<JsonLinesWriter>(fd);
}

std::string new_record_id() {
    std::random_device random;
    std::string id;
    for (int i = 0; i < 4; i++) {
        char hex[9];
        std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(random()));
        id += hex;
    }
    return id;
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
