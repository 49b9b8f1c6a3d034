#include "host/station/station.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <list>
#include <map>
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
    if (query.serials.empty() && query.paths.empty() && query.ports.empty()) {
        return true;
    }
    return std::find(query.serials.begin(), query.serials.end(), d.serial) != query.serials.end() ||
           std::find(query.paths.begin(), query.paths.end(), d.path) != query.paths.end() ||
           (!d.port.empty() &&
            std::find(query.ports.begin(), query.ports.end(), d.port) != query.ports.end());
}

// A board's events: to its JSON emitter, and its phase and bytes to the panel.
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

    // Unit values: from now on, whether the image's writing reached the page at OFFSET of the
    // image's range (the first that holds a field), or went past the image's writing.
    void watch_field_page(uint32_t offset) {
        std::lock_guard<std::mutex> lock(mutex_);
        field_page_ = offset;
        field_sent_ = false;
        writing_image_ = false;
    }
    bool field_page_sent() {
        std::lock_guard<std::mutex> lock(mutex_);
        return field_sent_;
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
            // The page at the range's acknowledged offset is the one being sent; pages go in
            // order, and every phase after the image's writing comes after its last page.
            const bool image = std::strcmp(file, "image") == 0;
            if (image && std::strcmp(phase, "write") == 0) {
                writing_image_ = true;
                field_sent_ = field_sent_ || done_ >= field_page_;
            } else if (writing_image_ && (!image || std::strcmp(phase, "erase") != 0)) {
                field_sent_ = true;
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
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = done;
            field_sent_ = field_sent_ || (writing_image_ && done >= field_page_);
        }
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
    uint64_t done_ = 0;           // the last progress: bytes of the ranges acknowledged
    uint64_t field_page_ = 0;     // offset of the first page holding a unit field
    bool writing_image_ = false;  // the image's writing began
    bool field_sent_ = false;     // that page may have reached the board
};

}  // namespace

namespace {

// The panel's word for a board's result.
const char *verdict_of(Status status) {
    switch (status) {
        case Status::Success:
            return "PASS";
        case Status::Current:
            return "CURRENT";
        case Status::Interrupted:
            return "INTERRUPTED";
        default:
            return "FAIL";
    }
}

}  // namespace

std::string station_totals_line(const StationTotals &t, double seconds) {
    return base::format(
        "hidiap: station: %u updated, %u current, %u failed%s%s, %.0f boards per hour\n", t.updated,
        t.current, t.failed,
        t.interrupted == 0 ? "" : base::format(", %u interrupted", t.interrupted).c_str(),
        t.hooks_failed == 0 ? "" : base::format(", %u result hooks failed", t.hooks_failed).c_str(),
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
              setup_.status_block && !setup_.json, setup_.columns, setup_.rows) {
        if (!setup_.json) {
            console_ = std::make_unique<TaggedConsole>(
                [this](std::string_view text) { board_line(text); });
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
    // A board's tagged line: into its log file when it has one, and onto standard output unless
    // the log takes it alone.
    void board_line(std::string_view text) {
        bool logged = false;
        if (text.size() > 2 && text[0] == '[') {
            const size_t end = text.find("] ");
            std::lock_guard<std::mutex> lock(logs_mutex_);
            const auto log = end == std::string_view::npos
                                 ? logs_.end()
                                 : logs_.find(std::string(text.substr(1, end - 1)));
            if (log != logs_.end()) {
                logged = log->second->append(text.substr(end + 2)).ok();
            }
        }
        if (!logged || !setup_.logs_only) {
            status_.write_above(text);
        }
    }
    StationTotals totals() {
        std::lock_guard<std::mutex> lock(mutex_);
        return totals_;
    }
    double seconds() const { return std::chrono::duration<double>(ended_ - started_).count(); }

  private:
    struct Board {
        DeviceInfo info;
        std::string tag;
        std::string slot;  // its slot's name; "" without a slot map
        std::string key;   // what it is known by while plugged in: its slot's port, or its path
        Clock::time_point appeared{};  // when an enumeration first listed it
        std::unique_ptr<Transport> transport;
        Thread thread;
        bool ended = false;  // guarded by mutex_
    };

    void poll_catalog();
    void start_board(const DeviceInfo &info, const Slot *slot, std::unique_ptr<Transport> transport,
                     Clock::time_point appeared);
    // What a present board is known by: its port with a slot map (its path may change when it
    // re-enumerates), else its path.
    std::string key_of(const DeviceInfo &d) const { return setup_.slots.empty() ? d.path : d.port; }
    struct BoardRun;
    void handle(Board &board);
    std::vector<DeviceResult> check_stage(BoardRun &run);
    std::vector<DeviceResult> unit_stages(BoardRun &run);
    void use_values(BoardRun &run, const BoardUnitValues &values);
    std::vector<DeviceResult> update_stage(BoardRun &run);
    void keep(BoardRun &run, const DeviceInfo &info, RunReport &report);
    void note_timing(BoardRun &run);
    void run_hook(BoardRun &run, const RunReport &report);
    std::string open_board_log(const Board &board);
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
        if (setup_.units != nullptr && setup_.units->used_up()) {
            return false;
        }
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
    std::set<std::string> handled_;       // keys handled and still plugged in: not until gone
    std::set<std::string> done_serials_;  // updated or found current in this run
    std::map<std::string, std::string>
        slot_done_;  // slot: the serial last updated or current there
    // Unit values of the boards done in this run, by slot (with a map) or serial: a board back
    // after its reboot is verified against its own.
    std::map<std::string, BoardUnitValues> done_values_;
    std::set<std::string> refused_;   // keys that could not be opened: said once
    std::set<std::string> unmapped_;  // ports in no slot: said once
    std::mutex logs_mutex_;
    std::map<std::string, std::unique_ptr<File>> logs_;  // by tag: the boards' open log files
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
    std::vector<UpdateDevice> device;
    std::optional<BoardUnitValues> values;  // its unit values, once it has them
    bool taken = false;                     // they came from the block, for this board
    bool give_back = false;           // no page holding them reached it: they go back to the block
    bool already_done = false;        // back after its reboot: its serial was done in this run
    bool differs = false;             // the check found it differs: it is updated
    std::string record_id;            // its record's, when one was kept
    bool hook_failed = false;         // its --on-result program failed
    std::string log_path;             // its log file; "" for none
    Clock::time_point last_answer{};  // the board's last event before its record was kept
    Clock::time_point durable{};      // when its record was kept
};

UpdateSettings Station::Impl::stage_settings(bool verify) {
    UpdateSettings s = setup_.settings;
    s.verify = verify;
    s.own_records = true;
    s.shared_console = console_.get();
    s.show_progress = false;
    s.out = [this](std::string_view text) { board_line(text); };
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
    if (!setup_.slots.empty()) {
        std::vector<std::string> names;
        for (const Slot &s : setup_.slots) {
            names.push_back(s.name);
        }
        status_.set_slots(names);
    }
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
        // Stopped by the operator, or by the values running out: no new boards, and the boards
        // in progress are said to finish.
        const char *why = nullptr;
        if (taking && setup_.interrupt_status && setup_.interrupt_status() != 0) {
            why = "no new boards; %u in progress will finish (Ctrl-C again interrupts them)";
        } else if (taking && setup_.units != nullptr && setup_.units->used_up()) {
            why = "the unit values are used up; %u in progress will finish";
        }
        if (why != nullptr) {
            taking = false;
            const unsigned busy = in_progress_;
            lock.unlock();
            note("hidiap: station stopping: " + base::format(why, busy) + "\n");
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
    for (auto it = handled_.begin(); it != handled_.end();) {
        const bool still = std::any_of(present.begin(), present.end(),
                                       [&](const DeviceInfo &d) { return key_of(d) == *it; }) ||
                           std::any_of(boards_.begin(), boards_.end(),
                                       [&](const Board &b) { return !b.ended && b.key == *it; });
        it = still ? std::next(it) : handled_.erase(it);
    }
    for (const DeviceInfo &d : present) {
        if (!chosen(setup_.query, d)) {
            continue;
        }
        const Slot *slot = nullptr;
        if (!setup_.slots.empty()) {
            slot = slot_on_port(setup_.slots, d.port);
            if (slot == nullptr) {
                const std::string port = d.port.empty() ? "an unknown port" : "port " + d.port;
                if (unmapped_.insert(d.port.empty() ? d.path : d.port).second) {
                    note("hidiap: station: " + describe_device(d) + " on " + port +
                         " is in no slot of the slot map; left alone\n");
                }
                continue;
            }
        }
        const std::string key = key_of(d);
        if (handled_.count(key) != 0) {
            continue;
        }
        // A board back on the bus while its run still winds down (in its slot, or of its serial)
        // waits for its end: only then is it known whether it is done.
        const bool busy = std::any_of(boards_.begin(), boards_.end(), [&](const Board &b) {
            return !b.ended && (slot != nullptr ? b.key == key
                                                : !d.serial.empty() && b.info.serial == d.serial);
        });
        if (busy) {
            continue;
        }
        if (!needs_more_locked()) {
            return;  // a further board waits until one in progress ends
        }
        std::unique_ptr<Transport> transport = catalog_.open(d);
        if (!transport) {
            if (refused_.insert(key).second) {
                note("hidiap: station: cannot open " + d.path + ": " + catalog_.open_error() +
                     "; trying again\n");
            }
            continue;
        }
        refused_.erase(key);
        handled_.insert(key);
        start_board(d, slot, std::move(transport), listed);
    }
}

// Called with mutex_ held.
void Station::Impl::start_board(const DeviceInfo &info, const Slot *slot,
                                std::unique_ptr<Transport> transport, Clock::time_point appeared) {
    boards_seen_++;
    // A slot's name is what the operator sees on the fixture, and no two boards share one.
    std::string tag = slot != nullptr ? slot->name : info.serial;
    const bool taken = std::any_of(boards_.begin(), boards_.end(),
                                   [&](const Board &b) { return !b.ended && b.tag == tag; });
    if (tag.empty() || taken) {
        tag = std::to_string(boards_seen_) + ":" + info.path;
    }
    boards_.emplace_back();
    Board &board = boards_.back();
    board.info = info;
    board.tag = tag;
    board.slot = slot != nullptr ? slot->name : "";
    board.key = key_of(info);
    board.transport = std::move(transport);
    board.appeared = appeared;
    in_progress_++;
    // The panel's row: the slot, or without a map the port the board is on (a board back on it
    // takes its row again), its serial number when it has no port.
    status_.board_started(tag,
                          slot != nullptr        ? slot->name
                          : !info.port.empty()   ? info.port
                          : !info.serial.empty() ? info.serial
                                                 : info.path,
                          info.serial);
    tell([&](StationObserver &o) { o.board_started(tag, info); });
    base::Result<Thread> thread = Thread::start([this, &board] { handle(board); });
    if (thread.ok()) {
        board.thread = std::move(*thread);
        return;
    }
    // No thread for it: the board is left as it is and tried again once it is plugged in anew.
    note("hidiap: station: cannot handle " + board.info.path + " now: " + thread.message() + "\n");
    status_.board_ended(tag, thread.message() + "; re-plug to retry", totals_, "NOT HANDLED");
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

// --log-dir: the attempt's own file, named by its time, slot and serial number.
std::string Station::Impl::open_board_log(const Board &board) {
    const std::time_t t = std::chrono::system_clock::to_time_t(env().wall_now());
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &t);
#else
    gmtime_r(&t, &utc);
#endif
    char when[32];
    std::strftime(when, sizeof when, "%Y%m%dT%H%M%SZ", &utc);
    const auto safe = [](std::string text) {
        for (char &c : text) {
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') {
                c = '_';
            }
        }
        return text;
    };
    const std::string name = std::string(when) + "-" +
                             safe(board.slot.empty() ? board.tag : board.slot) + "-" +
                             safe(board.info.serial.empty() ? "no-serial" : board.info.serial);
    if (!env().create_folders(setup_.log_dir).ok()) {
        return "";
    }
    for (int n = 0; n < 100; n++) {
        const std::string path =
            setup_.log_dir + "/" + name + (n == 0 ? "" : "." + std::to_string(n)) + ".log";
        base::Result<std::unique_ptr<File>> file = env().open(path, OpenMode::CreateNew);
        if (file.ok()) {
            std::lock_guard<std::mutex> lock(logs_mutex_);
            logs_[board.tag] = std::move(*file);
            return path;
        }
        if (file.code() != base::ErrorCode::Busy) {
            return "";
        }
    }
    return "";
}

void Station::Impl::handle(Board &board) {
    const SleepHold awake;  // from its check to its record, not only each stage
    BoardRun run(*this, board);
    if (!setup_.log_dir.empty()) {
        run.log_path = open_board_log(board);
        if (run.log_path.empty()) {
            note("hidiap: [" + board.tag + "] cannot make a log file in " + setup_.log_dir +
                 "; its lines go to standard output\n");
        }
    }
    if (run.json) {
        run.json->emit("station", {{"event", "seen"},
                                   {"path", board.info.path},
                                   {"port", board.info.port},
                                   {"slot", board.slot},
                                   {"serial", board.info.serial}});
    }
    std::vector<DeviceResult> results;
    if (setup_.units != nullptr) {
        results = unit_stages(run);
    } else {
        results = check_stage(run);
        if (run.differs) {
            results = update_stage(run);
        }
    }
    board.transport.reset();
    note_timing(run);
    if (!run.already_done && run.durable != Clock::time_point{} && !setup_.on_result.empty() &&
        !results.empty()) {
        run_hook(run, results.front().report);
    }
    {
        std::lock_guard<std::mutex> lock(logs_mutex_);
        const auto log = logs_.find(board.tag);
        if (log != logs_.end()) {
            (void)log->second->sync();
            logs_.erase(log);
        }
    }
    if (!results.empty()) {
        tally(run, results);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    in_progress_--;
    board.ended = true;
    board_ended_.notify_all();
}

void Station::Impl::use_values(BoardRun &run, const BoardUnitValues &values) {
    run.values = values;
    run.device.front().image_patches = values.patches;
    if (run.json) {
        run.json->emit("station",
                       {{"event", "units"},
                        {"units", nlohmann::ordered_json::parse(values.object, nullptr, false)}});
    }
}

// With unit values, a board is checked only against values it may hold: its own from this run
// (back after its reboot) or its records' latest success. Any other board gets the next values
// from the block, durably its own before anything is sent, and is updated without a check (no
// flash can hold values never given out). A failed board's values go back only when no page
// holding a field was sent to it.
std::vector<DeviceResult> Station::Impl::unit_stages(BoardRun &run) {
    const Board &board = run.board;
    std::optional<BoardUnitValues> known;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto done = done_values_.find(board.slot.empty() ? board.info.serial : board.slot);
        if (done != done_values_.end() &&
            (board.slot.empty() ? !board.info.serial.empty() : true)) {
            known = done->second;
        }
    }
    if (!known && !board.info.serial.empty()) {
        known = setup_.units->recorded(board.info.serial);
    }
    if (known || setup_.verify_only) {
        if (known) {
            use_values(run, *known);
        }
        std::vector<DeviceResult> results = check_stage(run);
        if (!run.differs) {
            return results;
        }
    }
    base::Result<std::optional<BoardUnitValues>> taken = setup_.units->take();
    if (!taken.ok() || !taken->has_value()) {
        const std::string why =
            taken.ok() ? "the unit values are used up" : "no unit value: " + taken.message();
        note("hidiap: [" + board.tag + "] not handled: " + why + "\n");
        const StationTotals now = totals();
        status_.board_ended(board.tag, why, now, "NOT HANDLED");
        tell([&](StationObserver &o) {
            o.board_ended(board.tag, false, Status::Failed, "not handled", board_seconds(board),
                          now);
        });
        if (!taken.ok()) {
            // Tried again once the database may be back: the board stays where it is.
            std::lock_guard<std::mutex> lock(mutex_);
            handled_.erase(board.key);
        }
        return {};
    }
    use_values(run, **taken);
    run.taken = true;
    run.events.watch_field_page(run.values->first_page_offset);
    std::vector<DeviceResult> results = update_stage(run);
    if (run.give_back) {
        setup_.units->give_back(*run.values);
    }
    return results;
}

// First the check: nothing is written to a board that already holds the files, and a board
// back after its reboot is recognised by its serial number.
std::vector<DeviceResult> Station::Impl::check_stage(BoardRun &run) {
    UpdateSettings verify = stage_settings(true);
    verify.settle = [this, &run](const DeviceInfo &info, RunReport &report) {
        if (report.status == Status::Current) {
            // With slots the board back in its slot with the serial done there (none counts) is
            // that board; without, a serial done anywhere in this run is.
            std::lock_guard<std::mutex> lock(mutex_);
            if (!run.board.slot.empty()) {
                const auto done = slot_done_.find(run.board.slot);
                run.already_done = done != slot_done_.end() && done->second == info.serial;
            } else if (!info.serial.empty()) {
                run.already_done = done_serials_.count(info.serial) != 0;
            }
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
    // A failed board whose values are new to it keeps them only when they may have reached its
    // flash; otherwise they go back for another board and its record names none.
    if (run.values) {
        if (report.succeeded() || !run.taken || run.events.field_page_sent()) {
            report.units = run.values->object;
        } else {
            run.give_back = true;
        }
    }
    if (setup_.keep_record) {
        run.record_id = setup_.keep_record(info, report, BoardPlace{run.board.slot, run.log_path});
    }
    run.durable = env().now();
    // Done from now on: the board may be back on the bus before this run has wound down.
    std::lock_guard<std::mutex> lock(mutex_);
    if (!run.board.slot.empty()) {
        if (report.succeeded()) {
            slot_done_[run.board.slot] = info.serial;
        } else {
            slot_done_.erase(run.board.slot);
        }
    } else if (report.succeeded() && !info.serial.empty()) {
        done_serials_.insert(info.serial);
    }
    const std::string key = run.board.slot.empty() ? info.serial : run.board.slot;
    if (run.values && report.succeeded() && !key.empty()) {
        done_values_[key] = *run.values;
    } else if (!key.empty() && !report.succeeded()) {
        done_values_.erase(key);
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

// --on-result: the board's result handed to the line's own program (a label printer), once its
// record is durable. Whatever the program does, the board's outcome stands; a failure is said.
void Station::Impl::run_hook(BoardRun &run, const RunReport &report) {
    const Board &board = run.board;
    std::vector<std::pair<std::string, std::string>> vars = {
        {"HIDIAP_OUTCOME", status_words(report.status).record},
        {"HIDIAP_CAUSE", cause_word(report.cause)},
        {"HIDIAP_REASON", report.reason},
        {"HIDIAP_SLOT", board.slot},
        {"HIDIAP_PORT", board.info.port},
        {"HIDIAP_PATH", board.info.path},
        {"HIDIAP_SERIAL", board.info.serial},
        {"HIDIAP_RECORD_ID", run.record_id},
        {"HIDIAP_FIRMWARE_VERSION", setup_.firmware_version},
        {"HIDIAP_FIELDS", setup_.fields_json.empty() ? "{}" : setup_.fields_json},
        {"HIDIAP_LOG", run.log_path},
    };
    const auto upper = [](std::string name) {
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        return name;
    };
    for (const auto &[key, value] : setup_.fields) {
        vars.emplace_back(upper("HIDIAP_FIELD_" + key), value);
    }
    if (run.values) {
        vars.emplace_back("HIDIAP_UNITS", run.values->object);
        for (const auto &[name, value] : run.values->named) {
            vars.emplace_back(upper("HIDIAP_UNIT_" + name), value);
        }
    }
    const base::Result<ProgramRun> ran =
        env().run_program(setup_.on_result, vars, setup_.on_result_timeout);
    const std::string lead = "hidiap: [" + board.tag + "] ";
    if (ran.ok()) {
        size_t at = 0;
        while (at < ran->output.size()) {
            const size_t end = std::min(ran->output.find('\n', at), ran->output.size());
            std::string text = ran->output.substr(at, end - at);
            if (!text.empty() && text.back() == '\r') {
                text.pop_back();  // a Windows program's line end
            }
            const std::string line = "on-result: " + text + "\n";
            bool logged = false;
            {
                std::lock_guard<std::mutex> lock(logs_mutex_);
                const auto log = logs_.find(board.tag);
                logged = log != logs_.end() && log->second->append(line).ok();
            }
            if (!logged) {
                note(lead + line);
            }
            at = end + 1;
        }
    }
    std::string failure;
    if (!ran.ok()) {
        failure = ran.message();
    } else if (ran->timed_out) {
        failure = base::format("killed after %.0f s (--on-result-timeout)",
                               std::chrono::duration<double>(setup_.on_result_timeout).count());
    } else if (ran->exit_status != 0) {
        failure = ran->exit_status < 0 ? std::string("ended by a signal")
                                       : base::format("exit status %d", ran->exit_status);
    }
    if (run.json) {
        run.json->emit("station",
                       {{"event", "on_result"}, {"ok", failure.empty()}, {"reason", failure}});
    }
    if (failure.empty()) {
        return;
    }
    run.hook_failed = true;
    note(lead + "result hook failed: " + setup_.on_result + ": " + failure + "; the board is " +
         status_words(report.status).record +
         ", but its hook's work (its "
         "label) is not done\n");
}

// The board's result into the totals and the results, and onto the panel.
void Station::Impl::tally(BoardRun &run, std::vector<DeviceResult> &results) {
    const Board &board = run.board;
    if (run.already_done) {
        const std::string serial =
            board.info.serial.empty() ? "no serial number" : "serial " + board.info.serial;
        note("hidiap: [" + board.tag + "] already done in this station run (" + serial +
             (board.slot.empty() ? "" : " in its slot") +
             ", verified current after its reboot); not counted again\n");
        if (run.json) {
            run.json->emit("station", {{"event", "already_done"}, {"serial", board.info.serial}});
        }
        const StationTotals now = totals();
        status_.board_ended(board.tag, "already done (back after its reboot)", now, "PASS");
        tell([&](StationObserver &o) {
            o.board_ended(board.tag, false, Status::Current, "already done", board_seconds(board),
                          now);
        });
        return;
    }
    DeviceResult &r = results.front();
    r.tag = board.tag;
    r.slot = board.slot;
    StationTotals now;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        totals_.add(r.report.status);
        totals_.hooks_failed += run.hook_failed ? 1 : 0;
        results_.push_back(r);
        now = totals_;
    }
    // On the panel the verdict leads the row: the reason and what to do follow it.
    const std::string word = status_words(r.report.status).board;
    const std::string why = r.report.reason + "; re-plug to retry";
    const std::string hook = run.hook_failed ? "; RESULT HOOK FAILED" : "";
    const std::string result = word + (r.succeeded() ? "" : ": " + why) + hook;
    status_.board_ended(board.tag, (r.succeeded() ? word : why) + hook, now,
                        verdict_of(r.report.status));
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
