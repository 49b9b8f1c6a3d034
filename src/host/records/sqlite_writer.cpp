#include <sqlite3.h>

#include <mutex>

#include "host/records/local_writers.h"
#include "host/records/record_columns.h"

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
        for (const RecordColumn &c : record_columns(r)) {
            ++i;
            if (c.kind == RecordColumn::Kind::Integer) {
                sqlite3_bind_int64(insert, i, static_cast<sqlite3_int64>(c.integer));
            } else if (c.kind == RecordColumn::Kind::Real) {
                sqlite3_bind_double(insert, i, c.real);
            } else if (!c.text) {
                sqlite3_bind_null(insert, i);
            } else {
                sqlite3_bind_text(insert, i, c.text->c_str(), static_cast<int>(c.text->size()),
                                  SQLITE_TRANSIENT);
            }
        }
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
