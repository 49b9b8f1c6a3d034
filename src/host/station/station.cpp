#include "host/station/station.h"

#include <algorithm>
#include <cstdio>
#include <list>
#include <mutex>
#include <set>

#include "base/text.h"
#include "console/console.h"
#include "host/platform/env.h"
#include "host/platform/sleep_hold.h"
#include "host/present/json_events.h"
#include "host/update/tagged_console.h"

namespace host {

namespace {

using Clock = std::chrono::steady_clock;

bool chosen(const DeviceQuery &query, const DeviceInfo &d) {
    if (query.serials.empty() && query.paths.empty()) {
        return true;
    }
    return std::find(query.serials.begin(), query.serials.end(), d.serial) != query.serials.end() ||
           std::find(query.paths.begin(), query.paths.end(), d.path) != query.paths.end();
}

// A board's events: to its JSON emitter, and its phase and bytes to the status block.
class BoardEvents : public RunEvents {
  public:
    BoardEvents(JsonEvents *json, StationStatus &status, std::string tag,
                const std::vector<StationObserver *> &observers)
        : json_(json), status_(status), tag_(std::move(tag)), observers_(observers) {}

    // When the board's first report was on its way (its first phase) and when its last event came.
    Clock::time_point first_report() {
        std::lock_guard<std::mutex> lock(mutex_);
        return first_report_;
    }
    Clock::time_point last_event() {
        std::lock_guard<std::mutex> lock(mutex_);
        return last_event_;
    }

    void device(const DeviceInfo &d) override {
        pass([&](RunEvents &e) { e.device(d); });
    }
    void plan(const UpdatePlan &p) override {
        pass([&](RunEvents &e) { e.plan(p); });
    }
    void phase(const char *phase, const char *file) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (first_report_ == Clock::time_point{}) {
                first_report_ = env().now();
            }
        }
        pass([&](RunEvents &e) { e.phase(phase, file); });
        status_.board_phase(tag_, phase, file);
        for (StationObserver *o : observers_) {
            o->board_phase(tag_, phase);
        }
    }
    void erase(uint32_t a) override {
        pass([&](RunEvents &e) { e.erase(a); });
    }
    void progress(uint64_t done, uint64_t total) override {
        pass([&](RunEvents &e) { e.progress(done, total); });
        status_.board_progress(tag_, done, total);
        for (StationObserver *o : observers_) {
            o->board_progress(tag_, done, total);
        }
    }
    void check(const RangeCheck &c) override {
        pass([&](RunEvents &e) { e.check(c); });
    }
    void survey(unsigned r, uint32_t a, unsigned s, unsigned u) override {
        pass([&](RunEvents &e) { e.survey(r, a, s, u); });
    }
    void device_error(uint8_t c, uint8_t code) override {
        pass([&](RunEvents &e) { e.device_error(c, code); });
    }
    void resend(const char *step, uint32_t a, unsigned n) override {
        pass([&](RunEvents &e) { e.resend(step, a, n); });
    }
    void outcome(const RunReport &r) override {
        pass([&](RunEvents &e) { e.outcome(r); });
    }

  private:
    template <typename F>
    void pass(F f) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            last_event_ = env().now();
        }
        if (json_ != nullptr) {
            f(*json_);
        }
    }

    JsonEvents *json_;
    StationStatus &status_;
    const std::string tag_;
    const std::vector<StationObserver *> &observers_;
    std::mutex mutex_;
    Clock::time_point first_report_{};
    Clock::time_point last_event_{};
};

}  // namespace

std::string station_totals_line(const StationTotals &t, double seconds) {
    return base::format(
        "hidiap: station: %u updated, %u current, %u failed%s, %.0f boards per hour\n", t.updated,
        t.current, t.failed,
        t.interrupted == 0 ? "" : base::format(", %u interrupted", t.interrupted).c_str(),
        boards_per_hour(t.updated, seconds));
}

class Station::Impl {
  public:
    void note(const std::string &text) { status_.note(text); }
    Impl(DeviceCatalog &catalog, const Layout &layout, const UpdatePlan &plan, StationSetup setup)
        : catalog_(catalog),
          layout_(layout),
          plan_(plan),
          setup_(std::move(setup)),
          status_(
              setup_.settings.out ? setup_.settings.out : TaggedConsole::Sink(console_stdout_sink),
              setup_.settings.err ? setup_.settings.err : TaggedConsole::Sink(write_stderr),
              setup_.status_block && !setup_.json, setup_.columns) {
        if (!setup_.json) {
            console_ = std::make_unique<TaggedConsole>(
                [this](std::string_view text) { status_.write_above(text); });
            console_->install();
        }
        if (setup_.json) {
            json_ = std::make_unique<JsonEvents>(stdout);
        }
    }

    ~Impl() {
        if (console_) {
            console_->uninstall();
        }
        status_.close();
    }

    std::vector<DeviceResult> run();
    StationTotals totals() {
        std::lock_guard<std::mutex> lock(mutex_);
        return totals_;
    }
    double seconds() const { return std::chrono::duration<double>(ended_ - started_).count(); }

  private:
    struct Board {
        DeviceInfo info;
        std::string tag;
        Clock::time_point appeared{};  // when an enumeration first listed it
        std::unique_ptr<Transport> transport;
        Thread thread;
        bool ended = false;  // guarded by mutex_
    };

    void poll_catalog();
    void start_board(const DeviceInfo &info, std::unique_ptr<Transport> transport,
                     Clock::time_point appeared);
    struct BoardRun;
    void handle(Board &board);
    std::vector<DeviceResult> check_stage(BoardRun &run);
    std::vector<DeviceResult> update_stage(BoardRun &run);
    void keep(BoardRun &run, const DeviceInfo &info, RunReport &report);
    void note_timing(BoardRun &run);
    void tally(BoardRun &run, std::vector<DeviceResult> &results);
    UpdateSettings stage_settings(bool verify);
    void reap_locked(std::unique_lock<std::mutex> &lock);
    template <typename F>
    void tell(F f) {
        for (StationObserver *o : setup_.observers) {
            f(*o);
        }
    }
    double board_seconds(const Board &board) const {
        return std::chrono::duration<double>(env().now() - board.appeared).count();
    }
    bool needs_more_locked() const {
        if (setup_.job_allowed != 0 && setup_.job_done() + in_progress_ >= setup_.job_allowed) {
            return false;
        }
        return setup_.count == 0 || totals_.handled() + in_progress_ < setup_.count;
    }

    DeviceCatalog &catalog_;
    const Layout &layout_;
    const UpdatePlan plan_;
    const StationSetup setup_;
    StationStatus status_;
    std::unique_ptr<TaggedConsole> console_;
    std::unique_ptr<JsonEvents> json_;
    Clock::time_point started_{};
    Clock::time_point ended_{};
    unsigned boards_seen_ = 0;
    // Shared by the main thread and the boards' threads.
    std::mutex mutex_;
    Signal board_ended_;
    std::list<Board> boards_;  // in progress, or ended and not yet joined
    unsigned in_progress_ = 0;
    std::set<std::string> handled_paths_;  // handled and still plugged in: not again until gone
    std::set<std::string> done_serials_;   // updated or found current in this run
    std::set<std::string> refused_paths_;  // could not be opened: said once
    StationTotals totals_;
    std::vector<DeviceResult> results_;
};

// One board's way through the station: its presenters, what its check found, and when its record
// became durable.
struct Station::Impl::BoardRun {
    BoardRun(Impl &station, Board &board);
    Board &board;
    std::unique_ptr<JsonEvents> json;  // --json: the board's own emitter, its tag in every event
    BoardEvents events;
    const std::vector<UpdateDevice> device;
    bool already_done = false;        // back after its reboot: its serial was done in this run
    bool differs = false;             // the check found it differs: it is updated
    Clock::time_point last_answer{};  // the board's last event before its record was kept
    Clock::time_point durable{};      // when its record was kept
};

UpdateSettings Station::Impl::stage_settings(bool verify) {
    UpdateSettings s = setup_.settings;
    s.verify = verify;
    s.own_records = true;
    s.shared_console = console_.get();
    s.show_progress = false;
    s.out = [this](std::string_view text) { status_.write_above(text); };
    s.err = [this](std::string_view text) { status_.note(text); };
    s.failed_hint = "; re-plug the board to retry";
    const std::function<int()> status = setup_.interrupt_status;
    const std::function<int()> requests = setup_.interrupt_requests;
    // The first request only stops new boards; the second interrupts the boards in progress.
    s.interrupt_status = [status, requests] {
        return status && requests && requests() >= 2 ? status() : 0;
    };
    return s;
}

std::vector<DeviceResult> Station::Impl::run() {
    started_ = env().now();
    status_.show();
    bool taking = true;
    bool watching = false;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        reap_locked(lock);
        tell([&](StationObserver &o) { o.turn(totals_, in_progress_); });
        if (setup_.records_waiting) {
            status_.records_waiting(setup_.records_waiting());
        }
        if (taking && setup_.interrupt_status && setup_.interrupt_status() != 0) {
            taking = false;
            const unsigned busy = in_progress_;
            lock.unlock();
            note(
                base::format("hidiap: station stopping: no new boards; %u in progress will finish "
                             "(Ctrl-C again interrupts them)\n",
                             busy));
            lock.lock();
            tell([&](StationObserver &o) { o.stopping(in_progress_); });
        }
        if (taking && ((setup_.count != 0 && totals_.handled() >= setup_.count) ||
                       (setup_.job_allowed != 0 && in_progress_ == 0 &&
                        setup_.job_done() >= setup_.job_allowed))) {
            taking = false;
            tell([&](StationObserver &o) { o.stopping(in_progress_); });
        }
        if (!taking && in_progress_ == 0) {
            break;
        }
        if (taking) {
            lock.unlock();
            poll_catalog();
            lock.lock();
            if (!watching) {
                watching = true;
                tell([&](StationObserver &o) { o.watching(totals_); });
            }
        }
        // A board's end wakes the loop at once (a further board may now be needed); otherwise
        // the next look is one poll period away.
        board_ended_.wait_for(lock, setup_.poll);
    }
    reap_locked(lock);
    ended_ = env().now();
    if (json_) {
        const double s = seconds();
        json_->emit("station", {{"event", "totals"},
                                {"updated", totals_.updated},
                                {"current", totals_.current},
                                {"failed", totals_.failed},
                                {"interrupted", totals_.interrupted},
                                {"boards_per_hour", boards_per_hour(totals_.updated, s)}});
    }
    return results_;
}

void Station::Impl::reap_locked(std::unique_lock<std::mutex> &lock) {
    for (auto it = boards_.begin(); it != boards_.end();) {
        if (!it->ended) {
            ++it;
            continue;
        }
        // Joined before it is forgotten: its thread still returns through it.
        Thread thread = std::move(it->thread);
        lock.unlock();
        thread.join();
        lock.lock();
        it = boards_.erase(it);
    }
}

void Station::Impl::poll_catalog() {
    const std::vector<DeviceInfo> present =
        catalog_.enumerate(setup_.query.vendor_id, setup_.query.product_id);
    const Clock::time_point listed = env().now();
    std::lock_guard<std::mutex> lock(mutex_);
    // A handled board that left may be handled again when it comes back, once its run is over.
    for (auto it = handled_paths_.begin(); it != handled_paths_.end();) {
        const bool still = std::any_of(present.begin(), present.end(),
                                       [&](const DeviceInfo &d) { return d.path == *it; }) ||
                           std::any_of(boards_.begin(), boards_.end(), [&](const Board &b) {
                               return !b.ended && b.info.path == *it;
                           });
        it = still ? std::next(it) : handled_paths_.erase(it);
    }
    for (const DeviceInfo &d : present) {
        if (!chosen(setup_.query, d) || handled_paths_.count(d.path) != 0) {
            continue;
        }
        // A board back on the bus while its serial's run still winds down waits for its end:
        // only then is it known whether that serial is done.
        const bool same_serial_busy =
            !d.serial.empty() && std::any_of(boards_.begin(), boards_.end(), [&](const Board &b) {
                return !b.ended && b.info.serial == d.serial;
            });
        if (same_serial_busy) {
            continue;
        }
        if (!needs_more_locked()) {
            return;  // a further board waits until one in progress ends
        }
        std::unique_ptr<Transport> transport = catalog_.open(d);
        if (!transport) {
            if (refused_paths_.insert(d.path).second) {
                note("hidiap: station: cannot open " + d.path + ": " + catalog_.open_error() +
                     "; trying again\n");
            }
            continue;
        }
        refused_paths_.erase(d.path);
        handled_paths_.insert(d.path);
        start_board(d, std::move(transport), listed);
    }
}

// Called with mutex_ held.
void Station::Impl::start_board(const DeviceInfo &info, std::unique_ptr<Transport> transport,
                                Clock::time_point appeared) {
    boards_seen_++;
    std::string tag = info.serial;
    const bool taken = std::any_of(boards_.begin(), boards_.end(),
                                   [&](const Board &b) { return !b.ended && b.tag == tag; });
    if (tag.empty() || taken) {
        tag = std::to_string(boards_seen_) + ":" + info.path;
    }
    boards_.emplace_back();
    Board &board = boards_.back();
    board.info = info;
    board.tag = tag;
    board.transport = std::move(transport);
    board.appeared = appeared;
    in_progress_++;
    status_.board_started(tag);
    tell([&](StationObserver &o) { o.board_started(tag, info); });
    base::Result<Thread> thread = Thread::start([this, &board] { handle(board); });
    if (thread.ok()) {
        board.thread = std::move(*thread);
        return;
    }
    // No thread for it: the board is left as it is and tried again once it is plugged in anew.
    note("hidiap: station: cannot handle " + board.info.path + " now: " + thread.message() + "\n");
    status_.board_ended(tag, "not handled: " + thread.message(), totals_);
    tell([&](StationObserver &o) {
        o.board_ended(tag, false, Status::Failed, "not handled", board_seconds(board), totals_);
    });
    in_progress_--;
    board.ended = true;
}

Station::Impl::BoardRun::BoardRun(Impl &station, Board &b)
    : board(b),
      json(station.setup_.json ? std::make_unique<JsonEvents>(stdout, b.tag) : nullptr),
      events(json.get(), station.status_, b.tag, station.setup_.observers),
      device{{b.transport.get(), b.info, &events, b.tag}} {}

void Station::Impl::handle(Board &board) {
    const SleepHold awake;  // from its check to its record, not only each stage
    BoardRun run(*this, board);
    if (run.json) {
        run.json->emit(
            "station",
            {{"event", "seen"}, {"path", board.info.path}, {"serial", board.info.serial}});
    }
    std::vector<DeviceResult> results = check_stage(run);
    if (run.differs) {
        results = update_stage(run);
    }
    board.transport.reset();
    note_timing(run);
    tally(run, results);
    std::lock_guard<std::mutex> lock(mutex_);
    in_progress_--;
    board.ended = true;
    board_ended_.notify_all();
}

// First the check: nothing is written to a board that already holds the files, and a board
// back after its reboot is recognised by its serial number.
std::vector<DeviceResult> Station::Impl::check_stage(BoardRun &run) {
    UpdateSettings verify = stage_settings(true);
    verify.settle = [this, &run](const DeviceInfo &info, RunReport &report) {
        if (report.status == Status::Current && !info.serial.empty()) {
            std::lock_guard<std::mutex> lock(mutex_);
            run.already_done = done_serials_.count(info.serial) != 0;
        }
        if (run.already_done) {
            return false;
        }
        if (report.cause == Cause::Differs && !setup_.verify_only) {
            run.differs = true;
            return false;
        }
        keep(run, info, report);
        return true;
    };
    UpdateRun check(run.device, layout_, verify);
    check.announce();
    return check.run(plan_);
}

std::vector<DeviceResult> Station::Impl::update_stage(BoardRun &run) {
    UpdateSettings program = stage_settings(false);
    program.settle = [this, &run](const DeviceInfo &info, RunReport &report) {
        keep(run, info, report);
        return true;
    };
    UpdateRun update(run.device, layout_, program);
    return update.run(plan_);
}

// The board's report is its result: its record is kept (which may fail it) and, once durable,
// its serial number counts as done.
void Station::Impl::keep(BoardRun &run, const DeviceInfo &info, RunReport &report) {
    run.last_answer = run.events.last_event();
    if (setup_.keep_record) {
        setup_.keep_record(info, report);
    }
    run.durable = env().now();
    // Done from now on: the board may be back on the bus before this run has wound down.
    if (report.succeeded() && !info.serial.empty()) {
        std::lock_guard<std::mutex> lock(mutex_);
        done_serials_.insert(info.serial);
    }
}

// --timing-report: the station's own cost after the board's last answer, from its last event
// (the answer that made it, or the one before) to its record being durable.
void Station::Impl::note_timing(BoardRun &run) {
    if (!setup_.settings.timing_report || run.durable == Clock::time_point{}) {
        return;
    }
    using ms = std::chrono::duration<double, std::milli>;
    const Board &board = run.board;
    note(
        base::format("hidiap: [%s] station timing: seen to first report %.3f ms, last event to "
                     "record durable %.3f ms, board %.3f s\n",
                     board.tag.c_str(), ms(run.events.first_report() - board.appeared).count(),
                     ms(run.durable - run.last_answer).count(),
                     std::chrono::duration<double>(run.durable - board.appeared).count()));
}

// The board's result into the totals and the results, and onto the status block.
void Station::Impl::tally(BoardRun &run, std::vector<DeviceResult> &results) {
    const Board &board = run.board;
    if (run.already_done) {
        note("hidiap: [" + board.tag + "] already done in this station run (serial " +
             board.info.serial + ", verified current after its reboot); not counted again\n");
        if (run.json) {
            run.json->emit("station", {{"event", "already_done"}, {"serial", board.info.serial}});
        }
        const StationTotals now = totals();
        status_.board_ended(board.tag, "already done", now);
        tell([&](StationObserver &o) {
            o.board_ended(board.tag, false, Status::Current, "already done", board_seconds(board),
                          now);
        });
        return;
    }
    DeviceResult &r = results.front();
    r.tag = board.tag;
    StationTotals now;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        totals_.add(r.report.status);
        results_.push_back(r);
        now = totals_;
    }
    const std::string result = std::string(status_words(r.report.status).board) +
                               (r.succeeded() ? "" : ": " + r.report.reason + "; re-plug to retry");
    status_.board_ended(board.tag, result, now);
    tell([&](StationObserver &o) {
        o.board_ended(board.tag, true, r.report.status, result, board_seconds(board), now);
    });
}

Station::Station(DeviceCatalog &catalog, const Layout &layout, const UpdatePlan &plan,
                 StationSetup setup)
    : impl_(std::make_unique<Impl>(catalog, layout, plan, std::move(setup))) {}

Station::~Station() = default;

std::vector<DeviceResult> Station::run() {
    return impl_->run();
}

StationTotals Station::totals() const {
    return impl_->totals();
}

double Station::seconds() const {
    return impl_->seconds();
}

void Station::note(const std::string &text) {
    impl_->note(text);
}

}  // namespace host
