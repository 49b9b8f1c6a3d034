#include <map>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "host/records/local_writers.h"
#include "host/records/record_file.h"
#include "host/records/record_notes.h"
#include "host/records/sqlite_records.h"
#include "host/records/sqlite_vfs.h"

namespace host {

namespace {

using base::Error;
using base::ErrorCode;

// An SQLite file opened through the Env's VFS, its records table ready, and which file it was.
struct Database {
    SqliteOwner db;
    FileIdentity identity;
};

base::Result<Database> open_database(const std::string &path) {
    // Only a regular file (or none yet, made here) can hold a database: a FIFO, a device or a
    // directory is refused before SQLite touches it.
    if (base::Status usable = regular_or_missing(path); !usable.ok()) {
        return usable.error();
    }
    const char *vfs = sqlite_env_vfs();
    if (vfs == nullptr) {
        return Error(ErrorCode::Internal, "SQLite's file access could not be set up");
    }
    sqlite3 *raw = nullptr;
    const int opened =
        sqlite3_open_v2(path.c_str(), &raw,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, vfs);
    SqliteOwner db(raw);
    if (opened != SQLITE_OK) {
        return Error(ErrorCode::Io, db ? sqlite3_errmsg(db.get()) : "out of memory");
    }
    sqlite3_busy_timeout(db.get(), 10000);
    // The table is checked (and made or upgraded) before anything else is written: a file of
    // another program's is refused as it was. Then WAL, which lets two stations share the file;
    // a full sync makes each committed row survive a power loss.
    if (base::Status full = sqlite_exec(db.get(), "PRAGMA synchronous=FULL"); !full.ok()) {
        return full.error();
    }
    if (base::Status ready = prepare_sqlite_records(db.get()); !ready.ok()) {
        return ready.error();
    }
    if (base::Status wal = sqlite_exec(db.get(), "PRAGMA journal_mode=WAL"); !wal.ok()) {
        return wal.error();
    }
    const base::Result<FileFacts> facts = env().stat(path);
    if (!facts.ok()) {
        return facts.error();
    }
    return Database{std::move(db), facts->identity};
}

// One row per record in one table. Before each record the writer makes sure its path still
// names the file it has open: a file removed or replaced during the run is made again by its name
// and given the records this run wrote, read from the old one.
class SqliteWriter : public RecordWriter {
  public:
    SqliteWriter(std::string path, Database database, RecordNotes notes)
        : path_(std::move(path)),
          db_(std::move(database.db)),
          identity_(database.identity),
          notes_(std::move(notes)) {}

    base::Status append(const DeviceRecord &record) override {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (base::Status followed = follow_path(); !followed.ok()) {
            return followed;
        }
        if (base::Status inserted = insert_sqlite_record(db_.get(), record, false);
            !inserted.ok()) {
            return inserted;
        }
        ids_.push_back(record.id);
        return {};
    }

    void set_notes(RecordNotes notes) override { notes_.set(std::move(notes)); }

    base::Result<BoardHistory> board_history(const std::string &serial) override {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (base::Status followed = follow_path(); !followed.ok()) {
            return followed.error();
        }
        return sqlite_board_history(db_.get(), serial);
    }

    base::Result<uint64_t> job_successes(const std::string &job) override {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (base::Status followed = follow_path(); !followed.ok()) {
            return followed.error();
        }
        return sqlite_job_successes(db_.get(), job);
    }

    base::Result<std::vector<uint64_t>> reserve_units(const UnitSeries &series, size_t count,
                                                      const std::string &station) override {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (base::Status followed = follow_path(); !followed.ok()) {
            return followed.error();
        }
        base::Result<std::vector<uint64_t>> taken =
            sqlite_reserve_units(db_.get(), series, count, station, marks_);
        if (taken.ok()) {
            reserved_[{series.field, station}].insert(taken->begin(), taken->end());
        }
        return taken;
    }

    base::Status return_units(const std::string &field, const std::vector<uint64_t> &numbers,
                              const std::string &station) override {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (base::Status followed = follow_path(); !followed.ok()) {
            return followed;
        }
        marks_.rewind(field);
        base::Status returned = sqlite_return_units(db_.get(), field, numbers, station);
        if (returned.ok()) {
            const auto it = reserved_.find({field, station});
            for (const uint64_t n : numbers) {
                if (it != reserved_.end()) {
                    it->second.erase(n);
                }
            }
        }
        return returned;
    }

    base::Result<std::optional<uint64_t>> next_free_unit(const UnitSeries &series) override {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (base::Status followed = follow_path(); !followed.ok()) {
            return followed.error();
        }
        return sqlite_next_free_unit(db_.get(), series);
    }

    std::string finish() override {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (base::Status followed = follow_path(); !followed.ok()) {
            return "hidiap: --record: " + followed.message() + "\n";
        }
        return "";
    }

  private:
    base::Result<bool> still_named() {
        const base::Result<FileFacts> facts = env().stat(path_);
        if (!facts.ok()) {
            return facts.error();
        }
        return facts->kind != FileKind::Missing && facts->identity == identity_;
    }

    // The file the path names now, with this run's records in it.
    base::Status follow_path() {
        if (db_) {
            const base::Result<bool> named = still_named();
            if (!named.ok()) {
                return named.error().in("cannot tell whether '" + path_ + "' is still there");
            }
            if (*named) {
                return {};
            }
            base::Result<std::vector<DeviceRecord>> rows = read_sqlite_records(db_.get(), ids_);
            if (!rows.ok()) {
                return rows.error().in("'" + path_ +
                                       "' was removed or replaced during the run: this run's "
                                       "records cannot be read from the old file");
            }
            carried_ = std::move(*rows);
            // Closed first: its last checkpoint goes into the old file, and its -wal and -shm
            // files go with it instead of being taken for the new file's.
            db_.reset();
        }
        base::Result<Database> again = open_database(path_);
        if (!again.ok()) {
            return again.error().in("'" + path_ +
                                    "' was removed or replaced during the run and cannot be made "
                                    "again");
        }
        for (const DeviceRecord &r : carried_) {
            if (base::Status put = insert_sqlite_record(again->db.get(), r, true); !put.ok()) {
                return put.error().in("'" + path_ +
                                      "' was removed or replaced during the run: this run's "
                                      "records cannot be written into it again");
            }
        }
        // The values this run reserved stay reserved: the new file must not hand them out again.
        for (const auto &[owner, numbers] : reserved_) {
            const std::vector<uint64_t> kept(numbers.begin(), numbers.end());
            if (base::Status put =
                    sqlite_keep_units(again->db.get(), owner.first, kept, owner.second);
                !put.ok()) {
                return put.error().in("'" + path_ +
                                      "' was removed or replaced during the run: the unit values "
                                      "this run reserved cannot be reserved in it again");
            }
        }
        notes_.say("hidiap: --record: '" + path_ +
                   "' was removed or replaced during the run: opened again by its name, and the " +
                   records_word(carried_.size()) +
                   " this run wrote into the old file written into it again\n");
        db_ = std::move(again->db);
        identity_ = again->identity;
        carried_.clear();
        return {};
    }

    const std::string path_;
    SqliteOwner db_;  // null between a file's removal and its making again
    FileIdentity identity_;
    std::vector<std::string> ids_;       // this run's records
    std::vector<DeviceRecord> carried_;  // read from a removed file, for the new one
    ListMarks marks_;
    // The unit values this run reserved and did not give back, by field and station.
    std::map<std::pair<std::string, std::string>, std::set<uint64_t>> reserved_;
    WriterNotes notes_;
    std::mutex mutex_;
};

}  // namespace

base::Result<std::unique_ptr<RecordWriter>> open_sqlite_writer(
    const RecordDestination &destination) {
    base::Result<Database> database = open_database(destination.target);
    if (!database.ok()) {
        return database.error();
    }
    return std::unique_ptr<RecordWriter>(
        new SqliteWriter(destination.target, std::move(*database), destination.notes));
}

}  // namespace host
