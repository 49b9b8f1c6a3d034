#include "host/update/update_run.h"

#include <algorithm>
#include <map>
#include <mutex>

#include "base/text.h"
#include "console/console.h"
#include "globals/iap_globals.h"
#include "host/events/exit_status.h"
#include "host/platform/sleep_hold.h"
#include "host/present/multi_progress.h"
#include "host/present/progress_display.h"
#include "host/update/device_session.h"
#include "host/update/image_as_updated.h"
#include "host/update/tagged_console.h"
#include "host/workers/workers.h"

namespace host {

namespace {

using Clock = std::chrono::steady_clock;

// Hands a device's events to its presenter and to its progress. Every event is passed on.
class SessionEvents : public RunEvents {
  public:
    SessionEvents(RunEvents &presenter, RunEvents *progress)
        : presenter_(presenter), progress_(progress) {}

    void device(const DeviceInfo &d) override { presenter_.device(d); }
    void plan(const UpdatePlan &p) override { presenter_.plan(p); }
    void phase(const char *phase, const char *file) override {
        presenter_.phase(phase, file);
        if (progress_ != nullptr) {
            progress_->phase(phase, file);
        }
    }
    void erase(uint32_t addr) override { presenter_.erase(addr); }
    void progress(uint64_t done, uint64_t total) override {
        presenter_.progress(done, total);
        if (progress_ != nullptr) {
            progress_->progress(done, total);
        }
    }
    void check(const RangeCheck &c) override { presenter_.check(c); }
    void survey(unsigned range, uint32_t addr, unsigned sectors, unsigned unchanged) override {
        presenter_.survey(range, addr, sectors, unchanged);
    }
    void device_error(uint8_t command, uint8_t code) override {
        presenter_.device_error(command, code);
    }
    void resend(const char *step, uint32_t addr, unsigned count) override {
        presenter_.resend(step, addr, count);
    }
    void outcome(const RunReport &r) override { presenter_.outcome(r); }

  private:
    RunEvents &presenter_;
    RunEvents *progress_;
};

// One device's line of a multi-device progress display.
class ProgressLine : public RunEvents {
  public:
    ProgressLine(MultiProgressDisplay &display, size_t line) : display_(display), line_(line) {}
    void phase(const char *phase, const char *file) override { display_.phase(line_, phase, file); }
    void progress(uint64_t done, uint64_t total) override { display_.progress(line_, done, total); }

  private:
    MultiProgressDisplay &display_;
    size_t line_;
};

void report_timing(Clock::duration elapsed, const TickStats &ticks,
                   const std::optional<timing::UsbTimingFigures> &link, const Layout &layout,
                   bool verify) {
    using std::chrono::duration;
    std::fprintf(stderr,
                 "hidiap: timing: update %.3f s, %llu ticks, mean tick period %.4f ms, "
                 "latest tick %.3f ms late\n",
                 duration<double>(elapsed).count(), static_cast<unsigned long long>(ticks.ticks),
                 duration<double, std::milli>(ticks.mean_period).count(),
                 duration<double, std::milli>(ticks.max_late).count());
    if (link && verify) {
        const auto theory =
            timing::theoretical_verify_time(*link, layout.image_program, layout.tts_rounded);
        std::fprintf(stderr, "hidiap: timing: a verify on this link takes %.3f s\n",
                     duration<double>(theory).count());
    } else if (link) {
        const auto theory =
            timing::theoretical_update_time(*link, layout.image_program, layout.tts_rounded);
        std::fprintf(stderr, "hidiap: timing: a full update on this link takes %.3f s\n",
                     duration<double>(theory).count());
    }
}

}  // namespace

void write_stderr(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

// Several devices: each one's tag; one device alone has none; a station's board its own.
std::vector<std::string> run_tags(const std::vector<UpdateDevice> &devices,
                                  const UpdateSettings &settings) {
    if (settings.own_records) {
        std::vector<std::string> tags;
        for (const UpdateDevice &d : devices) {
            tags.push_back(d.tag);
        }
        return tags;
    }
    return devices.size() > 1 ? device_tags(devices) : std::vector<std::string>(devices.size());
}

std::vector<std::string> device_tags(const std::vector<UpdateDevice> &devices) {
    std::map<std::string, int> uses;
    for (const UpdateDevice &d : devices) {
        uses[d.info.serial]++;
    }
    std::vector<std::string> tags;
    for (size_t i = 0; i < devices.size(); i++) {
        const DeviceInfo &d = devices[i].info;
        if (!d.serial.empty() && uses[d.serial] == 1) {
            tags.push_back(d.serial);
        } else {
            tags.push_back(std::to_string(i + 1) + ":" + d.path);
        }
    }
    return tags;
}

// One run over every device, step by step: outputs, sessions, start, outcomes as they come, stop.
class UpdateRun::Impl {
  public:
    Impl(const std::vector<UpdateDevice> &devices, const Layout &layout,
         const UpdateSettings &settings);

    void announce();
    std::vector<DeviceResult> run(const UpdatePlan &plan);

  private:
    bool several() const { return sessions_.size() > 1 || settings_.own_records; }
    TaggedConsole::Sink console_sink();
    base::Status start(const UpdatePlan &plan);
    Outcome wait_for(size_t i);
    // Several devices: one waiter each, so that every stall limit runs from the start together
    // and a device that hangs holds back no other device's report.
    void start_waiters();
    void report_outcomes_as_they_come(std::vector<DeviceResult> &results);
    DeviceResult report(size_t i, Outcome outcome, Clock::time_point ended);
    DeviceResult report_refusal(size_t i, const BoardRefusal &why);
    DeviceResult show(size_t i, RunReport report);
    void note(const std::string &text);
    void stop();

    const Layout &layout_;
    const UpdateSettings &settings_;
    const std::vector<std::string> tags_;
    const TaggedConsole::Sink out_;
    const TaggedConsole::Sink err_;
    std::unique_ptr<ProgressDisplay> progress_;      // one device
    std::unique_ptr<MultiProgressDisplay> display_;  // several devices
    std::unique_ptr<TaggedConsole> console_;         // several devices, text mode
    RunEvents quiet_;
    std::vector<std::unique_ptr<RunEvents>> progress_lines_;
    std::vector<std::unique_ptr<SessionEvents>> events_;
    // --verify and --skip-unchanged over overlapping ranges: what the engine compares the image
    // range with (empty: the file's bytes in img_file).
    std::vector<uint8_t> image_as_updated_;
    std::vector<std::vector<uint8_t>> own_images_;  // by device: its unit values written in
    std::vector<std::unique_ptr<DeviceSession>> sessions_;
    std::vector<size_t> running_;  // the sessions started, by index
    std::unique_ptr<Workers> workers_;
    Clock::time_point started_{};
    std::mutex finished_mutex_;
    Signal finished_cv_;
    std::vector<std::pair<size_t, Outcome>> finished_;  // in the order the outcomes came
    std::vector<Clock::time_point> ended_;
    std::vector<Thread> waiters_;
};

UpdateRun::Impl::Impl(const std::vector<UpdateDevice> &devices, const Layout &layout,
                      const UpdateSettings &settings)
    : layout_(layout),
      settings_(settings),
      tags_(run_tags(devices, settings)),
      out_(settings.out ? settings.out : TaggedConsole::Sink(console_stdout_sink)),
      err_(settings.err ? settings.err : TaggedConsole::Sink(write_stderr)),
      ended_(devices.size()) {
    const bool several = devices.size() > 1 || settings.own_records;
    if (compares_with_image_as_updated(layout, settings)) {
        image_as_updated_ = image_as_updated(layout);
    }
    uint8_t *const image = image_as_updated_.empty() ? img_file : image_as_updated_.data();
    if (settings.show_progress && !settings.json) {
        if (several) {
            display_ = std::make_unique<MultiProgressDisplay>(tags_, out_, err_, settings.columns);
        } else {
            progress_ = std::make_unique<ProgressDisplay>();
        }
    }
    if (several && !settings.json && settings.shared_console == nullptr) {
        console_ = std::make_unique<TaggedConsole>(tags_, console_sink());
    }
    own_images_.reserve(devices.size());  // their buffers are the sessions' from now on
    for (size_t i = 0; i < devices.size(); i++) {
        RunEvents *progress = progress_.get();
        if (display_ != nullptr) {
            progress_lines_.push_back(std::make_unique<ProgressLine>(*display_, i));
            progress = progress_lines_.back().get();
        }
        events_.push_back(std::make_unique<SessionEvents>(
            devices[i].events != nullptr ? *devices[i].events : quiet_, progress));
        const size_t index = settings.shared_console != nullptr
                                 ? settings.shared_console->add(tags_[i], devices[i].lines)
                                 : i;
        uint8_t *own = image;
        if (!devices[i].image_patches.empty()) {
            own_images_.emplace_back(image, image + IMG_FILE_BUF_SIZE);
            for (const ImagePatch &p : devices[i].image_patches) {
                std::copy(p.bytes.begin(), p.bytes.end(), own_images_.back().begin() + p.address);
            }
            own = own_images_.back().data();
        }
        sessions_.push_back(
            std::make_unique<DeviceSession>(index, *devices[i].transport, devices[i].info, tags_[i],
                                            *events_.back(), layout, settings, several, own));
        if (console_ != nullptr) {
            console_->attach(&sessions_.back()->runner(), i);
        } else if (settings.shared_console != nullptr) {
            settings.shared_console->attach(&sessions_.back()->runner(), index);
        }
    }
    if (console_ != nullptr) {
        console_->install();
    }
}

TaggedConsole::Sink UpdateRun::Impl::console_sink() {
    if (display_ == nullptr) {
        return out_;
    }
    MultiProgressDisplay *display = display_.get();
    return [display](std::string_view text) { display->write_above(text); };
}

void UpdateRun::Impl::announce() {
    for (auto &session : sessions_) {
        session->announce();
    }
}

std::vector<DeviceResult> UpdateRun::Impl::run(const UpdatePlan &plan) {
    std::vector<DeviceResult> results(sessions_.size());
    // A device of another product than the firmware's is left as it is, and said so.
    for (size_t i = 0; i < sessions_.size(); i++) {
        if (const std::optional<BoardRefusal> why = sessions_[i]->refusal(); why) {
            results[i] = report_refusal(i, *why);
        } else {
            running_.push_back(i);
        }
    }
    if (running_.empty()) {
        stop();
        return results;
    }
    if (base::Status started = start(plan); !started.ok()) {
        // Nothing reached the engines: every device ends untouched, with the system's reason.
        for (size_t i : running_) {
            results[i] =
                show(i, refusal_report(Status::Failed, kExitFailed,
                                       "the update could not start: " + started.message()));
        }
        stop();
        return results;
    }
    if (several()) {
        start_waiters();
        report_outcomes_as_they_come(results);
    } else {
        const Outcome outcome = wait_for(0);
        results[0] = report(0, outcome, env().now());
    }
    stop();
    return results;
}

base::Status UpdateRun::Impl::start(const UpdatePlan &plan) {
    for (size_t i : running_) {
        sessions_[i]->plan(plan);
    }
    if (progress_ != nullptr) {
        progress_->install();
    }
    std::vector<Workers::Device> fed;
    for (size_t i : running_) {
        fed.push_back(sessions_[i]->feed());
    }
    workers_ = std::make_unique<Workers>(fed, settings_.tick_period);
    if (base::Status started = workers_->start(); !started.ok()) {
        return started;
    }
    started_ = env().now();
    for (size_t i : running_) {
        sessions_[i]->start();
    }
    return {};
}

Outcome UpdateRun::Impl::wait_for(size_t i) {
    return sessions_[i]->runner().wait_for_outcome(settings_.stall_limit, [this] {
        return settings_.interrupt_status && settings_.interrupt_status() != 0;
    });
}

void UpdateRun::Impl::start_waiters() {
    for (size_t i : running_) {
        const auto wait = [this, i] {
            const Outcome outcome = wait_for(i);
            std::lock_guard<std::mutex> lock(finished_mutex_);
            ended_[i] = env().now();
            finished_.emplace_back(i, outcome);
            finished_cv_.notify_all();
        };
        base::Result<Thread> waiter = Thread::start(wait);
        if (waiter.ok()) {
            waiters_.push_back(std::move(*waiter));
        } else {
            // No thread to spare: this device's outcome is waited for here, before the next.
            wait();
        }
    }
}

void UpdateRun::Impl::report_outcomes_as_they_come(std::vector<DeviceResult> &results) {
    std::unique_lock<std::mutex> lock(finished_mutex_);
    size_t reported = 0;
    while (reported < running_.size()) {
        // The waiters are bounded by the stall limit; the time-out only bounds this wait.
        finished_cv_.wait_for(lock, std::chrono::seconds(1),
                              [&] { return finished_.size() > reported; });
        while (reported < finished_.size()) {
            const auto [i, outcome] = finished_[reported++];
            const Clock::time_point ended = ended_[i];
            lock.unlock();
            results[i] = report(i, outcome, ended);
            lock.lock();
        }
    }
}

// A finished device's result, shown at once: its notes, progress, outcome line and event.
DeviceResult UpdateRun::Impl::report(size_t i, Outcome outcome, Clock::time_point ended) {
    if (progress_ != nullptr) {
        if (settings_.timing_report) {
            report_timing(ended - started_, workers_->tick_stats(), settings_.link, layout_,
                          settings_.verify);
        }
        progress_->uninstall();
    } else if (!several() && settings_.timing_report) {
        report_timing(ended - started_, workers_->tick_stats(), settings_.link, layout_,
                      settings_.verify);
    }
    const int interrupt = outcome == Outcome::Interrupted && settings_.interrupt_status
                              ? settings_.interrupt_status()
                              : 0;
    return show(i, sessions_[i]->finish(outcome, ended, interrupt,
                                        [this](const std::string &text) { note(text); }));
}

DeviceResult UpdateRun::Impl::report_refusal(size_t i, const BoardRefusal &why) {
    return show(i,
                sessions_[i]->refused_report(why, [this](const std::string &text) { note(text); }));
}

// A device's result, kept (--record) and shown at once: its progress, outcome line and event.
DeviceResult UpdateRun::Impl::show(size_t i, RunReport report) {
    DeviceResult r;
    r.tag = tags_[i];
    r.port = sessions_[i]->info().port;
    r.report = std::move(report);
    const bool shown = !settings_.settle || settings_.settle(sessions_[i]->info(), r.report);
    if (display_ != nullptr) {
        const char *word = status_words(r.report.status).board;
        display_->finish(i, r.succeeded() ? word : std::string(word) + ": " + r.report.reason);
    }
    if (shown) {
        std::string line = outcome_line(r.report, r.tag);
        if (!r.succeeded() && !settings_.failed_hint.empty()) {
            line.insert(line.size() - 1, settings_.failed_hint);
        }
        note(line);
        events_[i]->outcome(r.report);
    }
    return r;
}

void UpdateRun::Impl::note(const std::string &text) {
    if (display_ != nullptr) {
        display_->note(text);
    } else {
        err_(text);
    }
}

// Waiters, workers, writers, in that order; then the console and the display.
void UpdateRun::Impl::stop() {
    for (Thread &waiter : waiters_) {
        waiter.join();
    }
    if (workers_ != nullptr) {
        workers_->stop();
    }
    for (auto &session : sessions_) {
        session->stop();
    }
    if (console_ != nullptr) {
        console_->uninstall();
    }
    if (settings_.shared_console != nullptr) {
        for (auto &session : sessions_) {
            settings_.shared_console->detach(&session->runner());
        }
    }
    if (display_ != nullptr) {
        display_->close();
    }
}

UpdateRun::UpdateRun(const std::vector<UpdateDevice> &devices, const Layout &layout,
                     const UpdateSettings &settings)
    : impl_(std::make_unique<Impl>(devices, layout, settings)) {}

UpdateRun::~UpdateRun() = default;

void UpdateRun::announce() {
    impl_->announce();
}

std::vector<DeviceResult> UpdateRun::run(const UpdatePlan &plan) {
    const SleepHold awake;
    return impl_->run(plan);
}

namespace {

std::string names_of(const std::vector<std::string> &tags) {
    std::string names;
    for (const std::string &tag : tags) {
        names += (names.empty() ? "" : ", ") + tag;
    }
    return names;
}

// The line under the table: every device verified, or those that failed and, apart from them,
// those interrupted (as the station's totals count them).
std::string summary_line(const std::vector<DeviceResult> &results) {
    std::vector<std::string> failed;
    std::vector<std::string> interrupted;
    size_t current = 0;
    for (const DeviceResult &r : results) {
        current += r.report.status == Status::Current ? 1 : 0;
        if (r.report.status == Status::Interrupted) {
            interrupted.push_back(r.tag);
        } else if (!r.succeeded()) {
            failed.push_back(r.tag);
        }
    }
    const size_t n = results.size();
    if (failed.empty() && interrupted.empty()) {
        return current == 0 ? base::format("hidiap: all %zu devices updated and verified\n", n)
                            : base::format(
                                  "hidiap: all %zu devices verified: %zu updated, %zu "
                                  "already current\n",
                                  n, n - current, current);
    }
    std::string line;
    if (!failed.empty()) {
        line = base::format("%zu of %zu devices failed: %s", failed.size(), n,
                            names_of(failed).c_str());
    }
    if (!interrupted.empty()) {
        line += base::format("%s%zu of %zu devices interrupted: %s", line.empty() ? "" : "; ",
                             interrupted.size(), n, names_of(interrupted).c_str());
    }
    return "hidiap: " + line + "\n";
}

}  // namespace

void print_fleet_summary(std::FILE *to, const std::vector<DeviceResult> &results) {
    size_t tag_width = 6;
    for (const DeviceResult &r : results) {
        tag_width = std::max(tag_width, r.tag.size());
    }
    const int w = static_cast<int>(tag_width);
    size_t port_width = 4;
    size_t slot_width = 0;
    for (const DeviceResult &r : results) {
        port_width = std::max(port_width, r.port.size());
        slot_width = std::max(slot_width, r.slot.empty() ? 0 : std::max<size_t>(4, r.slot.size()));
    }
    const int pw = static_cast<int>(port_width);
    const int sw = static_cast<int>(slot_width);
    // The slot, when there is a slot map, goes first: it is what the operator sees.
    const auto slot_cell = [sw](const std::string &slot) {
        return sw == 0 ? std::string()
                       : base::format("%-*s  ", sw, slot.empty() ? "-" : slot.c_str());
    };
    std::fprintf(to, "%s%-*s  %-11s  %10s  %8s  %12s  %-*s  %s\n", slot_cell("SLOT").c_str(), w,
                 "DEVICE", "OUTCOME", "BYTES", "TIME", "THROUGHPUT", pw, "PORT", "REASON");
    for (const DeviceResult &r : results) {
        const RunReport &p = r.report;
        const double rate = p.seconds > 0 ? static_cast<double>(p.bytes) / 1024.0 / p.seconds : 0;
        const std::string throughput = rate >= 1024 ? base::format("%.1f MiB/s", rate / 1024)
                                                    : base::format("%.1f KiB/s", rate);
        std::fprintf(to, "%s%-*s  %-11s  %10llu  %6.2f s  %12s  %-*s  %s\n",
                     slot_cell(r.slot).c_str(), w, r.tag.c_str(), status_word(p.status),
                     static_cast<unsigned long long>(p.bytes), p.seconds, throughput.c_str(), pw,
                     r.port.empty() ? "-" : r.port.c_str(), r.succeeded() ? "-" : p.reason.c_str());
    }
    std::fputs(summary_line(results).c_str(), to);
    std::fflush(to);
}

int fleet_exit_status(const std::vector<DeviceResult> &results) {
    int status = kExitSuccess;
    for (const DeviceResult &r : results) {
        if (r.report.status == Status::Interrupted) {
            return r.report.exit_status;
        }
        if (!r.succeeded()) {
            status = kExitFailed;
        }
    }
    return status;
}

}  // namespace host
