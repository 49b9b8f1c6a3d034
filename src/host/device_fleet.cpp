#include "device_fleet.h"

#include <algorithm>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "console.h"
#include "engine_hooks.h"
#include "engine_runner.h"
#include "exit_status.h"
#include "host_buffers.h"
#include "multi_progress.h"
#include "observed_transport.h"
#include "queued_transport.h"
#include "run_observer.h"
#include "run_report.h"
#include "tagged_console.h"
#include "wide_text.h"
#include "workers.h"

namespace host {

namespace {

using Clock = std::chrono::steady_clock;

// Hands a device's events to its presenter and to its progress line. Every event is passed on.
class DeviceEvents : public RunEvents {
  public:
    DeviceEvents(RunEvents *presenter, MultiProgressDisplay *display, size_t line)
        : presenter_(presenter), display_(display), line_(line) {}

    void device(const DeviceDescription &d) override { presenter_->device(d); }
    void plan(const UpdatePlan &p) override { presenter_->plan(p); }
    void phase(const char *phase, const char *file) override {
        presenter_->phase(phase, file);
        if (display_ != nullptr) {
            display_->phase(line_, phase, file);
        }
    }
    void erase(uint32_t addr) override { presenter_->erase(addr); }
    void progress(uint64_t done, uint64_t total) override {
        presenter_->progress(done, total);
        if (display_ != nullptr) {
            display_->progress(line_, done, total);
        }
    }
    void check(const RangeCheck &c) override { presenter_->check(c); }
    void survey(unsigned range, uint32_t addr, unsigned sectors, unsigned unchanged) override {
        presenter_->survey(range, addr, sectors, unchanged);
    }
    void device_error(uint8_t command, uint8_t code) override {
        presenter_->device_error(command, code);
    }
    void resend(const char *step, uint32_t addr, unsigned count) override {
        presenter_->resend(step, addr, count);
    }
    void outcome(const RunReport &r) override { presenter_->outcome(r); }

  private:
    RunEvents *presenter_;
    MultiProgressDisplay *display_;
    size_t line_;
};

// One device's update: its record, the layers its reports pass (queue, observer, device), its
// runner and what it ended with.
struct DeviceRun {
    iap_env_t *record = nullptr;
    std::unique_ptr<DeviceEvents> events;
    std::unique_ptr<RunObserver> observer;
    std::unique_ptr<ObservedTransport> observed;
    std::unique_ptr<QueuedTransport> queued;
    std::unique_ptr<EngineRunner> runner;
    Clock::time_point started;
    Outcome outcome = Outcome::NoEvent;  // set by its waiter
    Clock::time_point ended;
};

void write_stderr(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

std::string format(const char *fmt, double value) {
    char text[64];
    std::snprintf(text, sizeof text, fmt, value);
    return text;
}

// The tool's outcome line with the device's tag after "hidiap: ".
std::string tagged_outcome_line(const std::string &tag, const RunReport &report) {
    const std::string line = outcome_line(report);
    const std::string head = "hidiap: ";
    const size_t skip = line.compare(0, head.size(), head) == 0 ? head.size() : 0;
    return head + "[" + tag + "] " + line.substr(skip);
}

}  // namespace

std::vector<std::string> device_tags(const std::vector<FleetDevice> &devices) {
    std::map<std::string, int> uses;
    for (const FleetDevice &d : devices) {
        uses[d.description.serial]++;
    }
    std::vector<std::string> tags;
    for (size_t i = 0; i < devices.size(); i++) {
        const DeviceDescription &d = devices[i].description;
        if (!d.serial.empty() && uses[d.serial] == 1) {
            tags.push_back(d.serial);
        } else {
            tags.push_back(std::to_string(i + 1) + ":" + d.path);
        }
    }
    return tags;
}

namespace {

// One run over every device, step by step: outputs, devices, start, outcomes as they come, stop.
class FleetRun {
  public:
    FleetRun(const std::vector<FleetDevice> &devices, const Layout &layout,
             const FleetSettings &settings);
    FleetRun(const FleetRun &) = delete;
    FleetRun &operator=(const FleetRun &) = delete;

    std::vector<DeviceResult> run();

  private:
    TaggedConsole::Sink console_sink();
    void prepare_device(size_t i);
    void announce_device(size_t i);
    void start();
    // One waiter per device, so that every stall limit runs from the start together and a
    // device that hangs holds back no other device's report.
    void start_waiters();
    std::vector<DeviceResult> report_outcomes_as_they_come();
    DeviceResult report(size_t i);
    void note(const std::string &text);
    void stop();

    const std::vector<FleetDevice> &devices_;
    const Layout &layout_;
    const FleetSettings &settings_;
    const std::vector<std::string> tags_;
    const TaggedConsole::Sink out_;
    const TaggedConsole::Sink err_;
    std::unique_ptr<MultiProgressDisplay> display_;
    TaggedConsole console_;
    RunEvents quiet_;
    std::vector<iap_env_t> more_records_;  // the first device keeps the tool's own record
    std::vector<std::unique_ptr<DeviceRun>> runs_;
    std::unique_ptr<Workers> workers_;
    std::mutex finished_mutex_;
    std::condition_variable finished_cv_;
    std::vector<size_t> finished_;  // device indexes in the order their outcomes came
    std::vector<std::thread> waiters_;
};

FleetRun::FleetRun(const std::vector<FleetDevice> &devices, const Layout &layout,
                   const FleetSettings &settings)
    : devices_(devices),
      layout_(layout),
      settings_(settings),
      tags_(device_tags(devices)),
      out_(settings.out ? settings.out : TaggedConsole::Sink(console_stdout_sink)),
      err_(settings.err ? settings.err : TaggedConsole::Sink(write_stderr)),
      display_(settings.show_progress && !settings.json
                   ? std::make_unique<MultiProgressDisplay>(tags_, out_, err_, settings.columns)
                   : nullptr),
      console_(tags_, console_sink()),
      more_records_(devices.empty() ? 0 : devices.size() - 1) {}

TaggedConsole::Sink FleetRun::console_sink() {
    if (display_ == nullptr) {
        return out_;
    }
    MultiProgressDisplay *display = display_.get();
    return [display](std::string_view text) { display->write_above(text); };
}

std::vector<DeviceResult> FleetRun::run() {
    is_1mb = layout_.is_1mb ? 1 : 0;
    tts_size = static_cast<int>(layout_.tts_rounded);
    for (size_t i = 0; i < devices_.size(); i++) {
        prepare_device(i);
    }
    if (!settings_.json) {
        console_.install();
    }
    for (size_t i = 0; i < devices_.size(); i++) {
        announce_device(i);
    }
    start();
    start_waiters();
    std::vector<DeviceResult> results = report_outcomes_as_they_come();
    stop();
    return results;
}

// Its record, and the layers its reports pass: queue, observer, device.
void FleetRun::prepare_device(size_t i) {
    auto run = std::make_unique<DeviceRun>();
    DeviceRun *r = run.get();
    r->record = i == 0 ? &iap : &more_records_[i - 1];
    *r->record = iap_env_t{};
    r->record->update_file_num = 2;
    iap_init(r->record, iap_cmd_tx, iap_evnet_callback);
    r->record->local_img_buf = img_file;
    r->record->local_img_buf_size = static_cast<int>(IMG_FILE_BUF_SIZE);
    r->record->skip_unchanged = settings_.skip_unchanged ? 1 : 0;
    r->record->skip_blank = settings_.skip_blank ? 1 : 0;
    r->events = std::make_unique<DeviceEvents>(
        devices_[i].events != nullptr ? devices_[i].events : &quiet_, display_.get(), i);
    r->observer = std::make_unique<RunObserver>(
        *r->events, uint64_t{layout_.image_program} + layout_.tts_rounded);
    r->observed = std::make_unique<ObservedTransport>(*devices_[i].transport, *r->observer);
    r->queued =
        std::make_unique<QueuedTransport>(*r->observed, [i](const uint8_t *report, size_t len) {
            const TaggedConsole::DeviceScope scope(i);
            dump_hex(report, static_cast<int>(len), 16);
        });
    r->runner = std::make_unique<EngineRunner>(*r->queued, *r->record);
    r->runner->set_observer([r](const iap_env_t &record) { r->observer->on_record(record); });
    console_.attach(r->runner.get(), i);
    runs_.push_back(std::move(run));
}

// Its product line (text) or its device and plan events (JSON).
void FleetRun::announce_device(size_t i) {
    DeviceDescription d = devices_[i].description;
    std::wstring product;
    const bool has_product = devices_[i].transport->product_string(product);
    if (has_product) {
        d.product = to_utf8(product);
    }
    if (has_product && !settings_.json) {
        const TaggedConsole::DeviceScope scope(i);
        console_printf("Product String     : %s\n", d.product.c_str());
    }
    runs_[i]->events->device(d);
    if (settings_.plan != nullptr) {
        runs_[i]->events->plan(*settings_.plan);
    }
}

void FleetRun::start() {
    std::vector<Workers::Device> fed;
    for (auto &run : runs_) {
        fed.push_back({run->runner.get(), run->queued.get()});
        run->queued->start();
    }
    workers_ = std::make_unique<Workers>(fed, settings_.tick_period);
    workers_->start();
    for (auto &run : runs_) {
        run->started = Clock::now();
        run->runner->start(kImageStart, layout_.image_program, kImageStart);
    }
}

void FleetRun::start_waiters() {
    const auto interrupted = [this] {
        return settings_.interrupt_status && settings_.interrupt_status() != 0;
    };
    for (size_t i = 0; i < runs_.size(); i++) {
        waiters_.emplace_back([this, i, interrupted] {
            DeviceRun &run = *runs_[i];
            const Outcome outcome =
                run.runner->wait_for_outcome(settings_.stall_limit, interrupted);
            std::lock_guard<std::mutex> lock(finished_mutex_);
            run.outcome = outcome;
            run.ended = Clock::now();
            finished_.push_back(i);
            finished_cv_.notify_one();
        });
    }
}

std::vector<DeviceResult> FleetRun::report_outcomes_as_they_come() {
    std::vector<DeviceResult> results(runs_.size());
    std::unique_lock<std::mutex> lock(finished_mutex_);
    size_t reported = 0;
    while (reported < runs_.size()) {
        // The waiters are bounded by the stall limit; the time-out only bounds this wait.
        finished_cv_.wait_for(lock, std::chrono::seconds(1),
                              [&] { return finished_.size() > reported; });
        while (reported < finished_.size()) {
            const size_t i = finished_[reported++];
            lock.unlock();
            results[i] = report(i);
            lock.lock();
        }
    }
    return results;
}

// A finished device's result, shown at once: its progress line, outcome line and event.
DeviceResult FleetRun::report(size_t i) {
    DeviceRun &run = *runs_[i];
    Outcome outcome;
    double seconds;
    {
        std::lock_guard<std::mutex> lock(finished_mutex_);
        outcome = run.outcome;
        seconds = std::chrono::duration<double>(run.ended - run.started).count();
    }
    const int interrupt = outcome == Outcome::Interrupted && settings_.interrupt_status
                              ? settings_.interrupt_status()
                              : 0;
    DeviceResult r;
    r.tag = tags_[i];
    r.report = make_run_report(run.observer->facts(), outcome, interrupt, seconds);
    if (outcome == Outcome::Stalled) {
        note("hidiap: [" + r.tag + "] the update made no progress for " +
             std::to_string(settings_.stall_limit.count() / 1000) + " s; giving up\n");
    }
    if (display_ != nullptr) {
        display_->finish(i, r.succeeded() ? "success" : "FAILED: " + r.report.reason);
    }
    note(tagged_outcome_line(r.tag, r.report));
    run.events->outcome(r.report);
    return r;
}

void FleetRun::note(const std::string &text) {
    if (display_ != nullptr) {
        display_->note(text);
    } else {
        err_(text);
    }
}

// Waiters, workers, writers, in that order; then the console and the display.
void FleetRun::stop() {
    for (std::thread &waiter : waiters_) {
        waiter.join();
    }
    workers_->stop();
    for (auto &run : runs_) {
        run->queued->stop();
    }
    console_.uninstall();
    if (display_ != nullptr) {
        display_->close();
    }
}

}  // namespace

std::vector<DeviceResult> update_fleet(const std::vector<FleetDevice> &devices,
                                       const Layout &layout, const FleetSettings &settings) {
    FleetRun fleet(devices, layout, settings);
    return fleet.run();
}

void print_fleet_summary(std::FILE *to, const std::vector<DeviceResult> &results) {
    size_t tag_width = 6;
    for (const DeviceResult &r : results) {
        tag_width = std::max(tag_width, r.tag.size());
    }
    const int w = static_cast<int>(tag_width);
    std::fprintf(to, "%-*s  %-11s  %10s  %8s  %12s  %s\n", w, "DEVICE", "OUTCOME", "BYTES", "TIME",
                 "THROUGHPUT", "REASON");
    std::vector<std::string> failed;
    for (const DeviceResult &r : results) {
        const RunReport &p = r.report;
        const double rate = p.seconds > 0 ? static_cast<double>(p.bytes) / 1024.0 / p.seconds : 0;
        const std::string throughput =
            rate >= 1024 ? format("%.1f MiB/s", rate / 1024) : format("%.1f KiB/s", rate);
        std::fprintf(to, "%-*s  %-11s  %10llu  %6.2f s  %12s  %s\n", w, r.tag.c_str(), p.status,
                     static_cast<unsigned long long>(p.bytes), p.seconds, throughput.c_str(),
                     r.succeeded() ? "-" : p.reason.c_str());
        if (!r.succeeded()) {
            failed.push_back(r.tag);
        }
    }
    if (failed.empty()) {
        std::fprintf(to, "hidiap: all %zu devices updated and verified\n", results.size());
    } else {
        std::string names;
        for (const std::string &tag : failed) {
            names += (names.empty() ? "" : ", ") + tag;
        }
        std::fprintf(to, "hidiap: %zu of %zu devices failed: %s\n", failed.size(), results.size(),
                     names.c_str());
    }
    std::fflush(to);
}

int fleet_exit_status(const std::vector<DeviceResult> &results) {
    int status = kExitSuccess;
    for (const DeviceResult &r : results) {
        if (std::string(r.report.status) == "interrupted") {
            return r.report.exit_status;
        }
        if (!r.succeeded()) {
            status = kExitFailed;
        }
    }
    return status;
}

}  // namespace host
