// --record postgresql://...: each record is made durable in the spool, then handed to the
// database by a thread of its own, in order, with a growing pause between attempts while the
// database is away. The boards never wait for the network.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>

#include "host/records/local_writers.h"
#include "host/records/postgres_link.h"
#include "host/records/record_spool.h"
#include "host/records/records_table.h"

namespace host {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kBatch = 50;
constexpr std::chrono::milliseconds kFirstPause{500};
constexpr std::chrono::milliseconds kLongestPause{30000};
// How long a record the spool could not take waits for the database before its board fails.
constexpr std::chrono::seconds kUnspooledLimit{15};

// A short name for the database in spool file names: FNV-1a of what identifies it.
std::string database_key(const std::string &identity) {
    uint64_t hash = 14695981039346656037ull;
    for (const unsigned char c : identity) {
        hash = (hash ^ c) * 1099511628211ull;
    }
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return hex;
}

void to_stderr(const std::string &line) {
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

std::string records_word(size_t n) {
    return std::to_string(n) + (n == 1 ? " record" : " records");
}

class PostgresWriter : public RecordWriter {
  public:
    PostgresWriter(std::unique_ptr<PostgresLink> link, std::unique_ptr<RecordSpool> spool,
                   bool table_checked, RecordNotes notes, bool timing_report)
        : link_(std::move(link)),
          spool_(std::move(spool)),
          shown_(link_->shown()),
          table_checked_(table_checked),
          away_(!link_->connected()),
          notes_(std::move(notes)),
          timing_report_(timing_report) {
        for (DeviceRecord &r : spool_->take_leftovers()) {
            pending_.push_back(Pending{std::move(r), ++sequence_, Clock::now()});
        }
        if (!pending_.empty()) {
            note("hidiap: --record: " + records_word(pending_.size()) +
                 " left by an earlier run go to the database first\n");
        }
        forwarder_ = std::thread([this] { forward(); });
    }

    ~PostgresWriter() override {
        const std::string left = finish();
        if (!left.empty()) {
            note(left);
        }
    }

    bool append(const DeviceRecord &record, std::string &error) override {
        std::unique_lock<std::mutex> lock(mutex_);
        std::string spool_error;
        const bool spooled = spool_->append(record, spool_error);
        const uint64_t seq = ++sequence_;
        pending_.push_back(Pending{record, seq, Clock::now()});
        wake_.notify_all();
        if (spooled) {
            return true;
        }
        // Not on this disk: durable only once the database committed it.
        if (committed_.wait_for(lock, kUnspooledLimit, [&] { return done_through_ >= seq; })) {
            return true;
        }
        const auto it = std::find_if(pending_.begin(), pending_.end(),
                                     [seq](const Pending &p) { return p.seq == seq; });
        if (it != pending_.end() && !(sending_ && it - pending_.begin() < in_flight_)) {
            pending_.erase(it);
        }
        error = "the spool '" + spool_->path() + "' did not take it (" + spool_error +
                ") and the database did not either";
        return false;
    }

    unsigned waiting() const override {
        const std::lock_guard<std::mutex> lock(mutex_);
        return away_ ? static_cast<unsigned>(pending_.size()) : 0;
    }

    void set_notes(RecordNotes notes) override {
        const std::lock_guard<std::mutex> lock(mutex_);
        notes_ = std::move(notes);
    }

    std::string finish() override {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (finished_) {
                return "";
            }
            finished_ = finishing_ = true;
            wake_.notify_all();
        }
        forwarder_.join();
        const std::lock_guard<std::mutex> lock(mutex_);
        if (pending_.empty()) {
            return "";
        }
        return "hidiap: --record: " + records_word(pending_.size()) + " waiting for the database " +
               shown_ + " in '" + spool_->path() +
               "'; the next run with this database sends them first\n";
    }

  private:
    struct Pending {
        DeviceRecord record;
        uint64_t seq;
        Clock::time_point kept;
    };

    void note(const std::string &line) {
        RecordNotes notes;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            notes = notes_;
        }
        (notes ? notes : to_stderr)(line);
    }

    // How long the first COUNT pending records took from being kept to being committed.
    void note_commit_times_locked(std::unique_lock<std::mutex> &lock, size_t count) {
        const Clock::time_point now = Clock::now();
        std::string lines;
        for (size_t i = 0; i < count; i++) {
            const DeviceRecord &r = pending_[i].record;
            char line[200];
            std::snprintf(
                line, sizeof line,
                "hidiap: [%s] record timing: kept to committed in the database "
                "%.3f ms\n",
                (r.serial.empty() ? r.device_path : r.serial).c_str(),
                std::chrono::duration<double, std::milli>(now - pending_[i].kept).count());
            lines += line;
        }
        lock.unlock();
        note(lines);
        lock.lock();
    }

    // Connects, checks the table once, and stores the batch.
    bool send(const std::vector<DeviceRecord> &batch, std::string &error) {
        if (link_->connect(error, false) != PostgresLink::Reach::Connected) {
            return false;
        }
        if (!table_checked_) {
            if (!check_records_table(*link_, error)) {
                return false;
            }
            table_checked_ = true;
        }
        return insert_records(*link_, batch, error);
    }

    void forward() {
        std::unique_lock<std::mutex> lock(mutex_);
        size_t sent_while_away = 0;
        for (;;) {
            if (pending_.empty()) {
                if (finishing_) {
                    return;
                }
                wake_.wait(lock);
                continue;
            }
            if (!finishing_ && Clock::now() < next_try_) {
                wake_.wait_until(lock, next_try_);
                continue;
            }
            std::vector<DeviceRecord> batch;
            for (size_t i = 0; i < std::min(kBatch, pending_.size()); i++) {
                batch.push_back(pending_[i].record);
            }
            sending_ = true;
            in_flight_ = static_cast<long>(batch.size());
            lock.unlock();
            std::string error;
            const bool stored = send(batch, error);
            lock.lock();
            if (stored) {
                if (timing_report_) {
                    note_commit_times_locked(lock, batch.size());
                }
                done_through_ = pending_[batch.size() - 1].seq;
                pending_.erase(pending_.begin(),
                               pending_.begin() + static_cast<long>(batch.size()));
                sending_ = false;
                std::string cleared;
                if (pending_.empty() && !spool_->clear(cleared)) {
                    lock.unlock();
                    note("hidiap: --record: " + cleared + "\n");
                    lock.lock();
                }
                pause_ = kFirstPause;
                next_try_ = Clock::now();
                committed_.notify_all();
                if (away_) {
                    sent_while_away += batch.size();
                    if (pending_.empty()) {
                        away_ = false;
                        const std::string back = "hidiap: --record: the database " + shown_ +
                                                 " took the " + records_word(sent_while_away) +
                                                 " that waited\n";
                        sent_while_away = 0;
                        lock.unlock();
                        note(back);
                        lock.lock();
                    }
                }
                continue;
            }
            sending_ = false;
            if (!away_) {
                away_ = true;
                lock.unlock();
                note("hidiap: --record: the database " + shown_ + " is away (" + error +
                     "); boards go on, their records wait in '" + spool_->path() + "'\n");
                lock.lock();
            }
            if (finishing_) {
                return;
            }
            next_try_ = Clock::now() + pause_;
            pause_ = std::min(pause_ * 2, kLongestPause);
        }
    }

    const std::unique_ptr<PostgresLink> link_;  // the forwarding thread's alone
    const std::unique_ptr<RecordSpool> spool_;
    const std::string shown_;
    bool table_checked_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;       // a record, or the finish, for the forwarder
    std::condition_variable committed_;  // records stored, for an append that waits
    std::deque<Pending> pending_;        // in the spool, not yet in the database; oldest first
    uint64_t sequence_ = 0;
    uint64_t done_through_ = 0;  // every record up to this one is stored
    bool sending_ = false;
    long in_flight_ = 0;  // the first records of pending_ the forwarder is storing
    bool away_;
    bool finishing_ = false;
    bool finished_ = false;
    Clock::time_point next_try_{};
    std::chrono::milliseconds pause_ = kFirstPause;
    RecordNotes notes_;
    const bool timing_report_;
    std::thread forwarder_;
};

}  // namespace

std::unique_ptr<RecordWriter> open_postgres_writer(const RecordDestination &destination,
                                                   std::string &error) {
    auto link = std::make_unique<PostgresLink>(destination.target);
    const RecordNotes notes = destination.notes ? destination.notes : RecordNotes(to_stderr);
    if (!link->well_formed(error)) {
        error = "not a usable database URI: " + error;
        return nullptr;
    }
    std::unique_ptr<RecordSpool> spool =
        RecordSpool::open(destination.spool_file, database_key(link->identity()), notes, error);
    if (!spool) {
        return nullptr;
    }
    std::string why;
    switch (link->connect(why)) {
        case PostgresLink::Reach::Refused:
            error = why;
            return nullptr;
        case PostgresLink::Reach::Unreachable:
            notes("hidiap: --record: the database " + link->shown() + " cannot be reached (" + why +
                  "); boards are updated and their records wait in '" + spool->path() +
                  "' until it can\n");
            return std::make_unique<PostgresWriter>(std::move(link), std::move(spool), false, notes,
                                                    destination.timing_report);
        case PostgresLink::Reach::Connected:
            break;
    }
    if (!check_records_table(*link, error)) {
        return nullptr;
    }
    return std::make_unique<PostgresWriter>(std::move(link), std::move(spool), true, notes,
                                            destination.timing_report);
}

}  // namespace host
