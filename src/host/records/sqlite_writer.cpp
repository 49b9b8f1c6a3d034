#include <sqlite3.h>

#include <mutex>

#include "host/records/local_writers.h"
#include "host/records/record_json.h"

namespace host {

namespace {

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
        text(record_crc_text(r.image_crc), true);
        text(record_crc_text(r.tts_crc), true);
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

std::unique_ptr<RecordWriter> open_sqlite_writer(const std::string &file, std::string &error) {
    return SqliteWriter::open(file, error);
}

}  // namespace host
