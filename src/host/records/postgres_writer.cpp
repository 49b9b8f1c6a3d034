// --record postgresql://...: each record is made durable in the spool, then handed to the
// database by a thread of its own, in order, with a growing pause between attempts while the
// database is away. The boards never wait for the network. A record the database refuses for
// its content is set aside, said, and never tried again; the others go on.
#include <algorithm>
#include <chrono>
#include <deque>
#include <mutex>
#include <optional>

#include "base/text.h"
#include "host/records/local_writers.h"
#include "host/records/postgres_link.h"
#include "host/records/postgres_units.h"
#include "host/records/record_json.h"
#include "host/records/record_notes.h"
#include "host/records/record_spool.h"
#include "host/records/records_table.h"

namespace host {

namespace {

using base::Error;
using base::ErrorCode;

constexpr size_t kBatch = 50;
constexpr std::chrono::milliseconds kFirstPause{500};
constexpr std::chrono::milliseconds kLongestPause{30000};
// How long a record the spool could not take waits for the database before its board fails.
constexpr std::chrono::seconds kUnspooledLimit{15};
// How long the forwarder sleeps between looks when there is nothing to send.
constexpr std::chrono::seconds kIdleLook{60};

// A short name for the database in spool file names: FNV-1a of what identifies it.
std::string database_key(const std::string &identity) {
    uint64_t hash = 14695981039346656037ull;
    for (const unsigned char c : identity) {
        hash = (hash ^ c) * 1099511628211ull;
    }
    return base::format("%016llx", static_cast<unsigned long long>(hash));
}

void say_on_stderr(const std::string &line) {
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

std::string board_of(const DeviceRecord &r) {
    return r.serial.empty() ? r.device_path : r.serial;
}

// What became of a batch handed to the database.
struct Delivery {
    size_t handled = 0;           // its first records: stored, or refused and set aside
    std::vector<size_t> refused;  // which of those the database refused
    std::vector<size_t> lost;     // which refused ones could not be set aside either
    std::vector<std::string> notes;
    std::optional<Error> away;  // why the rest did not go
};

class PostgresWriter : public RecordWriter {
  public:
    static base::Result<std::unique_ptr<RecordWriter>> start(std::unique_ptr<PostgresLink> link,
                                                             std::unique_ptr<RecordSpool> spool,
                                                             bool table_checked, RecordNotes notes,
                                                             bool timing_report,
                                                             const std::string &uri) {
        std::unique_ptr<PostgresWriter> writer(new PostgresWriter(
            std::move(link), std::move(spool), table_checked, std::move(notes), timing_report));
        writer->uri_ = uri;
        base::Result<Thread> forwarder = Thread::start([w = writer.get()] { w->forward(); });
        if (!forwarder.ok()) {
            writer->finished_ = true;
            return forwarder.error().in("cannot start the thread that sends the records");
        }
        writer->forwarder_ = std::move(*forwarder);
        return std::unique_ptr<RecordWriter>(std::move(writer));
    }

    ~PostgresWriter() override {
        const std::string left = finish();
        if (!left.empty()) {
            notes_.say(left);
        }
    }

    base::Status append(const DeviceRecord &record) override {
        const std::string line = record_json_line(record);
        // The database gets what the spool holds, now or after a restart: a name that is no
        // UTF-8 reaches it as the line has it.
        base::Result<DeviceRecord> as_spooled = record_from_json_line(line);
        std::unique_lock<std::mutex> lock(mutex_);
        const base::Status spooled = spool_->append(line);
        const uint64_t seq = ++sequence_;
        pending_.push_back(Pending{as_spooled.ok() ? std::move(*as_spooled) : record, seq,
                                   env().now(), spooled.ok()});
        wake_.notify_all();
        if (spooled.ok()) {
            return {};
        }
        return wait_for_commit(lock, seq, spooled.error());
    }

    unsigned waiting() const override {
        const std::lock_guard<std::mutex> lock(mutex_);
        return away_ ? static_cast<unsigned>(leftovers_waiting_ + pending_.size()) : 0;
    }

    void set_notes(RecordNotes notes) override { notes_.set(std::move(notes)); }

    // Asked over a connection of its own: the forwarding thread's may be in the middle of a
    // batch. This run's records not yet sent count too; a database away is an error.
    base::Result<BoardHistory> board_history(const std::string &serial) override {
        base::Result<BoardHistory> h = BoardHistory{};
        {
            const std::lock_guard<std::mutex> lock(reader_mutex_);
            if (!reader_) {
                reader_ = std::make_unique<PostgresLink>(uri_);
            }
            if (base::Status reached = reader_->connect(false); !reached.ok()) {
                return Error(reached.code(), "the database " + shown_ +
                                                 " cannot be reached to read the board's "
                                                 "records: " +
                                                 reached.message());
            }
            h = postgres_board_history(*reader_, serial);
        }
        if (!h.ok()) {
            return h;
        }
        const std::lock_guard<std::mutex> lock(mutex_);
        for (const Pending &p : pending_) {
            if (p.record.serial == serial && p.record.outcome == "success") {
                h->succeeded = true;
                h->highest_counter = std::max(h->highest_counter, p.record.security_counter);
                h->firmware_version = p.record.firmware_version;
                if (!p.record.units.empty()) {
                    h->units = p.record.units;
                }
            }
        }
        return h;
    }

    // The server's count and this station's successes that have not reached it yet.
    base::Result<uint64_t> job_successes(const std::string &job) override {
        base::Result<uint64_t> done = uint64_t{0};
        {
            const std::lock_guard<std::mutex> lock(reader_mutex_);
            if (!reader_) {
                reader_ = std::make_unique<PostgresLink>(uri_);
            }
            if (base::Status reached = reader_->connect(false); !reached.ok()) {
                return Error(reached.code(), "the database " + shown_ +
                                                 " cannot be reached to count the job's boards: " +
                                                 reached.message());
            }
            done = postgres_job_successes(*reader_, job);
        }
        if (!done.ok()) {
            return done;
        }
        const std::lock_guard<std::mutex> lock(mutex_);
        for (const Pending &p : pending_) {
            if (p.record.job == job && p.record.outcome == "success") {
                ++*done;
            }
        }
        return done;
    }

    // Over a connection of their own, so that a block of values never waits behind a batch of
    // records or a board's history.
    base::Result<std::vector<uint64_t>> reserve_units(const UnitSeries &series, size_t count,
                                                      const std::string &station) override {
        const std::lock_guard<std::mutex> lock(units_mutex_);
        if (base::Status reached = reach_units("reserve unit values"); !reached.ok()) {
            return reached.error();
        }
        base::Result<std::vector<uint64_t>> taken =
            postgres_reserve_units(*units_, series, count, station, marks_);
        if (!taken.ok()) {
            return units_failed("reserve unit values", taken.error());
        }
        return taken;
    }

    base::Status return_units(const std::string &field, const std::vector<uint64_t> &numbers,
                              const std::string &station) override {
        const std::lock_guard<std::mutex> lock(units_mutex_);
        marks_.rewind(field);
        if (numbers.empty()) {
            return {};
        }
        if (base::Status reached = reach_units("give back unit values"); !reached.ok()) {
            return reached;
        }
        if (base::Status returned = postgres_return_units(*units_, field, numbers, station);
            !returned.ok()) {
            return units_failed("give back unit values", returned.error());
        }
        return {};
    }

    base::Result<std::optional<uint64_t>> next_free_unit(const UnitSeries &series) override {
        const std::lock_guard<std::mutex> lock(units_mutex_);
        if (base::Status reached = reach_units("look up unit values"); !reached.ok()) {
            return reached.error();
        }
        base::Result<std::optional<uint64_t>> next = postgres_next_free_unit(*units_, series);
        if (!next.ok()) {
            return units_failed("look up unit values", next.error());
        }
        return next;
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
        const size_t left = leftovers_waiting_ + pending_.size();
        if (left == 0) {
            return "";
        }
        return "hidiap: --record: " + records_word(left) + " waiting for the database " + shown_ +
               " in '" + spool_->path() + "'; the next run with this database sends them first\n";
    }

  private:
    struct Pending {
        DeviceRecord record;
        uint64_t seq;
        SteadyTime kept;
        bool spooled;
    };
    struct Batch {
        bool leftovers = false;  // from the spool files of earlier runs, else this run's
        std::vector<DeviceRecord> records;
    };

    PostgresWriter(std::unique_ptr<PostgresLink> link, std::unique_ptr<RecordSpool> spool,
                   bool table_checked, RecordNotes notes, bool timing_report)
        : link_(std::move(link)),
          spool_(std::move(spool)),
          shown_(link_->shown()),
          table_checked_(table_checked),
          started_(env().now()),
          leftovers_waiting_(spool_->leftovers()),
          away_(!link_->connected()),
          notes_(std::move(notes)),
          timing_report_(timing_report) {
        if (leftovers_waiting_ > 0) {
            notes_.say("hidiap: --record: " + records_word(leftovers_waiting_) +
                       " left by an earlier run go to the database first\n");
        }
    }

    // The unit values' connection, made when missing (the mutex held).
    base::Status reach_units(const char *what) {
        if (!units_) {
            units_ = std::make_unique<PostgresLink>(uri_);
        }
        if (base::Status reached = units_->connect(false); !reached.ok()) {
            return Error(reached.code(), "the database " + shown_ + " cannot be reached to " +
                                             what + ": " + reached.message());
        }
        return {};
    }

    // A connection lost in the middle says which database and what was being done.
    Error units_failed(const char *what, const Error &why) const {
        if (why.code() != ErrorCode::Unavailable) {
            return why;
        }
        return Error(why.code(), "the database " + shown_ + " cannot be reached to " + what + ": " +
                                     why.message());
    }

    // A record only the database can keep: it is durable once committed there.
    base::Status wait_for_commit(std::unique_lock<std::mutex> &lock, uint64_t seq,
                                 const Error &why) {
        const bool committed =
            committed_.wait_for(lock, kUnspooledLimit, [&] { return done_through_ >= seq; });
        const bool lost = std::find(unkept_.begin(), unkept_.end(), seq) != unkept_.end();
        if (committed && !lost) {
            return {};
        }
        // Withdrawn unless it is on its way: then it may still arrive, but its board has failed.
        const auto it = std::find_if(pending_.begin(), pending_.end(),
                                     [seq](const Pending &p) { return p.seq == seq; });
        if (it != pending_.end() && it - pending_.begin() >= static_cast<long>(in_flight_)) {
            pending_.erase(it);
        }
        return Error(why.code(), "the spool '" + spool_->path() + "' did not take it (" +
                                     why.message() + ") and the database did not either");
    }

    // The forwarding thread: batch after batch, until the run is over.
    void forward() {
        Batch batch;
        while (next_batch(batch)) {
            if (!settle(batch, deliver(batch.records))) {
                return;
            }
        }
    }

    // Waits for something to send (and for the pause after a failure to pass); false when the
    // run is over and nothing is left, or the last attempt failed.
    bool next_batch(Batch &batch) {
        refill_leftovers();
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            const bool work = !leftover_batch_.empty() || !pending_.empty();
            if (!work && finishing_) {
                return false;
            }
            if (work && (finishing_ || env().now() >= next_try_)) {
                break;
            }
            wake_.wait_until(lock, work ? next_try_ : env().now() + kIdleLook);
        }
        batch.leftovers = !leftover_batch_.empty();
        if (batch.leftovers) {
            batch.records = leftover_batch_;
            return true;
        }
        batch.records.clear();
        for (size_t i = 0; i < std::min(kBatch, pending_.size()); i++) {
            batch.records.push_back(pending_[i].record);
        }
        in_flight_ = batch.records.size();
        return true;
    }

    // The next leftovers, read from the spool files without the writer's lock.
    void refill_leftovers() {
        if (!leftover_batch_.empty() || spool_->leftovers() == 0) {
            return;
        }
        base::Result<std::vector<DeviceRecord>> taken = spool_->take_leftovers(kBatch);
        if (!taken.ok()) {
            notes_.say("hidiap: --record: " + taken.message() +
                       ": what it holds stays there for the next run\n");
        }
        const std::lock_guard<std::mutex> lock(mutex_);
        if (taken.ok()) {
            leftover_batch_ = std::move(*taken);
        }
        leftovers_waiting_ = spool_->leftovers() + leftover_batch_.size();
    }

    // Connects, checks the table once, and stores the records. `content`: the server refused
    // one of them for what it holds.
    base::Status send(const std::vector<DeviceRecord> &records, bool &content) {
        content = false;
        if (base::Status reached = link_->connect(false); !reached.ok()) {
            return reached;
        }
        if (!table_checked_) {
            if (base::Status checked = check_records_table(*link_); !checked.ok()) {
                return checked;
            }
            table_checked_ = true;
        }
        base::Status inserted = insert_records(*link_, records);
        content = !inserted.ok() && inserted.code() == ErrorCode::InvalidInput;
        return inserted;
    }

    // Hands the records to the database; when it refuses one for its content, each goes on its
    // own to find which, and those are set aside. Without the writer's lock.
    Delivery deliver(const std::vector<DeviceRecord> &records) {
        Delivery d;
        bool content = false;
        const base::Status sent = send(records, content);
        if (sent.ok()) {
            d.handled = records.size();
            return d;
        }
        if (!content) {
            d.away = sent.error();
            return d;
        }
        for (size_t i = 0; i < records.size(); i++) {
            const base::Status one = records.size() == 1 ? sent : send({records[i]}, content);
            if (!one.ok() && !content) {
                d.away = one.error();
                return d;
            }
            if (!one.ok()) {
                set_aside(records[i], one.error(), i, d);
            }
            d.handled++;
        }
        return d;
    }

    void set_aside(const DeviceRecord &record, const Error &why, size_t index, Delivery &d) {
        d.refused.push_back(index);
        const std::string refused = "hidiap: --record: the database " + shown_ +
                                    " refused the record " + record.id + " of " + board_of(record) +
                                    " for what it holds (" + why.message() + ")";
        const base::Status kept = spool_->set_aside(record_json_line(record));
        if (kept.ok()) {
            d.notes.push_back(refused + ": it is set aside in '" + spool_->refused_path() +
                              "', and the records after it go on\n");
            return;
        }
        d.lost.push_back(index);
        d.notes.push_back(refused + ", and it cannot be set aside in '" + spool_->refused_path() +
                          "' (" + kept.message() + "): it stays in the spool '" + spool_->path() +
                          "' for the next run\n");
    }

    // What a delivery changes, under the lock; its notes said after. False when the run is over
    // and the last attempt failed.
    bool settle(const Batch &batch, Delivery d) {
        std::vector<std::string> notes = std::move(d.notes);
        bool go_on = true;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (d.handled > 0) {
                take_off(batch, d, notes);
            }
            if (d.away) {
                go_on = note_away(*d.away, notes);
            } else {
                pause_ = kFirstPause;
                next_try_ = env().now();
            }
            in_flight_ = 0;
        }
        for (const std::string &line : notes) {
            notes_.say(line);
        }
        return go_on;
    }

    // The batch's handled records leave the queue (and the spool, once nothing is left).
    void take_off(const Batch &batch, const Delivery &d, std::vector<std::string> &notes) {
        if (timing_report_) {
            notes.push_back(commit_times(batch, d));
        }
        if (batch.leftovers) {
            keep_spool_ = keep_spool_ || !d.lost.empty();
            leftover_batch_.erase(leftover_batch_.begin(),
                                  leftover_batch_.begin() + static_cast<long>(d.handled));
            leftovers_waiting_ -= std::min(leftovers_waiting_, d.handled);
        } else {
            for (const size_t i : d.lost) {
                // A spooled record stays in the spool; one that is nowhere fails its board.
                if (pending_[i].spooled) {
                    keep_spool_ = true;
                } else {
                    unkept_.push_back(pending_[i].seq);
                }
            }
            done_through_ = pending_[d.handled - 1].seq;
            pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(d.handled));
        }
        committed_.notify_all();
        if (away_) {
            sent_while_away_ += d.handled;
        }
        if (!leftover_batch_.empty() || leftovers_waiting_ > 0 || !pending_.empty()) {
            return;
        }
        if (!keep_spool_) {
            if (base::Status cleared = spool_->clear(); !cleared.ok()) {
                notes.push_back("hidiap: --record: " + cleared.message() + "\n");
            }
        }
        if (away_) {
            away_ = false;
            notes.push_back("hidiap: --record: the database " + shown_ + " took the " +
                            records_word(sent_while_away_) + " that waited\n");
            sent_while_away_ = 0;
        }
    }

    bool note_away(const Error &why, std::vector<std::string> &notes) {
        if (!away_) {
            away_ = true;
            notes.push_back("hidiap: --record: the database " + shown_ + " is away (" +
                            why.message() + "); boards go on, their records wait in '" +
                            spool_->path() + "'\n");
        }
        if (finishing_) {
            return false;
        }
        next_try_ = env().now() + pause_;
        pause_ = std::min(pause_ * 2, kLongestPause);
        return true;
    }

    // How long each stored record of the batch took from being kept to being committed.
    std::string commit_times(const Batch &batch, const Delivery &d) const {
        const SteadyTime now = env().now();
        std::string lines;
        for (size_t i = 0; i < d.handled; i++) {
            if (std::find(d.refused.begin(), d.refused.end(), i) != d.refused.end()) {
                continue;
            }
            const SteadyTime kept = batch.leftovers ? started_ : pending_[i].kept;
            lines += base::format(
                "hidiap: [%s] record timing: kept to committed in the database %.3f ms\n",
                board_of(batch.records[i]).c_str(),
                std::chrono::duration<double, std::milli>(now - kept).count());
        }
        return lines;
    }

    const std::unique_ptr<PostgresLink> link_;  // the forwarding thread's alone
    const std::unique_ptr<RecordSpool> spool_;
    const std::string shown_;
    bool table_checked_;  // the forwarding thread's alone
    const SteadyTime started_;
    std::vector<DeviceRecord> leftover_batch_;  // written by the forwarding thread only

    mutable std::mutex mutex_;
    Signal wake_;                  // a record, or the finish, for the forwarder
    Signal committed_;             // records stored, for an append that waits
    std::deque<Pending> pending_;  // this run's records not yet in the database; oldest first
    size_t leftovers_waiting_;     // earlier runs' records not yet in the database
    uint64_t sequence_ = 0;
    uint64_t done_through_ = 0;     // every record of this run up to this one is stored
    std::vector<uint64_t> unkept_;  // records that are neither stored nor on disk
    size_t in_flight_ = 0;          // the first records of pending_ the forwarder is storing
    bool away_;
    bool keep_spool_ = false;  // a refused record could not be set aside: the spool keeps it
    bool finishing_ = false;
    bool finished_ = false;
    size_t sent_while_away_ = 0;
    SteadyTime next_try_{};
    std::chrono::milliseconds pause_ = kFirstPause;
    WriterNotes notes_;
    const bool timing_report_;
    Thread forwarder_;
    std::string uri_;
    std::mutex reader_mutex_;
    std::unique_ptr<PostgresLink> reader_;  // board_history's own connection
    std::mutex units_mutex_;
    std::unique_ptr<PostgresLink> units_;  // the unit values' own connection
    ListMarks marks_;
};

}  // namespace

base::Result<std::unique_ptr<RecordWriter>> open_postgres_writer(
    const RecordDestination &destination) {
    auto link = std::make_unique<PostgresLink>(destination.target);
    const RecordNotes notes = destination.notes ? destination.notes : RecordNotes(say_on_stderr);
    if (base::Status formed = link->well_formed(); !formed.ok()) {
        return Error(ErrorCode::InvalidInput, "not a usable database URI: " + formed.message());
    }
    base::Result<std::unique_ptr<RecordSpool>> spool =
        RecordSpool::open(destination.spool_file, database_key(link->identity()), notes);
    if (!spool.ok()) {
        return spool.error();
    }
    const base::Status reached = link->connect();
    if (!reached.ok() && reached.code() != ErrorCode::Unavailable) {
        return reached.error();
    }
    if (!reached.ok()) {
        notes("hidiap: --record: the database " + link->shown() + " cannot be reached (" +
              reached.message() + "); boards are updated and their records wait in '" +
              (*spool)->path() + "' until it can\n");
    } else if (base::Status checked = check_records_table(*link); !checked.ok()) {
        return checked.error();
    }
    return PostgresWriter::start(std::move(link), std::move(*spool), reached.ok(), notes,
                                 destination.timing_report, destination.target);
}

}  // namespace host
